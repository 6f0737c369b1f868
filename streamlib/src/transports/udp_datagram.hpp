// One UDP datagram of a frame: the shared 48-byte frame header, then the
// fragment fields, then a slice of the frame's bytes.
//
// Fragment fields, little-endian, after the frame header:
//   48 index u32   52 count u32   56 byte offset u32   60 chunk u16   62 reserved u16
// Every fragment but the last carries exactly `chunk` bytes, so offset must be
// index * chunk; the receiver checks that instead of trusting the offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../wire.hpp"

namespace kiv::udp {

inline constexpr size_t kFragmentFieldsSize = 16;
inline constexpr size_t kDatagramHeaderSize = kWireHeaderSize + kFragmentFieldsSize; // 64
// 1500-byte MTU minus IPv4 and UDP headers: nothing gets IP-fragmented.
inline constexpr size_t kDefaultMaxDatagram = 1472;
inline constexpr size_t kMaxDatagram = 65507; // largest IPv4 UDP payload
inline constexpr size_t kMaxChunk = kMaxDatagram - kDatagramHeaderSize;
// Bounds the fragment bitmap of a frame: a 64 MiB frame needs chunks of >= 256 bytes.
inline constexpr uint32_t kMaxFragments = KIV_MAX_FRAME_BYTES / 256;

struct FragmentFields {
    uint32_t index = 0;
    uint32_t count = 0;
    uint32_t offset = 0;
    uint16_t chunk = 0;
};

// Fragments needed for `payloadSize` bytes in slices of `chunk` (an empty frame
// still takes one datagram).
inline uint64_t fragmentCount(uint64_t payloadSize, uint64_t chunk) {
    return payloadSize == 0 ? 1 : (payloadSize + chunk - 1) / chunk;
}

void encodeDatagramHeader(const WireHeader &h, const FragmentFields &f,
                          std::span<uint8_t, kDatagramHeaderSize> out);

enum class DatagramError {
    None,
    Header,       // the frame header itself failed validation
    Truncated,    // shorter than the datagram header
    Reserved,     // reserved bits set
    BadCount,     // count does not match payload size and chunk, or too many fragments
    BadIndex,     // index past the count
    BadOffset,    // offset not index * chunk, or past the end
    BadLength,    // data length differs from what this fragment must carry
};

struct ParsedDatagram {
    WireHeader header;
    FragmentFields fragment;
    std::span<const uint8_t> data;
};

// Validates everything that one datagram can show on its own.
DatagramError parseDatagram(std::span<const uint8_t> datagram, ParsedDatagram &out);

} // namespace kiv::udp
