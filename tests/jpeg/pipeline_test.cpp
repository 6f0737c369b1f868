// JPEG frames through the decoder's sink and through a whole encoder-decoder
// pipeline: what is handed out, what is counted, in what order.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "decoder.hpp"
#include "encoder.hpp"
#include "loopback.hpp"
#include "picture.hpp"

namespace kiv {
namespace {

using testing::InertReceiver;
using testing::LoopbackSender;

std::unique_ptr<Decoder> startedDecoder(int stream) {
    auto d = std::make_unique<Decoder>([](FrameSink &) { return std::make_unique<InertReceiver>(); });
    EXPECT_EQ(d->setSource(stream), KIV_OK);
    return d;
}

WireHeader jpegHeader(const kivStreamFormat &f, uint32_t frame, size_t size) {
    WireHeader h;
    h.flags = kWireFlagJpeg;
    h.format = f;
    h.frameNumber = frame;
    h.sessionId = 42;
    h.payloadSize = uint32_t(size);
    return h;
}

// Decoding runs on the decoder's own thread: wait until it has dealt with a frame.
template <class Pred> bool waitFor(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<uint8_t> compress(const kivStreamFormat &f, const std::vector<uint8_t> &pixels, int level) {
    jpeg::Compressor c;
    std::vector<uint8_t> out;
    EXPECT_EQ(c.compress(f, pixels.data(), jpeg::qualityForLevel(level), out), KIV_OK);
    return out;
}

TEST(JpegSink, BadJpegIsCountedAndNothingIsHandedOut) {
    const kivStreamFormat f{37, 21, KIV_DEPTH_24, 1};
    const auto picture = testpic::linesPicture(f, 5);
    const auto good = compress(f, picture, 0);
    auto d = startedDecoder(23001);

    d->deliver(jpegHeader(f, 1, good.size()), std::vector<uint8_t>(good));
    const auto *frame = static_cast<const uint8_t *>(d->lock(10000));
    ASSERT_NE(frame, nullptr);
    EXPECT_GE(testpic::psnr(f, picture.data(), frame), 38.0);
    EXPECT_EQ(d->lastTransferBytes(), good.size());
    kivFrameInfo info{};
    ASSERT_EQ(d->frameInfo(info), KIV_OK);
    EXPECT_EQ(info.flags, KIV_FRAME_COMPRESSED);
    EXPECT_EQ(info.transferBytes, good.size());
    EXPECT_EQ(info.imageBytes, frameBytes64(f));
    ASSERT_EQ(d->unlock(), KIV_OK);

    auto flipped = good;
    for (size_t i = good.size() / 2; i < good.size() - 2; ++i) flipped[i] ^= 0x55;
    struct Case {
        const char *what;
        kivStreamFormat format;
        std::vector<uint8_t> bytes;
    } const cases[] = {
        {"truncated", f, std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() / 2))},
        {"garbled second half", f, flipped},
        {"header says wider", {38, 21, KIV_DEPTH_24, 1}, good},
        {"header says grey", {37, 21, KIV_DEPTH_8, 1}, good},
        {"not a JPEG", f, std::vector<uint8_t>(500, 0x11)},
    };
    uint64_t malformed = d->stats().framesMalformed;
    for (const Case &c : cases) {
        d->deliver(jpegHeader(c.format, 2, c.bytes.size()), std::vector<uint8_t>(c.bytes));
        ++malformed;
        EXPECT_TRUE(waitFor([&] { return d->stats().framesMalformed == malformed; })) << c.what;
        EXPECT_EQ(d->stats().framesReceived, 1u) << c.what;
        EXPECT_EQ(d->lock(0), nullptr) << c.what;
        EXPECT_EQ(d->lastTransferBytes(), good.size()) << c.what;
    }
    // A payload whose length disagrees with the header never reaches the codec.
    d->deliver(jpegHeader(f, 3, good.size() + 1), std::vector<uint8_t>(good));
    EXPECT_EQ(d->stats().framesMalformed, malformed + 1);
    EXPECT_EQ(d->lock(0), nullptr);

