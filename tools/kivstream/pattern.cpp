// SPDX-License-Identifier: MIT
#include "pattern.hpp"


#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kivstream {
namespace {

uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint32_t pixelBytes(uint16_t depth) {
    switch (depth) {
    case KIV_DEPTH_16: return 2;
    case KIV_DEPTH_24: return 3;
    case KIV_DEPTH_32: return 4;
    case KIV_DEPTH_8: return 1;
    default: return 0;
    }
}

// One period of a triangle wave over 0..511, values 0..255: smooth, so JPEG
// keeps it well, and continuous where it wraps.
int triangle(int t) {
    t &= 511;
    return t < 256 ? t : 511 - t;
}

} // namespace

FrameGeometry FrameGeometry::of(const kivStreamFormat &f) {
    FrameGeometry g;
    g.width = f.width;
    g.height = f.height;
    g.depth = f.depth;
    g.bytesPerPixel = pixelBytes(f.depth);
    g.stride = kivGetRowPitch(f.width, f.depth);
    g.bytes = uint64_t(g.stride) * g.height;
    return g;
}

void writePixel(uint8_t *p, uint16_t depth, Rgb c) {
    switch (depth) {
    case KIV_DEPTH_16: {
        const uint16_t v = uint16_t(((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3));
        std::memcpy(p, &v, 2);
        break;
    }
    case KIV_DEPTH_24:
        p[0] = uint8_t(c.r);
        p[1] = uint8_t(c.g);
        p[2] = uint8_t(c.b);
        break;
    case KIV_DEPTH_32: {
        const uint32_t v = 0xff000000u | uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | uint32_t(c.b);
        std::memcpy(p, &v, 4);
        break;
    }
    case KIV_DEPTH_8: p[0] = uint8_t((c.r * 77 + c.g * 150 + c.b * 29) >> 8); break;
    default: break;
    }
}

Rgb readPixel(const uint8_t *p, uint16_t depth) {
    switch (depth) {
    case KIV_DEPTH_16: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        const int r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
        return {(r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)};
    }
    case KIV_DEPTH_24: return {p[0], p[1], p[2]};
    case KIV_DEPTH_32: {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return {int((v >> 16) & 0xff), int((v >> 8) & 0xff), int(v & 0xff)};
    }
    case KIV_DEPTH_8: return {p[0], p[0], p[0]};
    default: return {0, 0, 0};
    }
}

namespace {
// Sum of squared channel differences over one row, in 8-bit channel units.
uint64_t rowSquaredError(const FrameGeometry &g, const uint8_t *e, const uint8_t *a) {
    // 32-bit sums over chunks that cannot overflow (32768 * 255^2 < 2^32) let
    // the compiler vectorise.
    constexpr uint64_t kChunk{32768};
    uint64_t sum = 0;
    switch (g.depth) {
    case KIV_DEPTH_8:
    case KIV_DEPTH_24:
        // Every pixel byte is a channel.
        for (uint64_t i = 0, n = uint64_t(g.width) * g.bytesPerPixel; i < n;) {
            const uint64_t end = std::min<uint64_t>(n, i + kChunk);
            uint32_t chunk = 0;
            for (; i < end; ++i) {
                const int d = int(e[i]) - int(a[i]);
                chunk += uint32_t(d * d);
            }
            sum += chunk;
        }
        break;
    case KIV_DEPTH_32:
        for (uint32_t x = 0; x < g.width; ++x, e += 4, a += 4)
            for (int c = 0; c < 3; ++c) { // the fourth byte is padding of the 0xffRRGGBB word
                const int d = int(e[c]) - int(a[c]);
                sum += uint64_t(d * d);
            }
        break;
    case KIV_DEPTH_16:
        for (uint32_t x = 0; x < g.width; ++x, e += 2, a += 2) {
            const Rgb pe = readPixel(e, KIV_DEPTH_16), pa = readPixel(a, KIV_DEPTH_16);
            const int dr = pe.r - pa.r, dg = pe.g - pa.g, db = pe.b - pa.b;
            sum += uint64_t(dr * dr + dg * dg + db * db);
        }
        break;
    default: break;
    }
    return sum;
}
} // namespace

