// SPDX-License-Identifier: MIT
#include "wire.hpp"

#include "format.hpp"
#include "util/little_endian.hpp"

namespace kiv {
using namespace le;

void encodeHeader(const WireHeader &h, std::span<uint8_t, kWireHeaderSize> out) {
    uint8_t *p = out.data();
    put32(p, kWireMagic);
    put16(p + 4, kWireVersion);
    put16(p + 6, uint16_t(kWireHeaderSize));
    put16(p + 8, h.flags);
    put16(p + 10, h.format.orientation);
    put16(p + 12, h.format.width);
    put16(p + 14, h.format.height);
    put16(p + 16, h.format.depth);
    put16(p + 18, 0);
    put32(p + 20, h.frameNumber);
    put64(p + 24, h.sessionId);
    put64(p + 32, uint64_t(h.sendTimeUs));
    put32(p + 40, h.payloadSize);
    put32(p + 44, 0);
}

WireError validateHeader(const WireHeader &h) {
    if ((h.flags & ~(kWireFlagJpeg | kWireFlagStripes | kWireFlagSentRaw)) != 0) return WireError::UnknownFlags;
    if (h.compressed() ? (h.flags & kWireFlagSentRaw) != 0 : (h.flags & kWireFlagStripes) != 0)
        return WireError::UnknownFlags;
    if (!isKnownDepth(h.format.depth)) return WireError::UnknownDepth;
    const uint64_t image = frameBytes64(h.format);
    if (image > KIV_MAX_FRAME_BYTES) return WireError::FormatTooLarge;
    if (h.compressed()) {
        if (h.payloadSize == 0 || h.payloadSize > KIV_MAX_FRAME_BYTES || image == 0)
            return WireError::PayloadMismatch;
    } else if (h.payloadSize != image) {
        return WireError::PayloadMismatch;
    }
    return WireError::None;
}

WireError decodeHeader(std::span<const uint8_t> in, WireHeader &out) {
    if (in.size() < kWireHeaderSize) return WireError::Truncated;
    const uint8_t *p = in.data();
    if (get32(p) != kWireMagic) return WireError::BadMagic;
    if (get16(p + 4) != kWireVersion) return WireError::BadVersion;
    if (get16(p + 6) != kWireHeaderSize) return WireError::BadHeaderSize;
    WireHeader h;
    h.flags = get16(p + 8);
    h.format.orientation = get16(p + 10);
    h.format.width = get16(p + 12);
    h.format.height = get16(p + 14);
    h.format.depth = get16(p + 16);
    h.frameNumber = get32(p + 20);
    h.sessionId = get64(p + 24);
    h.sendTimeUs = int64_t(get64(p + 32));
    h.payloadSize = get32(p + 40);
    if (const WireError e = validateHeader(h); e != WireError::None) return e;
    out = h;
    return WireError::None;
}

} // namespace kiv
