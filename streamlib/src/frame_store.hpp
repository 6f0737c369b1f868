// The decoder's hand-over point: transports push complete frames from their
// threads, the reading thread locks one at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "wire.hpp"

namespace kiv {

struct StoredFrame {
    WireHeader header;          // as sent; payloadSize is the transfer size
    int64_t receiveTimeUs = 0;
    std::vector<uint8_t> pixels; // raw frame, kivGetByteSize(header.format) bytes
};

struct FrameStoreCounters {
    uint64_t received = 0;
    uint64_t delivered = 0;
    uint64_t dropped = 0;
    uint64_t bytes = 0;
};

class FrameStore {
public:
    static constexpr size_t kQueueDepth = 4;

    // A buffer for the next frame; reuses the allocation of a released one,
    // the smallest holding `atLeast` bytes when there is one.
    std::vector<uint8_t> takeBuffer(size_t atLeast = 0);
    // Gives a buffer back for reuse; the pool keeps at most a few.
    void recycle(std::vector<uint8_t> &&buffer);

    // Adds a frame. Adaptive: it replaces any unread frame. Queued: it goes to the
    // back, pushing out the oldest when the queue is full. Wakes a waiting reader.
    void push(StoredFrame &&frame);

    // The oldest unread frame (adaptive: the newest, as it is the only one), locked
    // until unlock(); nullptr when none comes within `timeoutMs` or one is locked.
    const StoredFrame *lock(int timeoutMs);
    bool unlock();

    void setAdaptive(bool adaptive);
    // Frames lost before they reached the store, so the dropped count stays honest.
    void countDropped(uint64_t n);
    FrameStoreCounters counters() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable frameReady_;
    std::deque<StoredFrame> pending_;
    std::unique_ptr<StoredFrame> locked_;
    std::vector<std::vector<uint8_t>> pool_;
    bool adaptive_ = true;
    FrameStoreCounters counters_;
};

} // namespace kiv
