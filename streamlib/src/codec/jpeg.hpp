// SPDX-License-Identifier: MIT
// JPEG compression of frames in any of the library's depths.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kivVidStreamLib2.h"
#include "../util/byte_buffer.hpp"

namespace kiv::jpeg {

// JPEG quality for a "Compression Level" 0..100: 0 compresses least.
inline int qualityForLevel(int level) { return std::max(1, 100 - level); }

// RGB565 has no TurboJPEG pixel format: frames go through tightly packed RGB888
// (width * 3 bytes a row). expand565 then pack565 gives back every 565 value.
// `pixels` has the frame's padded rows; pack565 zeroes the padding.
void expand565(const kivStreamFormat &format, const uint8_t *pixels, uint8_t *rgb);
void pack565(const kivStreamFormat &format, const uint8_t *rgb, uint8_t *pixels);

// One compressor per thread; keeps its scratch buffers between frames.
class Compressor {
public:
    Compressor();
    ~Compressor();
    Compressor(const Compressor &) = delete;
    Compressor &operator=(const Compressor &) = delete;

    // Compresses kivGetByteSize(format) bytes at `pixels` into `out` (resized to
    // the JPEG's size; TurboJPEG writes there directly). Padding bytes are never read. Quality 1..100; grey frames
    // give a one-component JPEG, colour ones 4:4:4 at quality >= 90, else 4:2:0.
    // Returns KIV_OK or a negative code.
    int compress(const kivStreamFormat &format, const uint8_t *pixels, int quality, ByteBuffer &out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One decompressor per thread.
class Decompressor {
public:
    Decompressor();
    ~Decompressor();
    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;

    // Decodes `jpeg` into `out` (resized to kivGetByteSize(format)) in the
    // layout of `format`, padding zeroed, 32-bit X bytes 0xff. Fails when the
    // JPEG is corrupt, truncated, raises any libjpeg warning, or its header
    // disagrees with `format` (size; one component for 8-bit, three otherwise).
    // On failure `out` holds garbage: the caller must not hand it out.
    int decompress(const kivStreamFormat &format, std::span<const uint8_t> jpeg, std::vector<uint8_t> &out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Stripes: a large frame travels as horizontal stripes of the full width, each
// a standard JPEG, coded in parallel on WorkPool::shared(). Payload, little-endian:
//   u32 rows per stripe, u32 stripe count n, n x u32 JPEG sizes, the n JPEGs.
// Every stripe is `rows` high but the last, which takes what is left, so
// n = ceil(height / rows).
inline constexpr uint32_t kMaxStripes = 1024;

// Rows per stripe for a frame worth striping on `cores` cores; 0 when one plain
// JPEG is cheaper (small frames never touch the pool).
uint32_t stripeRowsFor(const kivStreamFormat &format, unsigned cores);

// Compresses like Compressor::compress, as stripes of `rows` rows (1..height).
// Thread-safe; each thread keeps its own TurboJPEG handles.
int compressStriped(const kivStreamFormat &format, const uint8_t *pixels, int quality, uint32_t rows,
                    ByteBuffer &out);

// Decodes a striped payload like Decompressor::decompress. The table must
// describe exactly the payload (count matching the rows, sizes adding up to
// the bytes after it), and every stripe must pass the checks of a plain JPEG
// at its own height; otherwise it fails and `out` holds garbage. Thread-safe.
int decompressStriped(const kivStreamFormat &format, std::span<const uint8_t> payload, std::vector<uint8_t> &out);

} // namespace kiv::jpeg
