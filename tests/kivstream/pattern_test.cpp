#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "pattern.hpp"

using namespace kivstream;

namespace {

struct Shape {
    uint16_t w, h, depth;
};

// Odd widths give pad bytes at the row ends; the 8-bit and 16-bit ones too.
const Shape kShapes[] = {
    {32, 8, KIV_DEPTH_8}, {33, 5, KIV_DEPTH_16}, {321, 17, KIV_DEPTH_24},
    {64, 64, KIV_DEPTH_32}, {320, 240, KIV_DEPTH_24}, {45, 30, KIV_DEPTH_8},
};

kivStreamFormat fmt(const Shape &s) { return {s.w, s.h, s.depth, 1}; }

std::vector<uint8_t> raw(CheckPattern &p, uint32_t n) {
    std::vector<uint8_t> f(p.geometry().bytes);
    p.fillRaw(n, f.data());
    return f;
}

std::vector<uint8_t> smooth(CheckPattern &p, uint32_t n) {
    std::vector<uint8_t> f(p.geometry().bytes);
    p.fillSmooth(n, f.data());
    return f;
}

} // namespace

TEST(CheckPatternRaw, EveryShapeRoundTripsAndEverySingleByteFaultIsCaught) {
    for (const Shape &s : kShapes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " depth code " << s.depth);
        CheckPattern p(fmt(s), 7);
        const FrameGeometry &g = p.geometry();
        const kivStreamFormat f = fmt(s);
        ASSERT_EQ(g.bytes, kivGetByteSize(&f));
        for (uint32_t n : {0u, 1u, 0x80000001u, 0xdeadbeefu}) {
            auto f = raw(p, n);
            const Verdict v = p.checkRaw(f.data());
            EXPECT_TRUE(v.ok);
            EXPECT_EQ(v.number, n);
        }
        // First cell, first byte under the band, a pad byte (if any), the middle, the last byte.
        std::vector<uint64_t> offsets{0, uint64_t(p.bandHeight()) * g.stride, g.bytes / 2, g.bytes - 1};
        if (g.stride > g.width * g.bytesPerPixel)
            offsets.push_back(uint64_t(p.bandHeight()) * g.stride + g.width * g.bytesPerPixel);
        for (uint64_t off : offsets) {
            if (off >= g.bytes) continue;
            auto f = raw(p, 42);
            f[off] ^= 0x01;
            const Verdict v = p.checkRaw(f.data());
            EXPECT_FALSE(v.ok) << "flipped byte " << off;
            if (v.numberRead) {
                EXPECT_EQ(uint64_t(v.firstBadByte), off);
            }
        }
    }
}

TEST(CheckPatternRaw, FramesMixedFromTwoPicturesOrWithMovedRowsFail) {
    CheckPattern p({320, 240, KIV_DEPTH_24, 1}, 7);
    const FrameGeometry &g = p.geometry();
    const auto a = raw(p, 100), b = raw(p, 101);

    // A reader that saw the new frame's top and the old frame's bottom.
    auto torn = b;
    std::memcpy(torn.data() + g.bytes / 2, a.data() + g.bytes / 2, g.bytes - g.bytes / 2);
    EXPECT_FALSE(p.checkRaw(torn.data()).ok);

    auto swapped = a;
    std::swap_ranges(swapped.begin() + 100 * g.stride, swapped.begin() + 101 * g.stride, swapped.begin() + 101 * g.stride);
    EXPECT_FALSE(p.checkRaw(swapped.data()).ok);

    // The pattern of another sender (another seed) is not ours.
    CheckPattern other({320, 240, KIV_DEPTH_24, 1}, 8);
    EXPECT_FALSE(p.checkRaw(raw(other, 100).data()).ok);

    // A picture shifted by one byte, as a wrong row pitch would give.
    auto shifted = a;
    std::memmove(shifted.data() + 1, shifted.data(), shifted.size() - 1);
    EXPECT_FALSE(p.checkRaw(shifted.data()).ok);
}

TEST(CheckPatternLossy, NumberSurvivesNoiseAndWrongPicturesFallBelowTheBound) {
    for (const Shape &s : kShapes) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " depth code " << s.depth);
        CheckPattern p(fmt(s), 3);
        const FrameGeometry &g = p.geometry();
        const uint32_t n = 0x5a5a1234u;
        auto f = smooth(p, n);
        Verdict v = p.checkLossy(f.data(), 30);
        EXPECT_TRUE(v.ok);
        EXPECT_EQ(v.number, n);

        // Deterministic noise of up to +-6 on every byte, as a good JPEG leaves it.
        auto noisy = f;
        uint32_t state = 12345;
        const auto jitter = [&](int v) {
            state = state * 1103515245u + 12345u;
            return std::clamp(v + int((state >> 16) % 13) - 6, 0, 255);
        };
        for (uint32_t y = 0; y < g.height; ++y)
            for (uint32_t x = 0; x < g.width; ++x) {
                uint8_t *px = noisy.data() + uint64_t(y) * g.stride + uint64_t(x) * g.bytesPerPixel;
                const Rgb c = readPixel(px, g.depth);
                const int grey = jitter(c.r);
                writePixel(px, g.depth, g.depth == KIV_DEPTH_8 ? Rgb{grey, grey, grey} : Rgb{grey, jitter(c.g), jitter(c.b)});
            }
        v = p.checkLossy(noisy.data(), minPsnrForLevel(50, s.depth));
        EXPECT_EQ(v.number, n);
        EXPECT_TRUE(v.ok) << "PSNR " << v.psnr;
        EXPECT_LT(v.psnr, 50);

        // The right number over another frame's picture.
        auto wrong = smooth(p, n + 1);
        std::memcpy(wrong.data(), f.data(), uint64_t(p.bandHeight()) * g.stride);
        v = p.checkLossy(wrong.data(), minPsnrForLevel(100, s.depth));
        EXPECT_EQ(v.number, n);
        EXPECT_FALSE(v.ok) << "PSNR " << v.psnr;
    }
}

