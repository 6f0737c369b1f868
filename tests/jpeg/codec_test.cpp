// SPDX-License-Identifier: MIT
// The JPEG codec, the decoder's JPEG path, an encoder-decoder pipeline, and the public API.
#include <array>

#include <turbojpeg.h>

#include "net_test.hpp"
#include "decoder.hpp"
#include "encoder.hpp"
#include "loopback.hpp"
#include "picture.hpp"
#include "util/little_endian.hpp"

namespace kiv {
namespace {

using nettest::Clock;
using namespace std::chrono_literals;

std::vector<uint8_t> compress(const kivStreamFormat &f, const std::vector<uint8_t> &pixels, int level) {
    ByteBuffer out;
    EXPECT_EQ(jpeg::Compressor().compress(f, pixels.data(), jpeg::qualityForLevel(level), out), KIV_OK);
    return {out.begin(), out.end()};
}

std::vector<uint8_t> stripes(const kivStreamFormat &f, const std::vector<uint8_t> &pixels, uint32_t rows) {
    ByteBuffer out;
    EXPECT_EQ(jpeg::compressStriped(f, pixels.data(), 100, rows, out), KIV_OK);
    return {out.begin(), out.end()};
}

TEST(JpegCodec, RoundTripKeepsLayoutAndPictureAtEveryDepth) {
    // Odd widths pad rows; a shear, a channel swap or lost padding falls below these level-0 bounds.
    const std::pair<uint16_t, double> depths[] = {{KIV_DEPTH_8, 40}, {KIV_DEPTH_16, 36}, {KIV_DEPTH_24, 38}, {KIV_DEPTH_32, 38}};
    for (auto [depth, minPsnr] : depths)
        for (auto [w, h] : {std::pair<uint16_t, uint16_t>{1, 1}, {3, 5}, {17, 9}, {321, 33}, {64, 64}, {2, 1024}}) // 1024: the most stripes
        for (uint32_t stripeRows : {0u, 1u, 4u, 16u}) { // 0: one plain JPEG; 4 and 16 leave a shorter last stripe
            const kivStreamFormat f{w, h, depth, 1};
            SCOPED_TRACE(::testing::Message() << w << "x" << h << " depth " << depth << " stripes of " << stripeRows);
            const auto picture = testpic::linesPicture(f, 12);
            // A reused, dirty buffer must not leak into the padding.
            std::vector<uint8_t> out(size_t(frameBytes64(f)) + 7, 0x5a);
            if (stripeRows > h) continue;
            if (stripeRows == 0) {
                ASSERT_EQ(jpeg::Decompressor().decompress(f, compress(f, picture, 0), out), KIV_OK);
            } else {
                ASSERT_EQ(jpeg::decompressStriped(f, stripes(f, picture, stripeRows), out), KIV_OK);
            }
            ASSERT_EQ(out.size(), frameBytes64(f));
            EXPECT_GE(testpic::psnr(f, picture.data(), out.data()), minPsnr);
            // Padding bytes are 0, the X bytes of 32-bit pixels 0xff.
            for (uint64_t i = 0, pitch = rowPitch(f), used = uint64_t(w) * bytesPerPixel(depth); i < out.size(); ++i)
                ASSERT_EQ(out[i], i % pitch >= used ? 0 : depth == KIV_DEPTH_32 && i % 4 == 3 ? 0xff : out[i]) << "byte " << i;
        }
    // Decoded to 16 bits, each 8-bit level becomes the nearest 5- or 6-bit one: JPEG noise must not bias it.
    for (unsigned v = 0; v < 256; ++v) {
        uint8_t grey[3] = {uint8_t(v), uint8_t(v), uint8_t(v)}, packed[4];
        jpeg::pack565({1, 1, KIV_DEPTH_16, 1}, grey, packed);
        jpeg::expand565({1, 1, KIV_DEPTH_16, 1}, packed, grey); // and back, where black and white stay exact
        const unsigned p = le::get16(packed);
        const auto twiceOff = [v](unsigned level, unsigned top) { return 2 * std::abs(int(level * 255) - int(v * top)); };
        for (const auto &[level, top] : {std::pair{p >> 11, 31u}, {p >> 5 & 63, 63u}, {p & 31, 31u}}) EXPECT_LE(twiceOff(level, top), 255) << v << " of " << top;
        if (v % 255 == 0) { EXPECT_EQ(std::ranges::count(grey, v), 3) << v; }
    }
}

// Whatever its caller: no empty or unknown format, quality only 1..100 (levels 100..0), stripes of 1..height rows; colour at
// full resolution from quality 90 (level 10) up, 4:2:0 below.
TEST(JpegCodec, TakesOnlyWhatItCanCodeAndKeepsColourAtHighLevels) {
    const kivStreamFormat f{16, 8, KIV_DEPTH_24, 1};
    const auto picture = testpic::linesPicture(f, 1);
    ByteBuffer out;
    for (const auto &[format, quality] : {std::pair{f, 0}, {f, 101}, {kivStreamFormat{0, 8, KIV_DEPTH_24, 1}, 50}, {kivStreamFormat{16, 0, KIV_DEPTH_24, 1}, 50}, {kivStreamFormat{16, 8, 7, 1}, 50}})
        EXPECT_EQ(std::pair(jpeg::Compressor().compress(format, picture.data(), quality, out), jpeg::compressStriped(format, picture.data(), quality, 1, out)),
                  std::pair(KIV_ERROR_INVALID_ARGUMENT, KIV_ERROR_INVALID_ARGUMENT)) << quality;
    for (const uint32_t rows : {0u, 9u})
        EXPECT_EQ(jpeg::compressStriped(f, picture.data(), 50, rows, out), KIV_ERROR_INVALID_ARGUMENT) << rows;
    for (const int level : {0, 10, 11, 100}) { // the first component's sampling factors, in the frame header
        const auto jpeg = compress(f, picture, level);
        const auto frameHeader = std::ranges::search(jpeg, std::array<uint8_t, 2>{0xff, 0xc0}).begin();
        ASSERT_GT(jpeg.end() - frameHeader, 11) << level;
        EXPECT_EQ(frameHeader[11], level <= 10 ? 0x11 : 0x22) << level;
    }
}

// A frame of at least 512x512 pixels' worth is coded in stripes of whole 16-row blocks, at most two a core so that no
// core waits on a crowd of small ones; a smaller frame, a single core or a single stripe makes one JPEG.
TEST(JpegCodec, StripesAreWholeBlocksAtMostTwoACore) {
    const struct { uint16_t width, height; unsigned cores; bool striped; } cases[] = {
        {512, 512, 4, true}, {512, 511, 4, false}, {1920, 1080, 1, false}, {1920, 1025, 4, true}, {1920, 1080, 2, true},
        {3840, 2160, 16, true}, {640, 480, 64, true}, {4096, 64, 4, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " on " << c.cores << " cores");
        const uint32_t rows = jpeg::stripeRowsFor({c.width, c.height, KIV_DEPTH_24, 1}, c.cores);
        EXPECT_EQ(rows != 0, c.striped) << rows;
        if (rows == 0) continue;
        EXPECT_EQ(rows % 16, 0u);
        EXPECT_LE((c.height + rows - 1) / rows, 2 * c.cores);
    }
}

WireHeader jpegHeader(const kivStreamFormat &f, uint32_t frame, size_t size) {
    return {.flags = kWireFlagJpeg, .format = f, .frameNumber = frame, .sessionId = 42, .payloadSize = uint32_t(size)};
}

TEST(JpegSink, BadJpegIsCountedAndNothingIsHandedOut) {
    const kivStreamFormat f{37, 21, KIV_DEPTH_24, 1}, grey{37, 21, KIV_DEPTH_8, 1};
    const auto picture = testpic::linesPicture(f, 5);
    const auto good = compress(f, picture, 0);
    auto flipped = good;
    for (size_t i = good.size() / 2; i < good.size() - 2; ++i) flipped[i] ^= 0x55;
    // A progressive JPEG, which TurboJPEG would decode, with a coefficient buffer the size of the picture.
    std::vector<uint8_t> progressive(tjBufSize(f.width, f.height, TJSAMP_444));
    unsigned char *dst = progressive.data();
    unsigned long progressiveSize = 0;
    const std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
    ASSERT_EQ(tjCompress2(tj.get(), picture.data(), f.width, int(rowPitch(f)), f.height, TJPF_RGB, &dst, &progressiveSize, TJSAMP_444, 90,
                          TJFLAG_PROGRESSIVE | TJFLAG_NOREALLOC), 0);
    progressive.resize(progressiveSize);
    // Stripes of 8 rows: 8, 8, 5. Each bad table or stripe must fail the whole frame.
    const std::vector<uint8_t> striped = stripes(f, picture, 8);
    EXPECT_EQ(std::pair(striped[20], striped[21]), (std::pair<uint8_t, uint8_t>(0xff, 0xd8))) << "rows, count, 3 sizes (docs/jpeg.md), a JPEG";
    auto stripedWith = [&](size_t at, uint32_t value, size_t cut = 0) {
        auto bytes = striped;
        if (at < bytes.size()) le::put32(bytes.data() + at, value);
        bytes.resize(bytes.size() - cut);
        return bytes;
    };
    // 16 rows in two stripes: the last rows would stay undecoded
    const std::vector<uint8_t> twoOfThree = stripes({37, 16, KIV_DEPTH_24, 1}, picture, 8);
    auto brokenStripe = striped;
    for (size_t i = striped.size() - 60; i < striped.size() - 2; ++i) brokenStripe[i] ^= 0x55; // the last one
    struct Case { kivStreamFormat format; std::vector<uint8_t> bytes; uint16_t flags = kWireFlagJpeg; };
    constexpr uint16_t kStriped = kWireFlagJpeg | kWireFlagStripes;
    const Case cases[] = {
        {f, std::vector<uint8_t>(good.begin(), good.begin() + 100)}, // cut in the header
        {f, std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() / 2))},
        {f, flipped},
        {{38, 21, KIV_DEPTH_24, 1}, good}, // wider than the JPEG
        {{37, 22, KIV_DEPTH_32, 1}, good}, // taller
        {grey, good},
        {f, compress(grey, testpic::linesPicture(grey, 5), 0)}, // grey into colour
        {f, progressive}, // which the library never sends
        {f, std::vector<uint8_t>(500, 0x11)},
        {f, good, kStriped},
        {f, striped}, // a stripe table is no JPEG
        {f, stripedWith(0, 0), kStriped}, // zero rows a stripe
        {f, stripedWith(0, 7), kStriped}, // still three stripes, of 7 rows: the JPEGs are 8 high
        {f, stripedWith(4, 4), kStriped}, // count that does not follow from the rows
        {f, stripedWith(8, 1u << 30), kStriped}, // a size past the end
        {f, stripedWith(8, 0), kStriped},
        {f, stripedWith(~size_t(0), 0, 1), kStriped}, // cut short
        {f, twoOfThree, kStriped},
        {f, brokenStripe, kStriped},
        {{37, 22, KIV_DEPTH_24, 1}, striped, kStriped},
    };
    testing::LoopbackReceiver *r = nullptr;
    auto d = testing::loopbackDecoder(r);
    uint64_t bad = 0;
    for (const auto &[format, bytes, flags] : cases) {
        WireHeader header = jpegHeader(format, 2, bytes.size());
        header.flags = flags;
        r->deliver(header, bytes);
        EXPECT_EQ(d->lock(0), nullptr);
        EXPECT_EQ(d->stats().framesMalformed, ++bad) << "case " << bad;
    }
    r->deliver(jpegHeader(f, 3, good.size() + 1), good); // shorter than its header says
    EXPECT_EQ(d->lock(0), nullptr);
    EXPECT_EQ(d->stats().framesMalformed, bad + 1);

