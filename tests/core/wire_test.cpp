#include "wire.hpp"

#include "format.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace kiv {
namespace {

WireHeader rawHeader(kivStreamFormat f) {
    return {.format = f, .frameNumber = 0xfffffffe, .sessionId = 0x0123456789abcdefull, .sendTimeUs = -5,
            .payloadSize = uint32_t(frameBytes64(f))};
}

TEST(WireHeader, RoundTripsEveryFieldLittleEndian) {
    const kivStreamFormat f{321, 7, KIV_DEPTH_16, 1};
    std::array<uint8_t, kWireHeaderSize> bytes{};
    encodeHeader(rawHeader(f), bytes);
    EXPECT_EQ(bytes[0], 'K');
    EXPECT_EQ(bytes[3], 'F');
    EXPECT_EQ(bytes[40], 644u * 7u % 256); // 321 * 2 = 642, padded to 644
    EXPECT_EQ(bytes[41], 644u * 7u / 256);
    WireHeader back;
    ASSERT_EQ(decodeHeader(bytes, back), WireError::None);
    EXPECT_EQ(std::memcmp(&back.format, &f, sizeof f), 0);
    EXPECT_EQ(back.frameNumber, 0xfffffffeu);
    EXPECT_EQ(back.sessionId, 0x0123456789abcdefull);
    EXPECT_EQ(back.sendTimeUs, -5);
    EXPECT_EQ(back.payloadSize, 644u * 7u);
    EXPECT_FALSE(back.compressed());
}

TEST(WireHeader, RejectsEachBadField) {
    const struct {
        const char *name;
        size_t offset;
        uint8_t value;
        WireError expected;
    } cases[] = {
        {"magic", 0, 'X', WireError::BadMagic}, {"version", 4, 2, WireError::BadVersion},
        {"header size", 6, 47, WireError::BadHeaderSize}, {"flags", 8, 0x80, WireError::UnknownFlags},
        {"depth", 16, 4, WireError::UnknownDepth}, {"width grown", 13, 0x10, WireError::PayloadMismatch},
        {"payload size", 43, 0xff, WireError::PayloadMismatch}, {"sent raw", 8, 0x4, WireError::None},
        {"stripes of no JPEG", 8, 0x2, WireError::UnknownFlags}, {"JPEG sent raw", 8, 0x5, WireError::UnknownFlags},
    };
    std::array<uint8_t, kWireHeaderSize> good{};
    encodeHeader(rawHeader({64, 64, KIV_DEPTH_24, 1}), good);
    WireHeader out;
    for (const auto &c : cases) {
        auto bytes = good;
        bytes[c.offset] = c.value;
        EXPECT_EQ(decodeHeader(bytes, out), c.expected) << c.name;
    }
    EXPECT_EQ(decodeHeader(std::span(good).first(kWireHeaderSize - 1), out), WireError::Truncated);
}

TEST(WireHeader, CapsFormatAndJpegPayloadBeforeAnyAllocation) {
    WireHeader huge = rawHeader({65535, 65535, KIV_DEPTH_32, 1});
    huge.payloadSize = 0xffffffffu;
    EXPECT_EQ(validateHeader(huge), WireError::FormatTooLarge);
    EXPECT_EQ(validateHeader(rawHeader({0, 10, KIV_DEPTH_24, 1})), WireError::None); // a raw empty frame is legal

    const struct {
        uint16_t width;
        uint32_t payload;
        WireError expected;
    } jpegs[] = {
        {640, 1000, WireError::None}, {640, 0, WireError::PayloadMismatch},
        {640, KIV_MAX_FRAME_BYTES + 1, WireError::PayloadMismatch},
        {0, 1000, WireError::PayloadMismatch}, // nothing to decode into
    };
    for (const auto &c : jpegs) {
        WireHeader jpeg = rawHeader({c.width, 480, KIV_DEPTH_24, 1});
        jpeg.flags = kWireFlagJpeg;
        jpeg.payloadSize = c.payload;
        EXPECT_EQ(validateHeader(jpeg), c.expected) << c.width << " " << c.payload;
    }
}

} // namespace
} // namespace kiv
