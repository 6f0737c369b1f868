// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "common.hpp"
#include "pattern.hpp"

using namespace kivstream;

namespace {

std::vector<uint8_t> frame(CheckPattern &p, uint32_t n, bool smooth = false) {
    std::vector<uint8_t> f(p.geometry().bytes + 8, 0xa5); // a guard: filling stays inside the frame
    smooth ? p.fillSmooth(n, f.data()) : p.fillRaw(n, f.data());
    EXPECT_EQ(std::count(f.end() - 8, f.end(), 0xa5), 8) << "wrote past the frame";
    f.resize(p.geometry().bytes);
    return f;
}

} // namespace

TEST(CheckPattern, EveryShapeReadsBackAndEveryFaultIsCaught) {
    // Odd widths give pad bytes at the row ends; the 8-bit and 16-bit ones too.
    const kivStreamFormat formats[] = {{32, 8, KIV_DEPTH_8, 1},    {33, 5, KIV_DEPTH_16, 1},    {321, 17, KIV_DEPTH_24, 1},
                                       {64, 64, KIV_DEPTH_32, 1}, {320, 240, KIV_DEPTH_24, 1}, {45, 30, KIV_DEPTH_8, 1}};
    uint64_t digest = 14695981039346656037ull; // FNV-1a over one raw and one smooth frame of each shape
    for (const kivStreamFormat &f : formats) {
        SCOPED_TRACE(testing::Message() << f.width << "x" << f.height << " depth code " << f.depth);
        CheckPattern p(f, 7), other(f, 8);
        for (const auto &bytes : {frame(p, 3), frame(p, 3, true)}) for (uint8_t b : bytes) digest = (digest ^ b) * 1099511628211ull;
        const FrameGeometry &g = p.geometry();
        ASSERT_EQ(g.bytes, kivGetByteSize(&f));
        uint8_t pixel[4]; // a colour each depth keeps exactly, grey as its luma
        writePixel(pixel, f.depth, {247, 130, 123});
        const Rgb c = readPixel(pixel, f.depth);
        EXPECT_EQ(std::tuple(c.r, c.g, c.b), f.depth == KIV_DEPTH_8 ? std::tuple(164, 164, 164) : std::tuple(247, 130, 123));
        for (uint32_t n : {0u, 1u, 0x80000001u, 0xdeadbeefu})
            EXPECT_EQ(std::pair(p.checkRaw(frame(p, n).data()).ok, p.checkRaw(frame(p, n).data()).number), std::pair(true, n));
        // First cell, first byte under the band, the first pad byte (if any), the middle, the last byte.
        const uint64_t band = uint64_t(p.bandHeight()) * g.stride;
        for (uint64_t off : {uint64_t(0), band, band + g.width * g.bytesPerPixel, g.bytes / 2, g.bytes - 1}) {
            auto bad = frame(p, 42);
            bad[off] ^= 0x01;
            const Verdict v = p.checkRaw(bad.data());
            SCOPED_TRACE(testing::Message() << "byte " << off << " flipped");
            EXPECT_FALSE(v.ok);
            if (v.numberRead) { EXPECT_EQ(uint64_t(v.firstBadByte), off); }
            else EXPECT_LE(uint64_t(v.firstBadByte), off);
        }
        // A reader that saw the new frame's top and the old frame's bottom; two rows swapped; a picture
        // shifted by one byte, as a wrong row pitch would give; another sender's (seed's) pattern.
        const auto a = frame(p, 100);
        auto torn = frame(p, 101), swapped = a, shifted = a;
        std::memcpy(torn.data() + g.bytes / 2, a.data() + g.bytes / 2, g.bytes - g.bytes / 2);
        std::swap_ranges(swapped.end() - 2 * g.stride, swapped.end() - g.stride, swapped.end() - g.stride);
        std::memmove(shifted.data() + 1, shifted.data(), shifted.size() - 1);
        for (const auto &bad : {torn, swapped, shifted, frame(other, 100)}) EXPECT_FALSE(p.checkRaw(bad.data()).ok);

        if (32 * p.cellWidth() < g.width) { EXPECT_EQ(frame(p, ~0u)[32 * p.cellWidth() * g.bytesPerPixel], 0x80) << "grey past the cells"; }

        // JPEG: the number reads back, top bit too; over another frame's picture it fails even the loosest bound.
        const auto smooth = frame(p, 0xda5a1234u, true);
        Verdict v = p.checkLossy(smooth.data(), 30);
        EXPECT_EQ(std::pair(v.ok, v.number), std::pair(true, 0xda5a1234u)) << "PSNR " << v.psnr;
        // Cells a hair either side of mid-grey still read as 1 and 0 (RGB565 would repack the bytes).
        auto faint = smooth;
        std::replace(faint.begin(), faint.begin() + long(band), uint8_t(0xff), uint8_t(0x80)), std::replace(faint.begin(), faint.begin() + long(band), uint8_t(0), uint8_t(0x7f));
        if (f.depth != KIV_DEPTH_16) { EXPECT_EQ(p.checkLossy(faint.data(), 0).number, 0xda5a1234u); }
        auto wrong = frame(p, 0xda5a1235u, true);
        std::memcpy(wrong.data(), smooth.data(), band);
        v = p.checkLossy(wrong.data(), minPsnrForLevel(100, f.depth));
        EXPECT_EQ(std::pair(v.ok, v.number), std::pair(false, 0xda5a1234u)) << "PSNR " << v.psnr;
        // PSNR reads pixels only: not the pad bytes, the 32-bit word's top byte, or past the frame.
        auto e = smooth, a2 = smooth;
        e.push_back(0), a2.push_back(0xff);
        for (uint64_t i = 0; i < g.bytes; ++i)
            if (i % g.stride >= g.width * g.bytesPerPixel || (f.depth == KIV_DEPTH_32 && i % 4 == 3)) a2[i] ^= 0x5a;
        EXPECT_EQ(psnr(g, e.data(), a2.data()), std::numeric_limits<double>::infinity());
        // The waves are continuous: no channel steps by more than 2 between neighbours (a value past 255 would wrap to 0).
        int step = 0;
        for (uint64_t i = band; g.width >= 256 && i + g.bytesPerPixel < g.bytes; ++i)
            if (i % g.stride + g.bytesPerPixel < g.width * g.bytesPerPixel) step = std::max(step, std::abs(smooth[i + g.bytesPerPixel] - smooth[i]));
        EXPECT_LE(step, 2);
    }
    EXPECT_EQ(digest, 0x45d26413a4768cddull) << std::hex << digest << ": builds of kivstream on two machines would disagree";
}

