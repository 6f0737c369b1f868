// A FrameSink that keeps every frame, for tests of the receiving transports.
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>

#include "net_test.hpp"
#include "transport.hpp"

namespace nettest {

class RecordingSink final : public kiv::FrameSink {
public:
    struct Frame {
        kiv::WireHeader header;
        std::vector<uint8_t> payload;
    };
    std::vector<uint8_t> takeBuffer() override { return {}; }
    void deliver(const kiv::WireHeader &h, std::vector<uint8_t> &&p) override {
        std::lock_guard lock(mutex_);
        frames_.push_back({h, std::move(p)});
    }
    void countMalformed(uint64_t n) override { malformed += n; }
    void countIncomplete(uint64_t n) override { incomplete += n; }
    void countDropped(uint64_t) override {}
    void countLoss(uint64_t l, uint64_t r, uint64_t f) override {
        lost += l;
        recovered += r;
        rebuilt += f;
    }

    std::vector<Frame> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    bool waitFor(const std::function<bool(const Frame &)> &match, std::chrono::milliseconds limit = 10s) const {
        return waitUntil([&] {
            std::lock_guard lock(mutex_);
            return std::any_of(frames_.begin(), frames_.end(), match);
        }, limit);
    }

    std::atomic<uint64_t> malformed{0}, incomplete{0}, lost{0}, recovered{0}, rebuilt{0};

private:
    mutable std::mutex mutex_;
    std::vector<Frame> frames_;
};

} // namespace nettest
