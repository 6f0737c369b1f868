// Frame contents that tell frames, senders and byte positions apart.
#pragma once

#include <cstdint>
#include <vector>

namespace kivtest {

inline uint8_t patternByte(uint64_t seed, uint32_t frame, size_t i) {
    uint64_t x = seed * 0x9e3779b97f4a7c15ull + frame * 0xbf58476d1ce4e5b9ull + i;
    x ^= x >> 29;
    return uint8_t(x * 0x94d049bb133111ebull >> 56);
}

inline std::vector<uint8_t> pattern(uint64_t seed, uint32_t frame, size_t size) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = patternByte(seed, frame, i);
    return v;
}

} // namespace kivtest
