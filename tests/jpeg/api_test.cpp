// JPEG through the public API on every transport this build carries.
#include <kivVidStreamLib2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>

#include "picture.hpp"

namespace {

struct Transport {
    const char *name;
    int protocol;
    const char *address;
    int firstStream;
};

const Transport kTransports[] = {
    {"memory", KIV_PROTOCOL_MEMORY, "127.0.0.1", 23100},
    {"tcp", KIV_PROTOCOL_TCP, "127.0.0.1", 23200},
    {"udp", KIV_PROTOCOL_UDP, "127.0.0.1", 23300},
};

void PrintTo(const Transport &t, std::ostream *os) { *os << t.name; }

class JpegOverTransport : public ::testing::TestWithParam<Transport> {};

// Sends `pixels` again and again until a frame numbered `from` or later arrives.
// Leaves that frame locked; returns it or nullptr at the deadline.
const uint8_t *sendUntilReceived(kivEncoder *e, kivDecoder *d, const uint8_t *pixels, uint32_t from,
                                 uint32_t &encoded) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (kivEncode(e, pixels) == KIV_OK) ++encoded;
        while (const void *frame = kivLockReadBuffer(d, 50)) {
            kivFrameInfo info{};
            if (kivGetRecvFrameInfo(d, &info) == KIV_OK && info.frameNumber >= from)
                return static_cast<const uint8_t *>(frame);
            kivUnlockReadBuffer(d);
        }
    }
    return nullptr;
}

TEST_P(JpegOverTransport, FramesArriveDecodedAndSmallerAsTheLevelRises) {
    const Transport &t = GetParam();
    int stream = t.firstStream;
    for (uint16_t depth : {KIV_DEPTH_16, KIV_DEPTH_24, KIV_DEPTH_32, KIV_DEPTH_8}) {
        ++stream;
        const kivStreamFormat f{321, 241, depth, 1};
        kivEncoder *e = kivGetEncoder(t.protocol, &f);
        if (!e) GTEST_SKIP() << "this build carries no " << t.name << " transport";
        kivDecoder *d = kivGetDecoder(t.protocol, &f);
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(kivSetSourceAddress(d, stream), KIV_OK) << t.name;
        ASSERT_EQ(kivSetDestAddress(e, t.address, stream), KIV_OK) << t.name;
        ASSERT_EQ(kivSetDestFormat(e, &f, 1, 5), KIV_OK);
        const auto picture = kiv::testpic::linesPicture(f, 60);

        uint32_t encoded = 0;
        const uint8_t *frame = sendUntilReceived(e, d, picture.data(), 0, encoded);
        ASSERT_NE(frame, nullptr) << t.name << " depth " << depth << ": no frame arrived";
        EXPECT_EQ(kivGetRecvWidth(d), f.width);
        EXPECT_EQ(kivGetRecvHeight(d), f.height);
        EXPECT_EQ(kivGetRecvDepth(d), depth);
        kivFrameInfo info{};
        ASSERT_EQ(kivGetRecvFrameInfo(d, &info), KIV_OK);
        EXPECT_EQ(info.flags, KIV_FRAME_COMPRESSED);
        const uint32_t lowLevelBytes = kivGetCompressedFrameSize(d);
        EXPECT_EQ(info.transferBytes, lowLevelBytes);
        EXPECT_LT(lowLevelBytes, kivGetByteSize(&f)) << t.name << " depth " << depth;
        EXPECT_GE(kiv::testpic::psnr(f, picture.data(), frame), 32.0) << t.name << " depth " << depth;
        kivUnlockReadBuffer(d);

        ASSERT_EQ(kivSetDestFormat(e, &f, 1, 80), KIV_OK);
        frame = sendUntilReceived(e, d, picture.data(), encoded, encoded);
        ASSERT_NE(frame, nullptr) << t.name << " depth " << depth << ": no frame at level 80";
        EXPECT_LT(kivGetCompressedFrameSize(d), lowLevelBytes) << t.name << " depth " << depth;
        kivUnlockReadBuffer(d);

        EXPECT_EQ(kivDeleteEncoder(e), KIV_OK);
        kivDecoderStats stats{};
        kivGetDecoderStats(d, &stats);
        EXPECT_EQ(stats.framesMalformed, 0u) << t.name;
        EXPECT_EQ(kivDeleteDecoder(d), KIV_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(, JpegOverTransport, ::testing::ValuesIn(kTransports),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
