// An in-process transport pair: frames sent reach a FrameSink from a thread of their own.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "transport.hpp"

namespace kiv::testing {

// Receiving half that listens to nothing: frames come from a LoopbackSender.
struct InertReceiver final : ReceiverTransport {
    int start(int) override { return KIV_OK; }
};

// Keeps one frame in flight: one not yet delivered when the next comes is dropped.
class LoopbackSender final : public SenderTransport {
public:
    explicit LoopbackSender(FrameSink &sink) : sink_(sink), thread_([this](std::stop_token s) { run(s); }) {}
    int open(const std::string &, int) override { return KIV_OK; }
    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override {
        ++handed;
        std::vector<uint8_t> copy = sink_.takeBuffer();
        copy.assign(payload.begin(), payload.end());
        std::lock_guard lock(mutex_);
        if (pending_) counters.dropped++;
        pending_.emplace(header, std::move(copy));
        ready_.notify_one();
        return KIV_OK;
    }
    std::atomic<uint64_t> handed{0}; // sendFrame() calls

private:
    void run(std::stop_token stop) {
        for (std::unique_lock lock(mutex_); ready_.wait(lock, stop, [&] { return pending_.has_value(); });) {
            auto [header, payload] = std::move(*pending_);
            pending_.reset();
            lock.unlock();
            counters.sent++;
            counters.bytes += payload.size();
            sink_.deliver(header, std::move(payload));
            lock.lock();
        }
    }

    FrameSink &sink_;
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::optional<std::pair<WireHeader, std::vector<uint8_t>>> pending_;
    std::jthread thread_; // last: stops before the members it uses go
};

} // namespace kiv::testing
