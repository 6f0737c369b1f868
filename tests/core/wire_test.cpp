// SPDX-License-Identifier: MIT
#include "wire.hpp"

#include "format.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace kiv {
namespace {

WireHeader rawHeader(kivStreamFormat f) {
    return {.format = f, .frameNumber = 0xfffffffe, .sessionId = 0x0123456789abcdefull, .sendTimeUs = -5,
            .payloadSize = uint32_t(frameBytes64(f))};
}

TEST(WireHeader, RoundTripsEveryFieldLittleEndian) {
    const kivStreamFormat f{321, 7, KIV_DEPTH_16, 1};
    std::array<uint8_t, kWireHeaderSize> bytes;
    bytes.fill(0xa5); // whatever was there before, the reserved fields go out as 0
    encodeHeader(rawHeader(f), bytes);
    // 321 * 2 = 642 bytes a row, padded to 644.
    EXPECT_EQ(std::tuple(bytes[0], bytes[3], bytes[40], bytes[41], bytes[18] | bytes[19] | bytes[44] | bytes[45] | bytes[46] | bytes[47]),
              std::tuple('K', 'F', 644 * 7 % 256, 644 * 7 / 256, 0));
    WireHeader back;
    ASSERT_EQ(decodeHeader(bytes, back), WireError::None);
    EXPECT_EQ(std::tuple(std::memcmp(&back.format, &f, sizeof f), back.frameNumber, back.sessionId, back.sendTimeUs, back.payloadSize,
                         back.compressed()),
              std::tuple(0, 0xfffffffeu, 0x0123456789abcdefull, -5, 644u * 7u, false));
}

// Each field checked, and sizes capped before any allocation trusts them.
TEST(WireHeader, RejectsEachBadFieldAndCapsSizes) {
    // Each patch: offset, little-endian value, bytes.
    const struct { const char *name; std::vector<std::array<uint64_t, 3>> patches; WireError expected; } cases[] = {
        {"magic", {{0, 'X', 1}}, WireError::BadMagic}, {"version", {{4, 2, 1}}, WireError::BadVersion},
        {"header size", {{6, 47, 1}}, WireError::BadHeaderSize}, {"flags", {{8, 0x80, 1}}, WireError::UnknownFlags},
        {"depth", {{16, 4, 1}}, WireError::UnknownDepth}, {"width grown", {{13, 0x10, 1}}, WireError::PayloadMismatch},
        {"payload size", {{43, 0xff, 1}}, WireError::PayloadMismatch}, {"sent raw", {{8, 0x4, 1}}, WireError::None},
        {"stripes of no JPEG", {{8, 0x2, 1}}, WireError::UnknownFlags}, {"JPEG sent raw", {{8, 0x5, 1}}, WireError::UnknownFlags},
        {"format over the cap", {{12, 0xffffffff, 4}, {16, KIV_DEPTH_32, 2}, {40, 0xffffffff, 4}}, WireError::FormatTooLarge},
        {"JPEG of no bytes", {{8, 1, 1}, {40, 0, 4}}, WireError::PayloadMismatch},
        {"JPEG over the cap", {{8, 1, 1}, {40, KIV_MAX_FRAME_BYTES + 1, 4}}, WireError::PayloadMismatch},
        {"JPEG of a frame at the cap, as big", {{8, 1, 1}, {12, 4096, 2}, {14, 4096, 2}, {16, KIV_DEPTH_32, 2}, {40, KIV_MAX_FRAME_BYTES, 4}}, WireError::None},
        {"JPEG of no pixels", {{8, 1, 1}, {12, 0, 2}, {40, 1000, 4}}, WireError::PayloadMismatch},
    };
    std::array<uint8_t, kWireHeaderSize> good{};
    encodeHeader(rawHeader({64, 64, KIV_DEPTH_24, 1}), good);
    WireHeader out;
    for (const auto &c : cases) {
        auto bytes = good;
        for (auto [at, value, n] : c.patches)
            for (size_t i = 0; i < n; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
        EXPECT_EQ(decodeHeader(bytes, out), c.expected) << c.name;
    }
    EXPECT_EQ(decodeHeader(std::span(good).first(kWireHeaderSize - 1), out), WireError::Truncated);
}

} // namespace
} // namespace kiv
