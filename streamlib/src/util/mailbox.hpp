// SPDX-License-Identifier: MIT
// The one hand-off between two threads of the library: a producer that must
// never wait and a consumer that waits with a deadline.
//
// A mailbox holds at most `depth` items (1 unless set). Putting into a full one pushes out the
// oldest, which counts as dropped: the drop rule of every queue in the library
// (encoder to compressor, encoder to sending thread, receiving thread to reader).
// Items that go out (pushed out, or handed back by the consumer) are kept as
// spares, so their buffers serve the next item instead of a new allocation.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stop_token>
#include <utility>
#include <vector>

#include "event_fd.hpp"

namespace kiv {

template <class T> class Mailbox {
public:
    using Clock = std::chrono::steady_clock;

    // Drops are counted in `dropped`, the owner's counter (a transport's, the encoder's).
    explicit Mailbox(std::atomic<uint64_t> &dropped) : dropped_(dropped) {}

    // A spare item for the producer to fill, with the buffers of an item gone before.
    T spare() {
        std::lock_guard lock(mutex_);
        if (spares_.empty()) return T{};
        T item = std::move(spares_.back());
        spares_.pop_back();
        return item;
    }

    // Keeps an item the producer did not put as a spare.
    void recycle(T &&item) {
        std::lock_guard lock(mutex_);
        keepSpareLocked(std::move(item));
    }

    // Adds an item, pushing out the oldest when full. Never waits.
    void put(T &&item) {
        {
            std::lock_guard lock(mutex_);
            if (items_.empty() && !interrupted_) raiseEvent(readyFd_);
            while (items_.size() >= depth_) dropFrontLocked();
            items_.push_back(std::move(item));
        }
        ready_.notify_one();
    }

    // Items waiting now; may be stale as soon as it returns.
    size_t waiting() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

    // Takes the oldest item into `out`; what `out` held becomes a spare.
    bool tryTake(T &out) {
        std::lock_guard lock(mutex_);
        return takeLocked(out);
    }
    // Also returns false, at once, while an interrupt() is pending.
    bool take(T &out, Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        ready_.wait_until(lock, deadline, [&] { return !items_.empty() || interrupted_; });
        return takeLocked(out);
    }

    // Ends the deadline take() waiting now, or else the next one that finds
    // nothing. Any thread; several before a take() count as one.
    void interrupt() {
        {
            std::lock_guard lock(mutex_);
            if (items_.empty() && !interrupted_) raiseEvent(readyFd_);
            interrupted_ = true;
        }
        ready_.notify_all();
    }
    // Whether an interrupt() is pending; clears it. The consumer asks after a
    // take() that returned false.
    bool takeInterrupt() {
        std::lock_guard lock(mutex_);
        if (items_.empty()) lowerEvent(readyFd_);
        return std::exchange(interrupted_, false);
    }

    // Keeps `fd`, an eventfd of the caller's that outlives the mailbox,
    // readable while an item or an interrupt waits; -1 for none.
    void setReadyFd(int fd) {
        std::lock_guard lock(mutex_);
        readyFd_ = fd;
        if (!items_.empty() || interrupted_) raiseEvent(readyFd_);
        else lowerEvent(readyFd_);
    }
    // Waits until an item comes or `stop` is requested.
    bool take(T &out, std::stop_token stop) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, stop, [&] { return !items_.empty(); });
        return takeLocked(out);
    }

    // Shrinking drops the oldest items beyond the new depth.
    void setDepth(size_t depth) {
        std::lock_guard lock(mutex_);
        depth_ = depth < 1 ? 1 : depth;
        while (items_.size() > depth_) dropFrontLocked();
    }

    // Drops every waiting item, counted like any other drop.
    void clear() {
        std::lock_guard lock(mutex_);
        while (!items_.empty()) dropFrontLocked();
        if (!interrupted_) lowerEvent(readyFd_);
    }

private:
    static constexpr size_t kSpares = 2;

    void keepSpareLocked(T &&item) {
        if (spares_.size() < kSpares) spares_.push_back(std::move(item));
    }
    void dropFrontLocked() {
        keepSpareLocked(std::move(items_.front()));
        items_.pop_front();
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    bool takeLocked(T &out) {
        if (items_.empty()) return false;
        keepSpareLocked(std::move(out));
        out = std::move(items_.front());
        items_.pop_front();
        if (items_.empty() && !interrupted_) lowerEvent(readyFd_);
        return true;
    }

    mutable std::mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<T> items_;
    std::vector<T> spares_;
    size_t depth_ = 1;
    bool interrupted_ = false;
    int readyFd_ = -1;
    std::atomic<uint64_t> &dropped_;
};

} // namespace kiv