    // Bad frames leave the decoder able to decode the next good one.
    d->deliver(jpegHeader(f, 4, good.size()), std::vector<uint8_t>(good));
    frame = static_cast<const uint8_t *>(d->lock(10000));
    ASSERT_NE(frame, nullptr);
    EXPECT_GE(testpic::psnr(f, picture.data(), frame), 38.0);
    d->unlock();
}

TEST(JpegSink, RawFrameOvertakesNoJpegStillDecoding) {
    const kivStreamFormat f{1280, 720, KIV_DEPTH_32, 1};
    const auto picture = testpic::linesPicture(f, 100);
    const auto jpegBytes = compress(f, picture, 0);
    auto d = startedDecoder(23002);
    d->setAdaptive(false);
    WireHeader raw = jpegHeader(f, 0, picture.size());
    raw.flags = 0;
    uint32_t number = 0, lastSeen = 0;
    for (int round = 0; round < 20; ++round) {
        d->deliver(jpegHeader(f, ++number, jpegBytes.size()), std::vector<uint8_t>(jpegBytes));
        raw.frameNumber = ++number;
        d->deliver(raw, std::vector<uint8_t>(picture));
        while (d->lock(0)) {
            kivFrameInfo info{};
            d->frameInfo(info);
            EXPECT_GT(info.frameNumber, lastSeen);
            lastSeen = info.frameNumber;
            d->unlock();
        }
    }
    EXPECT_EQ(lastSeen, number);
    EXPECT_TRUE(waitFor([&] {
        const kivDecoderStats s = d->stats();
        return s.framesReceived + s.framesDropped >= number;
    })) << "every frame is handed out or counted as dropped";
}

struct Pipeline {
    explicit Pipeline(const kivStreamFormat &f, int stream) : decoder(startedDecoder(stream)) {
        auto sender = std::make_unique<LoopbackSender>(*decoder);
        encoder = std::make_unique<Encoder>(std::move(sender), f);
        EXPECT_EQ(encoder->setDestination("", stream), KIV_OK);
    }
    ~Pipeline() { encoder.reset(); } // stops sending before the decoder goes

    std::unique_ptr<Decoder> decoder;
    std::unique_ptr<Encoder> encoder;
};

TEST(JpegPipeline, FramesStayInOrderWhileCompressionIsSwitchedOnAndOff) {
    const kivStreamFormat f{640, 480, KIV_DEPTH_32, 1};
    Pipeline p(f, 23020);
    p.decoder->setAdaptive(false);
    const auto picture = testpic::linesPicture(f, 50);
    uint32_t lastSeen = 0, seen = 0;
    bool any = false;
    auto drain = [&](int timeoutMs) {
        while (const void *frame = p.decoder->lock(timeoutMs)) {
            kivFrameInfo info{};
            p.decoder->frameInfo(info);
            if (any) {
                EXPECT_GT(info.frameNumber, lastSeen) << "frame went back in time";
            }
            any = true;
            lastSeen = info.frameNumber;
            ++seen;
            (void)frame;
            p.decoder->unlock();
            timeoutMs = 0;
        }
    };
    // A raw frame right after a compressed one overtakes it while it compresses.
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(p.encoder->setFormat(f, i % 2, 0), KIV_OK);
        ASSERT_EQ(p.encoder->encode(picture.data()), KIV_OK);
        drain(0);
    }
    ASSERT_EQ(p.encoder->setFormat(f, 0, 0), KIV_OK);
    ASSERT_EQ(p.encoder->encode(picture.data()), KIV_OK); // the last frame, raw
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lastSeen != 60 && std::chrono::steady_clock::now() < deadline) drain(100);
    EXPECT_EQ(lastSeen, 60u);
    EXPECT_GT(seen, 1u);
}

} // namespace
} // namespace kiv