// The sender's count starts 5 above the library's stamp: fine while in step. The same picture again is a
// repeat; a restarted sender (new session) may start anywhere; a flipped byte is reported; a format change followed.
TEST(FrameChecker, FollowsSessionsAndCatchesPixelsUnderTheWrongStamp) {
    const kivStreamFormat f{64, 16, KIV_DEPTH_24, 1}, g{40, 8, KIV_DEPTH_16, 1};
    CheckPattern p(f, 9), q(g, 9);
    auto flipped = frame(p, 1);
    flipped.back() ^= 0x80;
    const std::tuple<const kivStreamFormat *, std::vector<uint8_t>, uint64_t, uint32_t, QString> steps[] = {
        {&f, frame(p, 5), 1, 0, "ok"},          {&f, frame(p, 7), 1, 2, "ok"},       {&f, frame(p, 9), 1, 3, "picture 9"},
        {&f, frame(p, 7), 1, 2, "out of order"}, {&f, frame(p, 0), 2, 1000, "ok"},    {&f, flipped, 2, 1001, "frame 1001"},
        {&g, frame(q, 2), 2, 1002, "ok"}};
    FrameChecker c(9);
    for (const auto &[format, pixels, session, stamp, says] : steps) {
        const auto r = c.check(pixels.data(), *format, kivFrameInfo{session, stamp, 0, 0, 0, 0, 0}, 0);
        const QString got = r.ok ? QString(r.outOfOrder ? "out of order" : "ok") : r.problem;
        SCOPED_TRACE(testing::Message() << "stamp " << stamp << ": " << got.toStdString());
        EXPECT_EQ(r.ok, says == "ok" || says == "out of order");
        if (r.ok) { EXPECT_EQ(got.toStdString(), says.toStdString()); }
        else EXPECT_TRUE(got.contains(says)) << "should name " << says.toStdString();
    }
}

TEST(TestPicture, HoldsExactlyTheLibrarysFrameAndDrawsOnIt) {
    const kivStreamFormat formats[] = {{321, 7, KIV_DEPTH_16, 1}, {322, 9, KIV_DEPTH_24, 1}, {5, 5, KIV_DEPTH_32, 1},
                                       {3, 4, KIV_DEPTH_8, 1},    {1, 1, KIV_DEPTH_24, 1}};
    for (const kivStreamFormat &f : formats) {
        SCOPED_TRACE(testing::Message() << f.width << "x" << f.height << " depth code " << f.depth);
        const TestPicture blank(f, 1);
        // kivEncode reads kivGetByteSize bytes from bits(): the image must hold exactly that.
        ASSERT_EQ(uint64_t(blank.image().sizeInBytes()), kivGetByteSize(&f));
        Options o; // what `send` sends: that picture, with a line more in each frame
        o.format = f;
        FrameSource sent(o);
        const uint8_t *p = nullptr;
        for (uint32_t n = 0; n < 20; ++n) p = sent.frame(n);
        if (f.width > 4) { EXPECT_FALSE(std::equal(blank.bits(), blank.bits() + kivGetByteSize(&f), p)) << "no line drawn"; }
    }
}
