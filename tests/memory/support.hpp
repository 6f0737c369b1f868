// Handles and receive helpers shared by the shared-memory tests.
#pragma once

#include <kivVidStreamLib2.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "pattern.hpp"
#include "transports/shm_segment.hpp"

namespace kivtest {

using namespace std::chrono_literals;

// Owners of library handles, so that a failing assertion leaks nothing.
struct Encoder {
    explicit Encoder(const kivStreamFormat &f) : handle(kivGetEncoder(KIV_PROTOCOL_MEMORY, &f)) {}
    ~Encoder() { kivDeleteEncoder(handle); }
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;
    kivEncoder *handle;
};

struct Decoder {
    explicit Decoder(int stream, int adaptive = 1) : handle(kivGetDecoder(KIV_PROTOCOL_MEMORY, nullptr)) {
        kivSetSourceAddress(handle, stream);
        kivSetAdaptiveBuffer(handle, adaptive);
    }
    ~Decoder() { kivDeleteDecoder(handle); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    kivDecoderStats stats() const {
        kivDecoderStats s{};
        kivGetDecoderStats(handle, &s);
        return s;
    }
    kivDecoder *handle;
};

struct Received {
    kivFrameInfo info{};
    kivStreamFormat format{};
    bool intact = false; // bytes match the pattern for its frame number and format
};

// Locks one frame (waiting up to `timeoutMs`), checks it and unlocks it.
inline std::optional<Received> receive(kivDecoder *d, int timeoutMs) {
    const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(d, timeoutMs));
    if (!p) return std::nullopt;
    Received r;
    kivGetRecvFrameInfo(d, &r.info);
    r.format = {kivGetRecvWidth(d), kivGetRecvHeight(d), kivGetRecvDepth(d), kivGetRecvOrientation(d)};
    r.intact = r.info.imageBytes == kivGetByteSize(&r.format) &&
               checkFrame(p, kivGetByteSize(&r.format), r.info.frameNumber, r.format);
    kivUnlockReadBuffer(d);
    return r;
}

// Waits until `pred` holds, polling with a deadline.
template <class P> bool eventually(P pred, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        ::usleep(1000);
    }
    return true;
}

inline std::string segmentName(int stream) { return kiv::shm::segmentName(::geteuid(), stream); }

inline bool segmentExists(int stream) {
    const int fd = ::shm_open(segmentName(stream).c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

inline std::string formatArg(const kivStreamFormat &f) {
    return std::to_string(f.width) + "," + std::to_string(f.height) + "," + std::to_string(f.depth);
}

} // namespace kivtest
