// SPDX-License-Identifier: MIT
// Test pictures and error measures shared by the JPEG tests and benchmark.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "format.hpp"

namespace kiv::testpic {

struct Rgb { uint8_t r, g, b; };

// Little-endian: a 32-bit pixel is the word 0xffRRGGBB, a 24-bit one R, G, B bytes.
inline Rgb readPixel(const kivStreamFormat &f, const uint8_t *frame, uint32_t x, uint32_t y) {
    uint32_t v = 0;
    std::memcpy(&v, frame + y * rowPitch(f) + uint64_t(x) * bytesPerPixel(f.depth), bytesPerPixel(f.depth));
    switch (f.depth) {
    case KIV_DEPTH_8: return {uint8_t(v), uint8_t(v), uint8_t(v)};
    case KIV_DEPTH_24: return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
    case KIV_DEPTH_32: return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    }
    const unsigned r = v >> 11, g = (v >> 5) & 0x3f, b = v & 0x1f; // 565 to full scale
    return {uint8_t((r << 3) | (r >> 2)), uint8_t((g << 2) | (g >> 4)), uint8_t((b << 3) | (b >> 2))};
}

inline void writePixel(const kivStreamFormat &f, uint8_t *frame, uint32_t x, uint32_t y, Rgb c) {
    const uint32_t r = c.r, g = c.g, b = c.b;
    const uint32_t v = f.depth == KIV_DEPTH_8    ? (r * 77 + g * 150 + b * 29) >> 8
                       : f.depth == KIV_DEPTH_24 ? r | g << 8 | b << 16
                       : f.depth == KIV_DEPTH_32 ? 0xff000000u | r << 16 | g << 8 | b
                                                 : (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
    std::memcpy(frame + y * rowPitch(f) + uint64_t(x) * bytesPerPixel(f.depth), &v, bytesPerPixel(f.depth));
}

// Like the tester's picture: grey, then `lines` random coloured lines, 3 px wide, over a faint gradient so that every
// channel varies. Padding bytes get 0xa5 so that a codec reading them shows up.
inline std::vector<uint8_t> linesPicture(const kivStreamFormat &f, int lines, uint32_t seed = 1) {
    std::vector<uint8_t> frame(size_t(frameBytes64(f)), 0xa5);
    for (uint32_t y = 0; y < f.height; ++y)
        for (uint32_t x = 0; x < f.width; ++x)
            writePixel(f, frame.data(), x, y,
                       {uint8_t(150 + 20 * x / std::max<uint32_t>(1, f.width)), 160,
                        uint8_t(144 + 30 * y / std::max<uint32_t>(1, f.height))});
    std::mt19937 rng(seed);
    for (int i = 0; i < lines; ++i) {
        const double x0 = rng() % f.width, y0 = rng() % f.height, x1 = rng() % f.width, y1 = rng() % f.height;
        const Rgb c{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
        const int steps = int(std::max(std::abs(x1 - x0), std::abs(y1 - y0))) + 1;
        for (int s = 0; s <= steps; ++s) {
            const double t = double(s) / steps;
            const int cx = int(x0 + t * (x1 - x0)), cy = int(y0 + t * (y1 - y0));
            for (int k = 0, px, py; k < 9; ++k)
                if ((px = cx + k % 3 - 1) >= 0 && (py = cy + k / 3 - 1) >= 0 && px < f.width && py < f.height)
                    writePixel(f, frame.data(), px, py, c);
        }
    }
    return frame;
}

// PSNR in dB over the R, G, B values of the pixels (padding ignored).
inline double psnr(const kivStreamFormat &f, const uint8_t *a, const uint8_t *b) {
    double sum = 0;
    for (uint32_t y = 0; y < f.height; ++y)
        for (uint32_t x = 0; x < f.width; ++x) {
            const Rgb p = readPixel(f, a, x, y), q = readPixel(f, b, x, y);
            sum += (p.r - q.r) * (p.r - q.r) + (p.g - q.g) * (p.g - q.g) + (p.b - q.b) * (p.b - q.b);
        }
    const double mse = sum / (3.0 * f.width * f.height);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace kiv::testpic
