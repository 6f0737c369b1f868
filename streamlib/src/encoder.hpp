// SPDX-License-Identifier: MIT
// One sending end: stamps frames, compresses them off the caller's thread when
// asked to, and hands them to its transport.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/jpeg.hpp"
#include "util/mailbox.hpp"
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
    void compressLoop(std::stop_token stop);
    // Compresses one frame (in stripes when `stripeRows`, else with `compressor`)
    // and sends it, raw when its JPEG would be no smaller.
    void compressAndSend(WireHeader header, const uint8_t *pixels, int quality, uint32_t stripeRows,
                         jpeg::Compressor *compressor, std::vector<uint8_t> &jpegBytes);
    // Sends with transportMutex_ held; drops a frame older than one already sent.
    int sendLocked(const WireHeader &header, std::span<const uint8_t> payload);

    kivStreamFormat format_;
    bool compress_ = false;
    int level_ = 0;
    bool opened_ = false;
    const uint64_t sessionId_;
    uint32_t nextFrame_ = 0;
    std::atomic<uint64_t> encoded_{0};
    std::atomic<uint64_t> compressDropped_{0};
    std::atomic<uint64_t> sentRaw_{0};

    std::mutex transportMutex_; // the caller's thread and the compressor both send
    std::unique_ptr<SenderTransport> transport_;
    bool anySent_ = false;      // guarded by transportMutex_
    uint32_t lastSentFrame_ = 0; // guarded by transportMutex_

    // JPEG: kivEncode leaves the raw frame here; the compressor thread takes it.
    struct PendingRaw {
        WireHeader header;
        int quality = 0;
        std::vector<uint8_t> pixels;
    };
    Mailbox<PendingRaw> toCompress_{compressDropped_};
    std::vector<uint8_t> callerJpeg_; // large frames, compressed on the caller's thread
    std::jthread compressor_; // declared last: joined before the members it uses go
};

} // namespace kiv