double psnr(const FrameGeometry &g, const uint8_t *expected, const uint8_t *actual) {
    const int channels = g.depth == KIV_DEPTH_8 ? 1 : 3;
    double sum = 0;
    for (uint32_t y = 0; y < g.height; ++y)
        sum += double(rowSquaredError(g, expected + uint64_t(y) * g.stride, actual + uint64_t(y) * g.stride));
    const double samples = double(g.width) * g.height * channels;
    if (sum == 0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(255.0 * 255.0 * samples / sum);
}

double minPsnrForLevel(int level, uint16_t depth) {
    // JPEG quality is max(1, 100 - level). A correct frame of the check pattern
    // stays above these bounds down to 32x32 pixels; a wrong or torn one falls
    // to 6-11 dB in colour, and up to 16 dB in grey, which has one channel to differ in.
    const int quality = std::max(1, 100 - level);
    const bool grey = depth == KIV_DEPTH_8;
    if (quality >= 75) return 30;
    if (quality >= 40) return 26;
    if (quality >= 15) return grey ? 22 : 20;
    return grey ? 18 : 14;
}

CheckPattern::CheckPattern(const kivStreamFormat &format, uint32_t seed)
    : g_(FrameGeometry::of(format)), seed_(seed) {
    cellW_ = std::min<uint32_t>(16, g_.width / 32);
    bandH_ = std::min<uint32_t>(g_.height, std::max<uint32_t>(1, std::min<uint32_t>(16, g_.height / 4)));
    base_.resize(g_.bytes);
    uint64_t s = mix64(uint64_t(seed) << 32 ^ uint64_t(format.width) << 16 ^ format.height ^ uint64_t(format.depth) << 48);
    size_t i = 0;
    for (; i + 8 <= base_.size(); i += 8) {
        const uint64_t v = mix64(s += 0x9e3779b97f4a7c15ULL);
        std::memcpy(base_.data() + i, &v, 8);
    }
    const uint64_t tail = mix64(s += 0x9e3779b97f4a7c15ULL);
    std::memcpy(base_.data() + i, &tail, base_.size() - i);
}

uint64_t CheckPattern::rowKey(uint32_t n, uint32_t row) const {
    return mix64((uint64_t(n) << 32 | row) ^ (uint64_t(seed_) * 0x9e3779b97f4a7c15ULL));
}

void CheckPattern::fillBand(uint32_t n, uint8_t *out) const {
    for (uint32_t y = 0; y != bandH_; ++y) { // one row more would run past a 1-row frame
        uint8_t *row = out + uint64_t(y) * g_.stride;
        std::memset(row, 0x80, g_.stride);
        for (uint32_t bit = 0; bit < 32; ++bit) {
            const uint8_t v = (n >> (31 - bit)) & 1u ? 0xff : 0x00;
            std::memset(row + uint64_t(bit) * cellW_ * g_.bytesPerPixel, v, uint64_t(cellW_) * g_.bytesPerPixel);
        }
    }
}

void CheckPattern::fillRaw(uint32_t n, uint8_t *out) const {
    fillBand(n, out);
    for (uint32_t y = bandH_; y < g_.height; ++y) {
        const uint64_t off = uint64_t(y) * g_.stride;
        const uint8_t *b = base_.data() + off;
        uint8_t *o = out + off;
        const uint64_t key = rowKey(n, y);
        uint32_t i = 0;
        for (; i + 8 <= g_.stride; i += 8) {
            uint64_t w;
            std::memcpy(&w, b + i, 8);
            w ^= key;
            std::memcpy(o + i, &w, 8);
        }
        for (; i < g_.stride; ++i) o[i] = uint8_t(b[i] ^ (key >> (8 * (i & 7))));
    }
}

void CheckPattern::fillSmooth(uint32_t n, uint8_t *out) const {
    fillBand(n, out);
    // A pixel depends only on t = x-term + y-term + phase (mod 512): make the
    // 512 possible pixels once, then every row is table look-ups.
    const uint32_t bpp = g_.bytesPerPixel;
    std::vector<uint8_t> lut(512 * size_t(bpp));
    for (int t = 0; t < 512; ++t)
        writePixel(lut.data() + size_t(t) * bpp, g_.depth, {triangle(t), triangle(t + 171), triangle(t + 342)});
    std::vector<uint32_t> xs(g_.width);
    for (uint32_t x = 0; x < g_.width; ++x) xs[x] = uint32_t(uint64_t(x) * 512 / g_.width);
    const uint32_t phase = uint32_t((uint64_t(n) * 97) & 511);
    const uint64_t pixelBytes = uint64_t(g_.width) * bpp;
    for (uint32_t y = bandH_; y < g_.height; ++y) {
        uint8_t *row = out + uint64_t(y) * g_.stride;
        const uint32_t ty = uint32_t(uint64_t(y) * 256 / g_.height) + phase;
        uint8_t *p = row;
        switch (bpp) {
        case 1:
            for (uint32_t x = 0; x < g_.width; ++x) *p++ = lut[(xs[x] + ty) & 511];
            break;
        case 2:
            for (uint32_t x = 0; x < g_.width; ++x, p += 2) std::memcpy(p, &lut[((xs[x] + ty) & 511) * 2], 2);
            break;
        case 3:
            for (uint32_t x = 0; x < g_.width; ++x, p += 3) std::memcpy(p, &lut[((xs[x] + ty) & 511) * 3], 3);
            break;
        default:
            for (uint32_t x = 0; x < g_.width; ++x, p += 4) std::memcpy(p, &lut[((xs[x] + ty) & 511) * 4], 4);
            break;
        }
        std::memset(row + pixelBytes, 0, g_.stride - pixelBytes);
    }
}

std::optional<uint32_t> CheckPattern::readNumberRaw(const uint8_t *frame) const {
    if (bandH_ == 0) return std::nullopt;
    uint32_t n = 0;
    for (uint32_t bit = 0; bit < 32; ++bit) {
        const uint8_t v = frame[uint64_t(bit) * cellW_ * g_.bytesPerPixel];
        if (v != 0x00 && v != 0xff) return std::nullopt;
        if (v == 0xff) n |= 0x80000000u >> bit; // the first cell holds the top bit
    }
    return n;
}

uint32_t CheckPattern::readNumberLossy(const uint8_t *frame) const {
    // Stay clear of the cell edges, where compression smears neighbours in.
    const uint32_t mx = cellW_ / 4, my = bandH_ / 4;
    uint32_t n = 0;
    for (uint32_t bit = 0; bit < 32; ++bit) {
        uint64_t sum = 0, count = 0;
        for (uint32_t y = my; y < bandH_ - my; ++y)
            for (uint32_t x = bit * cellW_ + mx; x < (bit + 1) * cellW_ - mx; ++x) {
                const Rgb c = readPixel(frame + uint64_t(y) * g_.stride + uint64_t(x) * g_.bytesPerPixel, g_.depth);
                sum += uint64_t(c.r + c.g + c.b);
                ++count;
            }
        if (count && sum >= count * 3 * 128) n |= 0x80000000u >> bit;
    }
    return n;
}

Verdict CheckPattern::checkRaw(const uint8_t *frame) {
    Verdict v;
    const auto n = readNumberRaw(frame);
    if (!n) {
        v.firstBadByte = 0;
        return v;
    }
    v.numberRead = true;
    v.number = *n;
    scratch_.resize(g_.bytes);
    fillRaw(*n, scratch_.data());
    if (std::memcmp(scratch_.data(), frame, g_.bytes) == 0) {
        v.ok = true;
        return v;
    }
    const auto bad = std::mismatch(scratch_.begin(), scratch_.end(), frame);
    v.firstBadByte = bad.first - scratch_.begin();
    return v;
}

Verdict CheckPattern::checkLossy(const uint8_t *frame, double minPsnr) {
    Verdict v;
    v.number = readNumberLossy(frame);
    v.numberRead = true;
    scratch_.resize(g_.bytes);
    fillSmooth(v.number, scratch_.data());
    v.psnr = psnr(g_, scratch_.data(), frame);
    v.ok = v.psnr >= minPsnr;
    return v;
}

} // namespace kivstream

