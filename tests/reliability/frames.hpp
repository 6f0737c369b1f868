// Frames that carry their own proof: the first 12 bytes say which sender
// (seed) and which frame made them, the rest follows from those two numbers,
// so any frame that reaches a reader can be checked without knowing who sent it.
#pragma once

#include <kivVidStreamLib2.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace reltest {

inline uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

inline void fill(uint8_t *p, size_t size, uint64_t seed, uint32_t n) {
    uint64_t state = mix(seed ^ (uint64_t(n) << 32));
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t word = mix(state + i);
        std::memcpy(p + i, &word, std::min<size_t>(8, size - i));
    }
    if (size >= 12) {
        std::memcpy(p, &seed, 8);
        std::memcpy(p + 8, &n, 4);
    }
}

struct Stamp {
    uint64_t seed = 0;
    uint32_t frame = 0;
};

// True when the bytes are exactly what fill() makes for the stamp they carry.
inline bool check(const uint8_t *p, size_t size, Stamp &stamp) {
    if (size < 12) return false;
    std::memcpy(&stamp.seed, p, 8);
    std::memcpy(&stamp.frame, p + 8, 4);
    std::vector<uint8_t> expected(size);
    fill(expected.data(), size, stamp.seed, stamp.frame);
    return std::memcmp(expected.data(), p, size) == 0;
}

inline int protocolByName(const std::string &name) {
    if (name == "udp") return KIV_PROTOCOL_UDP;
    if (name == "tcp") return KIV_PROTOCOL_TCP;
    if (name == "memory") return KIV_PROTOCOL_MEMORY;
    return 0;
}

} // namespace reltest
