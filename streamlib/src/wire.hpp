// SPDX-License-Identifier: MIT
// The frame header that every transport puts in front of a frame's bytes: on a
// TCP connection, in every UDP datagram and in every shared-memory slot.
//
// Layout, little-endian, 48 bytes:
//   0 magic u32 "KIVF"    4 version u16      6 header size u16
//   8 flags u16          10 orientation u16 12 width u16       14 height u16
//  16 depth u16          18 reserved u16    20 frame number u32
//  24 session id u64     32 send time us i64 40 payload size u32 44 reserved u32
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kivVidStreamLib2.h"

namespace kiv {

inline constexpr uint32_t kWireMagic = 0x4656494b; // "KIVF" in memory
inline constexpr uint16_t kWireVersion = 1;
inline constexpr size_t kWireHeaderSize = 48;
inline constexpr uint16_t kWireFlagJpeg = 0x1;
// With kWireFlagJpeg: the payload is a stripe table and one JPEG a stripe (codec/jpeg.hpp).
inline constexpr uint16_t kWireFlagStripes = 0x2;
// Without kWireFlagJpeg: the sender compresses, but this frame's JPEG was no
// smaller than the frame, so it travels raw.
inline constexpr uint16_t kWireFlagSentRaw = 0x4;

struct WireHeader {
    uint16_t flags = 0;
    kivStreamFormat format{};
    uint32_t frameNumber = 0;
    uint64_t sessionId = 0;
    int64_t sendTimeUs = 0;
    uint32_t payloadSize = 0;

    bool compressed() const { return (flags & kWireFlagJpeg) != 0; }
    bool striped() const { return (flags & kWireFlagStripes) != 0; }
};

enum class WireError {
    None,
    Truncated,     // fewer than kWireHeaderSize bytes
    BadMagic,
    BadVersion,
    BadHeaderSize,
    UnknownFlags,  // or a combination that means nothing
    UnknownDepth,
    FormatTooLarge, // the uncompressed frame would exceed the cap
    PayloadMismatch // raw payload differs from the format's size, or JPEG size out of range
};

void encodeHeader(const WireHeader &h, std::span<uint8_t, kWireHeaderSize> out);

// Parses and validates every field; nothing is allocated from an unchecked size.
WireError decodeHeader(std::span<const uint8_t> in, WireHeader &out);

// The checks of decodeHeader() that concern the frame's size and format alone.
WireError validateHeader(const WireHeader &h);

} // namespace kiv
