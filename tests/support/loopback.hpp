// SPDX-License-Identifier: MIT
// An in-process transport pair: what a LoopbackSender sends, or a test hands
// in, waits in a LoopbackReceiver's queue as if it had come over a network.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "decoder.hpp"
#include "errors.hpp"
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

// Writes on the caller's thread, like the memory transport; `delay` makes it
// slow, and a `failure` code makes it refuse every frame.
class LoopbackSender final : public InlineSenderTransport {
public:
    explicit LoopbackSender(LoopbackReceiver &receiver, std::chrono::microseconds delay = {}, int failure = KIV_OK)
        : receiver_(receiver), delay_(delay), failure_(failure) {}
    ~LoopbackSender() override { stopSending(); }
    int open(const std::string &, int) override {
        stopSending();
        open_ = true;
        return KIV_OK;
    }

private:
    bool isOpen() const override { return open_; }
    int write(const WireHeader &header, std::span<const uint8_t> payload) override {
        std::this_thread::sleep_for(delay_);
        if (failure_ != KIV_OK) return fail(failure_, "refused by the test");
        receiver_.deliver(header, {payload.begin(), payload.end()});
        return KIV_OK;
    }

    LoopbackReceiver &receiver_;
    const std::chrono::microseconds delay_;
    const int failure_;
    bool open_ = false;
};

} // namespace kiv::testing
