// SPDX-License-Identifier: MIT
// One sending end: stamps frames and hands them to its transport, in order,
// through one queue (send_queue.hpp). Large JPEG frames are compressed here,
// during the call; smaller ones by the transport's sending thread.
#pragma once

#include <atomic>
#include <memory>

#include "transport.hpp"

namespace kiv {

class Encoder {
public:
    Encoder(int protocol, const kivStreamFormat &format);
    // With a transport of the caller's (in-process pipelines in tests and benchmarks).
    Encoder(std::unique_ptr<SenderTransport> transport, const kivStreamFormat &format);
    ~Encoder();

    bool hasTransport() const { return transport_ != nullptr; }
    int setDestination(const char *address, int stream);
    int setFormat(const kivStreamFormat &format, int compress, int level);
    int encode(const void *pixels);
    int link();
    kivEncoderStats stats() const;

private:
    int taken(int rc);

    kivStreamFormat format_;
    bool compress_ = false;
    int level_ = 0;
    std::atomic<bool> opened_{false}; // link() reads it from any thread
    const uint64_t sessionId_;
    uint32_t nextFrame_ = 0;
    std::atomic<uint64_t> encoded_{0};
    std::unique_ptr<SenderTransport> transport_;
};

} // namespace kiv
