// The TurboJPEG codec at every depth: layout, accuracy, size and hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <turbojpeg.h>

#include "codec/jpeg.hpp"
#include "picture.hpp"

namespace kiv {
namespace {

std::string name(const kivStreamFormat &f) {
    return std::to_string(f.width) + "x" + std::to_string(f.height) + " depth " + std::to_string(f.depth);
}

std::vector<uint8_t> compressOrDie(const kivStreamFormat &f, const std::vector<uint8_t> &pixels, int level) {
    jpeg::Compressor c;
    std::vector<uint8_t> out;
    EXPECT_EQ(c.compress(f, pixels.data(), jpeg::qualityForLevel(level), out), KIV_OK) << name(f);
    return out;
}

TEST(JpegCodec, RoundTripKeepsLayoutAndPictureAtEveryDepth) {
    // Odd widths give padded rows at 8, 16 and 24 bits; PSNR bounds are for
    // level 0, below which a shear, a channel swap or lost padding would fall.
    struct Case {
        uint16_t depth;
        double minPsnr;
    } const depths[] = {{KIV_DEPTH_8, 40}, {KIV_DEPTH_16, 36}, {KIV_DEPTH_24, 38}, {KIV_DEPTH_32, 38}};
    const std::pair<uint16_t, uint16_t> sizes[] = {{1, 1}, {3, 5}, {17, 9}, {321, 33}, {64, 64}};
    for (const Case &c : depths)
        for (auto [w, h] : sizes) {
            const kivStreamFormat f{w, h, c.depth, 1};
            const auto picture = testpic::linesPicture(f, 12);
            const auto jpegBytes = compressOrDie(f, picture, 0);
            jpeg::Decompressor d;
            // A reused, dirty buffer must not leak into the padding.
            std::vector<uint8_t> out(size_t(frameBytes64(f)) + 7, 0x5a);
            ASSERT_EQ(d.decompress(f, jpegBytes, out), KIV_OK) << name(f);
            ASSERT_EQ(out.size(), frameBytes64(f)) << name(f);
            EXPECT_GE(testpic::psnr(f, picture.data(), out.data()), c.minPsnr) << name(f);

            const uint64_t pitch = rowPitch(f), used = uint64_t(w) * bytesPerPixel(c.depth);
            for (uint32_t y = 0; y < h; ++y) {
                for (uint64_t i = used; i < pitch; ++i) ASSERT_EQ(out[y * pitch + i], 0) << name(f) << " padding";
                if (c.depth == KIV_DEPTH_32)
                    for (uint32_t x = 0; x < w; ++x) {
                        uint32_t v;
                        std::memcpy(&v, &out[y * pitch + 4 * x], 4);
                        ASSERT_EQ(v >> 24, 0xffu) << name(f) << " X byte at " << x << "," << y;
                    }
            }
        }
}

TEST(JpegCodec, Rgb565ExpandsAndPacksBackExactly) {
    // Every 565 value in one row of 65536 pixels, through the codec's own helpers.
    const kivStreamFormat f{65535, 1, KIV_DEPTH_16, 1};
    std::vector<uint8_t> frame(size_t(frameBytes64(f)));
    for (uint32_t i = 0; i < 65535; ++i) {
        const uint16_t v = uint16_t(i);
        std::memcpy(&frame[2 * i], &v, 2);
    }
    std::vector<uint8_t> rgb(size_t(f.width) * 3), back(frame.size(), 0xff);
    jpeg::expand565(f, frame.data(), rgb.data());
    // Full-scale values expand to 0 and 255, not 248 or 252.
    EXPECT_EQ(rgb[0], 0);
    EXPECT_EQ(rgb[3 * 65534 + 1], 255); // 0xfffe: green all ones
    jpeg::pack565(f, rgb.data(), back.data());
    EXPECT_EQ(std::memcmp(back.data(), frame.data(), 2 * 65535), 0);
    EXPECT_EQ(back[2 * 65535], 0); // padding
    EXPECT_EQ(back[2 * 65535 + 1], 0);
}

TEST(JpegCodec, SizeFallsAsTheLevelRises) {
    for (uint16_t depth : {KIV_DEPTH_8, KIV_DEPTH_16, KIV_DEPTH_24, KIV_DEPTH_32}) {
        const kivStreamFormat f{320, 240, depth, 1};
        const auto picture = testpic::linesPicture(f, 40);
        size_t previous = frameBytes64(f);
        for (int level : {0, 10, 30, 60, 90, 100}) {
            const size_t size = compressOrDie(f, picture, level).size();
            EXPECT_LT(size, previous) << name(f) << " level " << level;
            previous = size;
        }
    }
}

TEST(JpegCodec, RefusesJpegThatDisagreesWithTheFrameHeader) {
    const kivStreamFormat colour{16, 8, KIV_DEPTH_24, 1}, grey{16, 8, KIV_DEPTH_8, 1};
    const auto colourJpeg = compressOrDie(colour, testpic::linesPicture(colour, 3), 0);
    const auto greyJpeg = compressOrDie(grey, testpic::linesPicture(grey, 3), 0);
    struct Case {
        const char *what;
        const std::vector<uint8_t> *jpeg;
        kivStreamFormat format;
    } const cases[] = {
        {"swapped size", &colourJpeg, {8, 16, KIV_DEPTH_24, 1}},
        {"one row more", &colourJpeg, {16, 9, KIV_DEPTH_24, 1}},
        {"one column less", &colourJpeg, {15, 8, KIV_DEPTH_32, 1}},
        {"colour into grey", &colourJpeg, {16, 8, KIV_DEPTH_8, 1}},
        {"grey into 24-bit", &greyJpeg, {16, 8, KIV_DEPTH_24, 1}},
        {"grey into 16-bit", &greyJpeg, {16, 8, KIV_DEPTH_16, 1}},
        {"empty frame", &colourJpeg, {0, 8, KIV_DEPTH_24, 1}},
        {"unknown depth", &colourJpeg, {16, 8, 7, 1}},
    };
    jpeg::Decompressor d;
    for (const Case &c : cases) {
        std::vector<uint8_t> out;
        EXPECT_NE(d.decompress(c.format, *c.jpeg, out), KIV_OK) << c.what;
    }
    // The same decompressor still works afterwards.
    std::vector<uint8_t> out;
    EXPECT_EQ(d.decompress(colour, colourJpeg, out), KIV_OK);
}

TEST(JpegCodec, RefusesJpegKindsTheLibraryNeverSends) {
    // Progressive and arithmetic-coded JPEGs of the right size and colour space.
    const kivStreamFormat f{40, 24, KIV_DEPTH_24, 1};
    const auto picture = testpic::linesPicture(f, 4);
    for (int flag : {TJFLAG_PROGRESSIVE, 0}) {
        // A handle each: TurboJPEG 2.1 carries progressive state into the next call.
        tjhandle h = tjInitCompress();
        ASSERT_NE(h, nullptr);
        unsigned char *buf = nullptr;
        unsigned long size = 0;
        ASSERT_EQ(tjCompress2(h, picture.data(), f.width, int(rowPitch(f)), f.height, TJPF_RGB, &buf, &size,
                              TJSAMP_444, 95, flag),
                  0);
        const std::vector<uint8_t> bytes(buf, buf + size);
        tjFree(buf);
        tjDestroy(h);
        jpeg::Decompressor d;
        std::vector<uint8_t> out;
        if (flag == TJFLAG_PROGRESSIVE) {
            EXPECT_NE(d.decompress(f, bytes, out), KIV_OK) << "progressive";
        } else {
            // The same stream with its baseline frame marker turned into SOF10
            // (progressive, arithmetic).
            auto sof10 = bytes;
            bool patched = false;
            for (size_t i = 0; i + 1 < sof10.size() && !patched; ++i)
                if (sof10[i] == 0xff && sof10[i + 1] == 0xc0) sof10[i + 1] = 0xca, patched = true;
            ASSERT_TRUE(patched);
            EXPECT_EQ(d.decompress(f, bytes, out), KIV_OK) << "baseline from another encoder";
            EXPECT_NE(d.decompress(f, sof10, out), KIV_OK) << "arithmetic";
        }
    }
}

TEST(JpegCodec, TruncatedGarbledOrForeignBytesFailWithoutCrashing) {
    const kivStreamFormat f{48, 32, KIV_DEPTH_32, 1};
    const auto good = compressOrDie(f, testpic::linesPicture(f, 8), 20);
    jpeg::Decompressor d;
    std::vector<uint8_t> out;

    // Every truncation fails: a missing tail raises a warning that stops the decode.
    for (size_t len = 0; len < good.size(); len += (len < 700 ? 1 : 37)) {
        const std::span<const uint8_t> cut(good.data(), len);
        EXPECT_NE(d.decompress(f, cut, out), KIV_OK) << "cut at " << len << " of " << good.size();
    }
    const std::vector<uint8_t> zeros(600, 0), ffs(600, 0xff), soiOnly{0xff, 0xd8, 0xff, 0xd9};
    for (const auto *bytes : {&zeros, &ffs, &soiOnly}) EXPECT_NE(d.decompress(f, *bytes, out), KIV_OK);

    // A flipped bit in the entropy data may decode to a wrong picture (JPEG
    // carries no checksum) but must either fail or give a whole frame.
    size_t failed = 0, flips = 0;
    for (size_t pos = 2; pos < good.size(); pos += 3)
        for (int bit : {0, 5}) {
            auto bad = good;
            bad[pos] ^= uint8_t(1 << bit);
            ++flips;
            if (d.decompress(f, bad, out) != KIV_OK) ++failed;
            else ASSERT_EQ(out.size(), frameBytes64(f));
        }
    EXPECT_GT(failed, flips / 10) << "hardly any corruption was noticed";
    EXPECT_EQ(d.decompress(f, good, out), KIV_OK);
}

} // namespace
} // namespace kiv
