// SPDX-License-Identifier: MIT
// What kivstream sends: the tester's picture of random lines, or a check
// pattern that a receiver can verify knowing only the frame's format.
//
// The check pattern carries its own frame number n in a band of 32 black or
// white cells at the top, one bit each (most significant first), which even a
// heavily compressed JPEG keeps readable. Below the band:
//  - raw frames: a seeded random base, each row XORed with a key derived from
//    (n, row), so any flipped byte, swapped row or half-old frame shows up;
//  - JPEG frames: smooth colour waves whose phase jumps with n, compared to the
//    expectation by PSNR.
#pragma once

#include <QImage>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

#include "kivVidStreamLib2.h"
#include "kivmodel.h"

namespace kivstream {

struct FrameGeometry {
    uint32_t width = 0, height = 0;
    uint16_t depth = 0;
    uint32_t bytesPerPixel = 0;
    uint32_t stride = 0; // row pitch, a multiple of 4
    uint64_t bytes = 0;

    static FrameGeometry of(const kivStreamFormat &f);
};

struct Rgb {
    int r, g, b;
};
void writePixel(uint8_t *p, uint16_t depth, Rgb c);
Rgb readPixel(const uint8_t *p, uint16_t depth);

// Peak signal-to-noise ratio in dB over the pixels (pad bytes left out), with
// every depth expanded to 8-bit channels. Infinity for identical pictures.
double psnr(const FrameGeometry &g, const uint8_t *expected, const uint8_t *actual);

// The lowest PSNR a correctly carried JPEG of the check pattern reaches at a
// compression level (0..100) and depth code, with a margin: below it the frame is wrong.
double minPsnrForLevel(int level, uint16_t depth);

struct Verdict {
    bool ok = false;
    bool numberRead = false;
    uint32_t number = 0;
    int64_t firstBadByte = -1; // raw: where the frame first differs
    double psnr = 0;           // JPEG
};

class CheckPattern {
public:
    // Needs a width of at least 32 (one cell per bit).
    CheckPattern(const kivStreamFormat &format, uint32_t seed);

    const FrameGeometry &geometry() const { return g_; }
    uint32_t bandHeight() const { return bandH_; }
    uint32_t cellWidth() const { return cellW_; }

    void fillRaw(uint32_t n, uint8_t *out) const;
    void fillSmooth(uint32_t n, uint8_t *out) const;

    // Raw frames: the cells must be exactly 0x00 or 0xff.
    std::optional<uint32_t> readNumberRaw(const uint8_t *frame) const;
    // Decoded JPEG: each cell's mean brightness against the middle.
    uint32_t readNumberLossy(const uint8_t *frame) const;

    // Uses a scratch buffer: one CheckPattern per checking thread.
    Verdict checkRaw(const uint8_t *frame);
    Verdict checkLossy(const uint8_t *frame, double minPsnr);

private:
    uint64_t rowKey(uint32_t n, uint32_t row) const;
    void fillBand(uint32_t n, uint8_t *out) const;

    FrameGeometry g_;
    uint32_t seed_;
    uint32_t cellW_ = 0, bandH_ = 0;
    std::vector<uint8_t> base_;
    std::vector<uint8_t> scratch_;
};

// The tester's picture.
using kivtester::TestPicture;

} // namespace kivstream

namespace kivstream {

// Checks received frames of the check pattern, raw or JPEG, and follows each
// sender session so that a frame stamped with the wrong number is caught too.
class FrameChecker {
public:
    explicit FrameChecker(uint32_t seed) : seed_(seed) {}

    struct Result {
        bool ok = false;
        bool outOfOrder = false; // number not above the previous one of its session
        uint32_t number = 0;     // the number the picture carries
        std::optional<double> psnr;
        QString problem;         // why !ok
    };

    // A frame that travelled as JPEG is compared by PSNR, against the bound for
    // `jpegLevel` (100, the loosest, when the sender's level is unknown).
    Result check(const uint8_t *frame, const kivStreamFormat &format, const kivFrameInfo &info, int jpegLevel);

private:
    uint32_t seed_;
    std::optional<CheckPattern> pattern_;
    kivStreamFormat patternFormat_{};
    bool haveSession_ = false;
    uint64_t session_ = 0;
    uint32_t offset_ = 0; // picture number minus the stamped frame number
    uint32_t last_ = 0;
};

} // namespace kivstream
