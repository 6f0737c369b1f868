// Frame patterns, handle owners and a helper process for the shared-memory tests.
#pragma once

#include <kivVidStreamLib2.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "transports/shm_segment.hpp"

namespace kivtest {

using namespace std::chrono_literals;

inline uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Every 8 bytes depend on the frame number and the format, so a torn, mixed or
// misdelivered frame fails the check. Writes the pattern, or checks it when `check`.
inline bool pattern(uint8_t *p, size_t n, uint32_t frame, const kivStreamFormat &f, bool check = false) {
    const uint64_t seed = mix(frame ^ (uint64_t(f.width) << 32) ^ (uint64_t(f.height) << 48) ^ (uint64_t(f.depth) << 16));
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = mix(seed + i);
        if (!check) std::memcpy(p + i, &v, n - i < 8 ? n - i : 8);
        else if (std::memcmp(p + i, &v, n - i < 8 ? n - i : 8) != 0) return false;
    }
    return true;
}

inline std::vector<uint8_t> makeFrame(uint32_t frame, const kivStreamFormat &f) {
    std::vector<uint8_t> v(kivGetByteSize(&f));
    return pattern(v.data(), v.size(), frame, f), v;
}

// Owners of library handles, so that a failing assertion leaks nothing.
struct Encoder {
    explicit Encoder(const kivStreamFormat &f) : handle(kivGetEncoder(KIV_PROTOCOL_MEMORY, &f)) {}
    ~Encoder() { kivDeleteEncoder(handle); }
    kivEncoder *handle;
};

struct Decoder {
    explicit Decoder(int stream, int adaptive = 1) : handle(kivGetDecoder(KIV_PROTOCOL_MEMORY, nullptr)) {
        kivSetSourceAddress(handle, stream);
        kivSetAdaptiveBuffer(handle, adaptive);
    }
    ~Decoder() { kivDeleteDecoder(handle); }
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
    auto *p = static_cast<uint8_t *>(const_cast<void *>(kivLockReadBuffer(d, timeoutMs)));
    if (!p) return std::nullopt;
    Received r;
    kivGetRecvFrameInfo(d, &r.info);
    r.format = {kivGetRecvWidth(d), kivGetRecvHeight(d), kivGetRecvDepth(d), kivGetRecvOrientation(d)};
    const uint32_t n = kivGetByteSize(&r.format);
    r.intact = r.info.imageBytes == n && pattern(p, n, r.info.frameNumber, r.format, true);
    kivUnlockReadBuffer(d);
    return r;
}

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
    return fd >= 0 && ::close(fd) == 0;
}

#ifdef KIV_MEMORY_HELPER
// The helper program (memory_helper.cpp). One still running at the end is asked
// to exit cleanly, so that its segment goes too.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), KIV_MEMORY_HELPER);
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    }
    ~Child() {
        if (pid_ > 0 && (::kill(pid_, SIGTERM) != 0 || wait() == -1)) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

    // The wait status, or -1 if the child is still running after `timeout`.
    int wait(std::chrono::milliseconds timeout = 10s) {
        int status = -1;
        if (pid_ <= 0 || !eventually([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, timeout)) return -1;
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
};
#endif

} // namespace kivtest