    // Bad frames leave the decoder able to decode the next good one: another encoder's, with an empty and a 300-byte comment first.
    std::vector<uint8_t> commented{0xff, 0xd8, 0xff, 0xfe, 0x00, 0x02, 0xff, 0xfe, 0x01, 0x2c};
    commented.resize(commented.size() + 298, 'x'), commented.insert(commented.end(), good.begin() + 2, good.end());
    r->deliver(jpegHeader(f, 4, commented.size()), commented);
    const auto *frame = static_cast<const uint8_t *>(d->lock(10000));
    ASSERT_NE(frame, nullptr);
    EXPECT_GE(testpic::psnr(f, picture.data(), frame), 38.0);
    d->unlock();
}

// Raw, JPEG and striped frames in turn through a transport slower than the caller, which writes on its thread as memory
// does: frames stay in order, and one pushed out untaken leaves its buffers, not its mark for compression, to the next.
// Once every frame is sent or dropped, one TurboJPEG refuses (wider than 65500) is dropped, never sent with another's JPEG.
TEST(JpegPipeline, FramesStayInOrderAndOneTheCodecRefusesIsDroppedNotSentWithOldBytes) {
    const kivStreamFormat f{500, 480, KIV_DEPTH_32, 1}, wide{65535, 2, KIV_DEPTH_8, 1}; // f too small for stripes: coded apart
    const kivStreamFormat striped{640, 512, KIV_DEPTH_32, 1};
    testing::LoopbackReceiver *r = nullptr;
    auto decoder = testing::loopbackDecoder(r);
    decoder->setAdaptive(false);
    Encoder encoder(std::make_unique<testing::LoopbackSender>(*r, 20ms), f);
    ASSERT_EQ(encoder.setDestination("", 23020), KIV_OK);
    const auto picture = testpic::linesPicture(striped, 50);
    uint32_t lastSeen = 0, seen = 0;
    auto drain = [&](int timeoutMs) {
        for (; decoder->lock(timeoutMs); decoder->unlock(), timeoutMs = 0, ++seen) {
            kivFrameInfo info{};
            decoder->frameInfo(info);
            if (seen > 0) { EXPECT_GT(info.frameNumber, lastSeen); }
            EXPECT_EQ(info.flags, info.frameNumber % 3 ? KIV_FRAME_COMPRESSED : 0u) << info.frameNumber;
            EXPECT_EQ(info.imageBytes, kivGetByteSize(info.frameNumber % 3 == 2 ? &striped : &f)) << info.frameNumber;
            lastSeen = info.frameNumber;
        }
    };
    for (int i = 0; i <= 60; ++i) {
        ASSERT_EQ(encoder.setFormat(i % 3 == 2 ? striped : f, i % 3 != 0, 0), KIV_OK); // the last frame raw
        ASSERT_EQ(encoder.encode(picture.data()), KIV_OK);
        drain(0);
    }
    for (auto end = Clock::now() + 10s; lastSeen != 60 && Clock::now() < end;) drain(100);
    EXPECT_TRUE(nettest::waitUntil([&] { const kivEncoderStats s = encoder.stats(); return s.framesSent + s.framesDropped == s.framesEncoded; }));
    EXPECT_EQ(lastSeen, 60u);
    EXPECT_GT(seen, 1u);
    const kivEncoderStats before = encoder.stats();
    ASSERT_EQ(encoder.setFormat(wide, 1, 50), KIV_OK);
    ASSERT_EQ(encoder.encode(std::vector<uint8_t>(kivGetByteSize(&wide), 0x80).data()), KIV_OK);
    for (auto end = Clock::now() + 10s; encoder.stats().framesDropped == before.framesDropped && Clock::now() < end;) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(encoder.stats().framesDropped, before.framesDropped + 1);
    // An empty frame has nothing to compress: it goes raw, and is the next to arrive.
    ASSERT_EQ(encoder.setFormat({0, 2, KIV_DEPTH_8, 1}, 1, 50), KIV_OK);
    ASSERT_EQ(encoder.encode(nullptr), KIV_OK);
    EXPECT_EQ(encoder.stats().framesSent, before.framesSent + 1) << "once a refusal is counted, the caller's thread sends";
    kivFrameInfo info{};
    ASSERT_NE(decoder->lock(10000), nullptr);
    EXPECT_EQ(decoder->frameInfo(info), KIV_OK);
    EXPECT_EQ(info.frameNumber, 62u);
    decoder->unlock();
    // Noise, which JPEG makes bigger, in stripes: it goes raw, byte for byte, marked and counted.
    std::vector<uint8_t> noise(kivGetByteSize(&striped));
    std::generate(noise.begin(), noise.end(), std::mt19937(7));
    ASSERT_EQ(encoder.setFormat(striped, 1, 0), KIV_OK);
    ASSERT_EQ(encoder.encode(noise.data()), KIV_OK);
    const auto *raw = static_cast<const uint8_t *>(decoder->lock(10000));
    ASSERT_NE(raw, nullptr);
    EXPECT_TRUE(std::equal(noise.begin(), noise.end(), raw));
    EXPECT_EQ(decoder->frameInfo(info), KIV_OK);
    EXPECT_EQ(std::pair(info.flags, encoder.stats().framesSentRaw), std::pair(uint32_t(KIV_FRAME_SENT_RAW), uint64_t(1)));
    // Once that is counted as sent, the sending thread is done with it: a raw frame goes on the caller's thread.
    ASSERT_TRUE(nettest::waitUntil([&] { return encoder.stats().framesSent == before.framesSent + 2; }));
    ASSERT_EQ(encoder.setFormat(f, 0, 0), KIV_OK);
    ASSERT_EQ(encoder.encode(noise.data()), KIV_OK);
    EXPECT_EQ(encoder.stats().framesSent, before.framesSent + 3);
}

