// SPDX-License-Identifier: MIT
// An in-process transport pair: what a LoopbackSender sends, or a test hands
// in, waits in a LoopbackReceiver's queue as if it had come over a network.
#pragma once

#include <memory>

#include "decoder.hpp"
#include "util/clock.hpp"

namespace kiv::testing {

class LoopbackReceiver final : public QueuedReceiverTransport {
public:
    int start(int) override { return KIV_OK; }
    void deliver(const WireHeader &header, std::vector<uint8_t> payload) {
        queue_.put(header, std::move(payload), wallClockUs());
    }
};

// A started decoder over a LoopbackReceiver; `receiver` is set to it.
inline std::unique_ptr<Decoder> loopbackDecoder(LoopbackReceiver *&receiver) {
    auto d = std::make_unique<Decoder>([&receiver] {
        auto r = std::make_unique<LoopbackReceiver>();
        receiver = r.get();
        return r;
    });
    d->setSource(1);
    return d;
}

class LoopbackSender final : public SenderTransport {
public:
    explicit LoopbackSender(LoopbackReceiver &receiver) : receiver_(receiver) {}
    int open(const std::string &, int) override { return KIV_OK; }
    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override {
        receiver_.deliver(header, {payload.begin(), payload.end()});
        ++counters.sent;
        counters.bytes += payload.size();
        return KIV_OK;
    }

private:
    LoopbackReceiver &receiver_;
};

} // namespace kiv::testing