TEST(Psnr, MatchesTheDefinitionAndIgnoresPadBytes) {
    const kivStreamFormat f{3, 1, KIV_DEPTH_24, 1}; // 9 pixel bytes + 3 pad bytes
    const FrameGeometry g = FrameGeometry::of(f);
    std::vector<uint8_t> a(g.bytes, 100), b(g.bytes, 100);
    b[9] = b[10] = b[11] = 0; // padding only
    EXPECT_TRUE(std::isinf(psnr(g, a.data(), b.data())));
    b[0] = 110; // one sample off by 10 out of 9: MSE = 100 / 9
    EXPECT_NEAR(psnr(g, a.data(), b.data()), 10 * std::log10(255.0 * 255.0 * 9 / 100), 1e-9);
}

namespace {
kivFrameInfo stamped(uint64_t session, uint32_t frame) {
    kivFrameInfo i{};
    i.sessionId = session;
    i.frameNumber = frame;
    return i;
}
} // namespace

TEST(FrameChecker, FollowsSessionsAndCatchesPixelsUnderTheWrongStamp) {
    const kivStreamFormat f{64, 16, KIV_DEPTH_24, 1};
    CheckPattern p(f, 9);
    FrameChecker c(9);
    // The sender's own count started 5 above the library's stamp: fine while it keeps in step.
    EXPECT_TRUE(c.check(raw(p, 5).data(), f, stamped(1, 0), 0).ok);
    EXPECT_TRUE(c.check(raw(p, 7).data(), f, stamped(1, 2), 0).ok);
    const auto wrong = c.check(raw(p, 9).data(), f, stamped(1, 3), 0);
    EXPECT_FALSE(wrong.ok);
    EXPECT_TRUE(wrong.problem.contains(QStringLiteral("picture 9"))) << wrong.problem.toStdString();

    // The same picture again is a repeat, not progress.
    EXPECT_TRUE(c.check(raw(p, 7).data(), f, stamped(1, 2), 0).outOfOrder);

    // A restarted sender is a new session that may start anywhere.
    const auto restarted = c.check(raw(p, 0).data(), f, stamped(2, 1000), 0);
    EXPECT_TRUE(restarted.ok);
    EXPECT_FALSE(restarted.outOfOrder);

    // A flipped byte is reported with its frame.
    auto bad = raw(p, 1);
    bad.back() ^= 0x80;
    const auto r = c.check(bad.data(), f, stamped(2, 1001), 0);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.problem.contains(QStringLiteral("1001"))) << r.problem.toStdString();

    // A format change mid-stream is followed, not reported.
    const kivStreamFormat g{40, 8, KIV_DEPTH_16, 1};
    CheckPattern q(g, 9);
    EXPECT_TRUE(c.check(raw(q, 2).data(), g, stamped(2, 1002), 0).ok);
}

TEST(TestPicture, RowsMatchTheLibraryLayoutAndLinesAreReproducible) {
    for (const Shape &s : {Shape{321, 7, KIV_DEPTH_16}, Shape{322, 9, KIV_DEPTH_24}, Shape{5, 5, KIV_DEPTH_32},
                           Shape{3, 4, KIV_DEPTH_8}, Shape{1, 1, KIV_DEPTH_24}}) {
        SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " depth code " << s.depth);
        const kivStreamFormat f = fmt(s);
        TestPicture a(f, 1), b(f, 1), c(f, 2);
        // kivEncode reads kivGetByteSize bytes from bits(): the image must hold exactly that.
        ASSERT_EQ(uint64_t(a.image().sizeInBytes()), kivGetByteSize(&f));
        ASSERT_EQ(uint64_t(a.image().bytesPerLine()) * s.h, kivGetByteSize(&f));
        const QByteArray grey(reinterpret_cast<const char *>(a.bits()), qsizetype(a.image().sizeInBytes()));
        for (int i = 0; i < 20; ++i) {
            a.drawLine();
            b.drawLine();
            c.drawLine();
        }
        EXPECT_EQ(a.image(), b.image());
        if (s.w > 4) {
            EXPECT_NE(a.image(), c.image());
            EXPECT_NE(QByteArray(reinterpret_cast<const char *>(a.bits()), grey.size()), grey);
        }
    }
}
