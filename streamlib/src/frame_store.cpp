#include "frame_store.hpp"

#include <chrono>

namespace kiv {
namespace {
constexpr size_t kPoolLimit = 3;
}

std::vector<uint8_t> FrameStore::takeBuffer(size_t atLeast) {
    std::lock_guard lock(mutex_);
    if (pool_.empty()) return {};
    // The smallest that fits, else the largest: JPEG payloads and decoded
    // frames share the pool, and a decoded frame growing a small buffer would
    // allocate and clear megabytes each time.
    auto best = pool_.end(), largest = pool_.begin();
    for (auto it = pool_.begin(); it != pool_.end(); ++it) {
        if (it->capacity() >= atLeast && (best == pool_.end() || it->capacity() < best->capacity())) best = it;
        if (it->capacity() > largest->capacity()) largest = it;
    }
    if (best == pool_.end()) best = largest;
    std::vector<uint8_t> buffer = std::move(*best);
    pool_.erase(best);
    return buffer;
}

void FrameStore::recycle(std::vector<uint8_t> &&buffer) {
    if (buffer.capacity() == 0) return;
    std::lock_guard lock(mutex_);
    if (pool_.size() < kPoolLimit) pool_.push_back(std::move(buffer));
}

void FrameStore::push(StoredFrame &&frame) {
    std::vector<uint8_t> spare;
    {
        std::lock_guard lock(mutex_);
        ++counters_.received;
        counters_.bytes += frame.header.payloadSize;
        const size_t limit = adaptive_ ? 1 : kQueueDepth;
        while (pending_.size() >= limit) {
            ++counters_.dropped;
            spare = std::move(pending_.front().pixels);
            pending_.pop_front();
            if (pool_.size() < kPoolLimit && spare.capacity() != 0) pool_.push_back(std::move(spare));
        }
        pending_.push_back(std::move(frame));
    }
    frameReady_.notify_one();
}

const StoredFrame *FrameStore::lock(int timeoutMs) {
    std::unique_lock lock(mutex_);
    if (locked_) return nullptr;
    if (pending_.empty() && timeoutMs > 0)
        frameReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !pending_.empty(); });
    if (pending_.empty()) return nullptr;
    locked_ = std::make_unique<StoredFrame>(std::move(pending_.front()));
    pending_.pop_front();
    ++counters_.delivered;
    return locked_.get();
}

bool FrameStore::unlock() {
    std::lock_guard lock(mutex_);
    if (!locked_) return false;
    if (pool_.size() < kPoolLimit && locked_->pixels.capacity() != 0) pool_.push_back(std::move(locked_->pixels));
    locked_.reset();
    return true;
}

void FrameStore::setAdaptive(bool adaptive) {
    std::lock_guard lock(mutex_);
    adaptive_ = adaptive;
    while (adaptive_ && pending_.size() > 1) {
        ++counters_.dropped;
        pending_.pop_front();
    }
}

void FrameStore::countDropped(uint64_t n) {
    std::lock_guard lock(mutex_);
    counters_.dropped += n;
}

FrameStoreCounters FrameStore::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

} // namespace kiv
