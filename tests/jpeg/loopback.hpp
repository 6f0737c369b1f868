// An in-process transport pair: what an encoder sends is delivered to a FrameSink
// from a thread of its own, as a real receiving transport would.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "transport.hpp"

namespace kiv::testing {

// Receiving half that listens to nothing: frames come from a LoopbackSender.
class InertReceiver final : public ReceiverTransport {
public:
    int start(int) override { return KIV_OK; }
};

class LoopbackSender final : public SenderTransport {
public:
    explicit LoopbackSender(FrameSink &sink) : sink_(sink), thread_([this](std::stop_token s) { run(s); }) {}

    int open(const std::string &, int) override { return KIV_OK; }

    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override {
        ++handed;
        std::vector<uint8_t> copy = sink_.takeBuffer();
        copy.assign(payload.begin(), payload.end());
        {
            std::lock_guard lock(mutex_);
            if (hasFrame_) counters.dropped++;
            header_ = header;
            payload_ = std::move(copy);
            hasFrame_ = true;
        }
        ready_.notify_one();
        return KIV_OK;
    }

    std::atomic<uint64_t> handed{0}; // sendFrame() calls

private:
    void run(std::stop_token stop) {
        while (true) {
            WireHeader header;
            std::vector<uint8_t> payload;
            {
                std::unique_lock lock(mutex_);
                if (!ready_.wait(lock, stop, [&] { return hasFrame_; })) return;
                header = header_;
                payload = std::move(payload_);
                hasFrame_ = false;
            }
            counters.sent++;
            counters.bytes += payload.size();
            sink_.deliver(header, std::move(payload));
        }
    }

    FrameSink &sink_;
    std::mutex mutex_;
    std::condition_variable_any ready_;
    bool hasFrame_ = false;
    WireHeader header_;
    std::vector<uint8_t> payload_;
    std::jthread thread_; // last: stops before the members it uses go
};

} // namespace kiv::testing
