// SPDX-License-Identifier: MIT
// Self-checking frames and a paced sender, shared by the fault tests and the peer program. A frame's
// first 12 bytes name its sender (seed) and number; the rest follows from those.
#pragma once

#include <kivVidStreamLib2.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace reltest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline void fill(uint8_t *p, size_t size, uint64_t seed, uint32_t n) {
    std::mt19937_64 rng(seed ^ (uint64_t(n) << 32));
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t word = rng();
        std::memcpy(p + i, &word, std::min<size_t>(8, size - i));
    }
    std::memcpy(p, &seed, 8);
    std::memcpy(p + 8, &n, 4);
}

// The sender's seed when the bytes are exactly what fill() makes, else 0.
inline uint64_t check(const uint8_t *p, size_t size) {
    if (size < 12) return 0;
    uint64_t seed;
    uint32_t n;
    std::memcpy(&seed, p, 8);
    std::memcpy(&n, p + 8, 4);
    std::vector<uint8_t> expected(size);
    fill(expected.data(), size, seed, n);
    return std::memcmp(expected.data(), p, size) == 0 ? seed : 0;
}

// Takes one frame if one comes within `ms`: its seed, 0 if corrupt, -1 if none.
inline int64_t readOne(kivDecoder *dec, int ms) {
    const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec, ms));
    if (!p) return -1;
    kivFrameInfo info{};
    kivGetRecvFrameInfo(dec, &info);
    const uint64_t seed = check(p, info.imageBytes);
    kivUnlockReadBuffer(dec);
    return int64_t(seed);
}

// Intact frames per sender seed (key 0: corrupt ones).
using Tally = std::map<uint64_t, int>;

inline bool readUntil(kivDecoder *dec, Tally &tally, const std::function<bool()> &done,
                      std::chrono::milliseconds limit = 20s) {
    for (const auto deadline = Clock::now() + limit; !done();) {
        if (Clock::now() >= deadline) return false;
        if (const int64_t seed = readOne(dec, 50); seed >= 0) ++tally[uint64_t(seed)];
    }
    return true;
}

// Sends self-checking 24-bit frames to loopback at `fps` until `tick`, called
// after each frame with whether it went out, says stop. 1 if it cannot start.
inline int sendFrames(int protocol, int stream, uint64_t seed, kivStreamFormat fmt, int fps,
                      const std::function<bool(bool)> &tick) {
    kivEncoder *enc = kivGetEncoder(protocol, &fmt);
    if (!enc || kivSetDestAddress(enc, "127.0.0.1", stream) != KIV_OK) return 1;
    std::vector<uint8_t> frame(kivGetByteSize(&fmt));
    auto next = Clock::now();
    for (uint32_t n = 0;; ++n) {
        fill(frame.data(), frame.size(), seed, n);
        if (!tick(kivEncode(enc, frame.data()) == KIV_OK)) break;
        std::this_thread::sleep_until(next += std::chrono::microseconds(1000000 / fps));
    }
    kivDeleteEncoder(enc);
    return 0;
}

} // namespace reltest
