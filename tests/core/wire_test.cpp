#include "wire.hpp"

#include "format.hpp"

#include <gtest/gtest.h>

#include <array>

namespace kiv {
namespace {

WireHeader rawHeader(kivStreamFormat f) {
    WireHeader h;
    h.format = f;
    h.frameNumber = 0xfffffffe;
    h.sessionId = 0x0123456789abcdefull;
    h.sendTimeUs = -5;
    h.payloadSize = uint32_t(frameBytes64(f));
    return h;
}

TEST(WireHeader, RoundTripsEveryField) {
    WireHeader h = rawHeader({321, 7, KIV_DEPTH_16, 1});
    std::array<uint8_t, kWireHeaderSize> bytes{};
    encodeHeader(h, bytes);
    WireHeader back;
    ASSERT_EQ(decodeHeader(bytes, back), WireError::None);
    EXPECT_EQ(back.format.width, 321);
    EXPECT_EQ(back.format.height, 7);
    EXPECT_EQ(back.format.depth, KIV_DEPTH_16);
    EXPECT_EQ(back.format.orientation, 1);
    EXPECT_EQ(back.frameNumber, 0xfffffffeu);
    EXPECT_EQ(back.sessionId, 0x0123456789abcdefull);
    EXPECT_EQ(back.sendTimeUs, -5);
    EXPECT_EQ(back.payloadSize, 644u * 7u); // 321 * 2 = 642, padded to 644
    EXPECT_FALSE(back.compressed());
}

TEST(WireHeader, LittleEndianOnTheWire) {
    WireHeader h = rawHeader({1, 1, KIV_DEPTH_8, 1});
    std::array<uint8_t, kWireHeaderSize> bytes{};
    encodeHeader(h, bytes);
    EXPECT_EQ(bytes[0], 'K');
    EXPECT_EQ(bytes[3], 'F');
    EXPECT_EQ(bytes[40], 4); // 1 pixel padded to 4 bytes
    EXPECT_EQ(bytes[41], 0);
}

struct Corruption {
    const char *name;
    size_t offset;
    uint8_t value;
    WireError expected;
};

TEST(WireHeader, RejectsEachBadField) {
    const Corruption cases[] = {
        {"magic", 0, 'X', WireError::BadMagic},
        {"version", 4, 2, WireError::BadVersion},
        {"header size", 6, 47, WireError::BadHeaderSize},
        {"flags", 8, 0x80, WireError::UnknownFlags},
        {"depth", 16, 4, WireError::UnknownDepth},
        {"width grown", 13, 0x10, WireError::PayloadMismatch},
        {"payload size", 43, 0xff, WireError::PayloadMismatch},
    };
    for (const Corruption &c : cases) {
        std::array<uint8_t, kWireHeaderSize> bytes{};
        encodeHeader(rawHeader({64, 64, KIV_DEPTH_24, 1}), bytes);
        bytes[c.offset] = c.value;
        WireHeader out;
        EXPECT_EQ(decodeHeader(bytes, out), c.expected) << c.name;
    }
    std::array<uint8_t, kWireHeaderSize> bytes{};
    encodeHeader(rawHeader({64, 64, KIV_DEPTH_24, 1}), bytes);
    WireHeader out;
    EXPECT_EQ(decodeHeader(std::span(bytes).first(kWireHeaderSize - 1), out), WireError::Truncated);
}

TEST(WireHeader, CapsFormatAndJpegPayloadBeforeAnyAllocation) {
    WireHeader huge = rawHeader({65535, 65535, KIV_DEPTH_32, 1});
    huge.payloadSize = 0xffffffffu;
    EXPECT_EQ(validateHeader(huge), WireError::FormatTooLarge);

    WireHeader jpeg = rawHeader({640, 480, KIV_DEPTH_24, 1});
    jpeg.flags = kWireFlagJpeg;
    jpeg.payloadSize = 1000;
    EXPECT_EQ(validateHeader(jpeg), WireError::None);
    jpeg.payloadSize = 0;
    EXPECT_EQ(validateHeader(jpeg), WireError::PayloadMismatch);
    jpeg.payloadSize = KIV_MAX_FRAME_BYTES + 1;
    EXPECT_EQ(validateHeader(jpeg), WireError::PayloadMismatch);
    jpeg.format.width = 0; // nothing to decode into
    jpeg.payloadSize = 1000;
    EXPECT_EQ(validateHeader(jpeg), WireError::PayloadMismatch);

    WireHeader empty = rawHeader({0, 10, KIV_DEPTH_24, 1});
    EXPECT_EQ(validateHeader(empty), WireError::None); // a raw empty frame is legal
}

} // namespace
} // namespace kiv
