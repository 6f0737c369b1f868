// Frame contents that tell frames apart: every 8 bytes depend on the frame
// number and the format, so a torn, mixed or misdelivered frame fails check().
#pragma once

#include <kivVidStreamLib2.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace kivtest {

inline uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

inline uint64_t seedOf(uint32_t frame, const kivStreamFormat &f) {
    return mix(frame ^ (uint64_t(f.width) << 32) ^ (uint64_t(f.height) << 48) ^ (uint64_t(f.depth) << 16));
}

inline void fillFrame(uint8_t *p, size_t n, uint32_t frame, const kivStreamFormat &f) {
    const uint64_t seed = seedOf(frame, f);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = mix(seed + i);
        std::memcpy(p + i, &v, n - i < 8 ? n - i : 8);
    }
}

inline std::vector<uint8_t> makeFrame(uint32_t frame, const kivStreamFormat &f) {
    std::vector<uint8_t> v(kivGetByteSize(&f));
    fillFrame(v.data(), v.size(), frame, f);
    return v;
}

inline bool checkFrame(const uint8_t *p, size_t n, uint32_t frame, const kivStreamFormat &f) {
    const uint64_t seed = seedOf(frame, f);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = mix(seed + i);
        if (std::memcmp(p + i, &v, n - i < 8 ? n - i : 8) != 0) return false;
    }
    return true;
}

} // namespace kivtest