namespace kivstream {

FrameChecker::Result FrameChecker::check(const uint8_t *frame, const kivStreamFormat &format, const kivFrameInfo &info,
                                         int jpegLevel) {
    Result r;
    if (format.width < 32) {
        r.problem = QStringLiteral("frame %1 is %2 pixels wide, too narrow for the check pattern")
                        .arg(info.frameNumber).arg(format.width);
        return r;
    }
    if (!pattern_ || std::memcmp(&patternFormat_, &format, sizeof format) != 0) {
        pattern_.emplace(format, seed_);
        patternFormat_ = format;
    }
    const bool compressed = (info.flags & KIV_FRAME_COMPRESSED) != 0;
    const double minPsnr = minPsnrForLevel(jpegLevel, format.depth);
    const Verdict v = compressed ? pattern_->checkLossy(frame, minPsnr) : pattern_->checkRaw(frame);
    r.number = v.number;
    if (compressed) r.psnr = v.psnr;
    if (!v.numberRead) {
        r.problem = QStringLiteral("frame %1 carries no readable frame number").arg(info.frameNumber);
        return r;
    }
    if (!v.ok) {
        r.problem = compressed ? QStringLiteral("frame %1: PSNR %2 dB is below %3 dB")
                                     .arg(info.frameNumber).arg(v.psnr, 0, 'f', 1).arg(minPsnr, 0, 'f', 1)
                               : QStringLiteral("frame %1: byte %2 differs").arg(info.frameNumber).arg(v.firstBadByte);
        return r;
    }
    // The picture's own number and the library's stamp must move in step within
    // a session: a mismatch means the header and the pixels belong to different frames.
    const uint32_t offset = v.number - info.frameNumber;
    if (!haveSession_ || info.sessionId != session_) {
        haveSession_ = true;
        session_ = info.sessionId;
        offset_ = offset;
    } else {
        if (offset != offset_) {
            r.problem = QStringLiteral("frame stamped %1 carries picture %2, expected picture %3")
                            .arg(info.frameNumber).arg(v.number).arg(info.frameNumber + offset_);
            return r;
        }
        r.outOfOrder = int32_t(v.number - last_) <= 0;
    }
    last_ = v.number;
    r.ok = true;
    return r;
}

} // namespace kivstream
