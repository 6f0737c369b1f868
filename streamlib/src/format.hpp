// SPDX-License-Identifier: MIT
// Frame geometry shared by every part of the library.
#pragma once

#include <cstdint>

#include "kivVidStreamLib2.h"

namespace kiv {

inline bool isKnownDepth(uint16_t depth) { return depth <= KIV_DEPTH_8; }

// Bytes per pixel for a depth code, 0 for an unknown code.
inline uint32_t bytesPerPixel(uint16_t depth) {
    switch (depth) {
    case KIV_DEPTH_16: return 2;
    case KIV_DEPTH_24: return 3;
    case KIV_DEPTH_32: return 4;
    case KIV_DEPTH_8: return 1;
    default: return 0;
    }
}

// Row pitch in bytes: pixels rounded up to a multiple of 4. 64-bit so that no
// product wraps before it is checked against a cap.
inline uint64_t rowPitch(const kivStreamFormat &f) {
    return (uint64_t{f.width} * bytesPerPixel(f.depth) + 3u) & ~uint64_t{3};
}

// Frame size in bytes, 0 for an unknown depth.
inline uint64_t frameBytes64(const kivStreamFormat &f) { return rowPitch(f) * f.height; }

// A format the library can carry: known depth and not over the frame cap.
inline bool isSendableFormat(const kivStreamFormat &f) {
    return isKnownDepth(f.depth) && frameBytes64(f) <= KIV_MAX_FRAME_BYTES;
}

} // namespace kiv
