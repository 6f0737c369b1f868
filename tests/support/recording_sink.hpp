// SPDX-License-Identifier: MIT
// Keeps every frame a receiving transport or a reassembler's queue produces, for tests of the receiving transports.
#pragma once

#include <algorithm>
#include <mutex>

#include "net_test.hpp"
#include "transport.hpp"

namespace nettest {

class RecordingSink {
public:
    struct Frame {
        kiv::WireHeader header;
        std::vector<uint8_t> payload;
    };
    // Records what arrives in `queue`.
    RecordingSink() : counters(ownCounters_) { queue.setDepth(1 << 20); }
    // Records what `transport` hands its reader.
    explicit RecordingSink(kiv::ReceiverTransport &transport) : counters(transport.counters), transport_(&transport) {
        transport.setDepth(1 << 20);
    }

    // Every frame so far, in arrival order.
    std::vector<Frame> frames() {
        std::lock_guard lock(mutex_);
        kiv::ReceivedFrame f;
        while ((transport_ ? transport_->next(f, {}) : queue.take(f, {})) == kiv::ReceiverTransport::Next::Frame) frames_.push_back({f.header, f.payload});
        return frames_;
    }
    bool waitFor(const std::function<bool(const Frame &)> &match, std::chrono::milliseconds limit = 10s) {
        return waitUntil([&] { return std::ranges::any_of(frames(), match); }, limit);
    }

    kiv::ReceiverCounters ownCounters_; // before the two that use it
    kiv::ReceiverCounters &counters;
    kiv::FrameQueue queue{ownCounters_};

private:
    kiv::ReceiverTransport *transport_ = nullptr;
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

} // namespace nettest