// Every route answers kivEncode alike: a frame the destination refuses is taken, then counted as dropped, and the link
// says why until a destination is set again; before one is set every route refuses the call.
TEST(JpegPipeline, EveryRouteReturnsAndCountsTheSameWhenTheTransportFails) {
    const kivStreamFormat small{320, 240, KIV_DEPTH_24, 1}, large{640, 512, KIV_DEPTH_24, 1};
    const auto picture = testpic::linesPicture(large, 20);
    struct Route { const char *name; kivStreamFormat format; int compress; };
    for (const Route &route : {Route{"raw", small, 0}, Route{"jpeg", small, 1}, Route{"striped", large, 1}}) {
        SCOPED_TRACE(route.name);
        testing::LoopbackReceiver receiver;
        Encoder encoder(std::make_unique<testing::LoopbackSender>(receiver, 0ms, KIV_ERROR_NO_MEMORY), route.format);
        ASSERT_EQ(encoder.setFormat(route.format, route.compress, 50), KIV_OK);
        EXPECT_EQ(encoder.encode(picture.data()), KIV_ERROR_STATE);
        ASSERT_EQ(encoder.setDestination("", 23021), KIV_OK);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(encoder.encode(picture.data()), KIV_OK);
        EXPECT_TRUE(nettest::waitUntil([&] { return encoder.stats().framesDropped == 2; }));
        EXPECT_EQ(encoder.stats().framesSent, 0u);
        EXPECT_EQ(encoder.link(), KIV_LINK_DOWN);
        EXPECT_EQ(lastError(), KIV_ERROR_NO_MEMORY);
        ASSERT_EQ(encoder.setDestination("", 23022), KIV_OK);
        EXPECT_EQ(encoder.link(), KIV_LINK_UP) << "a new destination is down before any frame failed on it";
    }
}

} // namespace
} // namespace kiv
