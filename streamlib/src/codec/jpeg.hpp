// JPEG compression of frames in any of the library's depths.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kivVidStreamLib2.h"

namespace kiv::jpeg {

// Whether this build carries a JPEG codec.
bool available();

// JPEG quality for a "Compression Level" 0..100: 0 compresses least.
inline int qualityForLevel(int level) { return std::max(1, 100 - level); }

// One compressor per thread; keeps its scratch buffers between frames.
class Compressor {
public:
    Compressor();
    ~Compressor();
    Compressor(const Compressor &) = delete;
    Compressor &operator=(const Compressor &) = delete;

    // Compresses kivGetByteSize(format) bytes at `pixels` into `out` (resized to
    // the JPEG's size). Returns KIV_OK or a negative code.
    int compress(const kivStreamFormat &format, const uint8_t *pixels, int quality, std::vector<uint8_t> &out);

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
    // layout of `format`. Fails, leaving nothing to hand out, when the JPEG is
    // corrupt or its header disagrees with `format`.
    int decompress(const kivStreamFormat &format, std::span<const uint8_t> jpeg, std::vector<uint8_t> &out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv::jpeg
