// One UDP datagram of a frame: the shared 48-byte frame header, then the
// fragment fields, then a slice of the frame's bytes or of its parity.
//
// Fragment fields, little-endian, after the frame header:
//   48 index u32   52 count u32   56 byte offset u32   60 chunk u16
//   62 block data u8   63 parity per block u8
// `count` is the number of data fragments. Every data fragment but the last
// carries exactly `chunk` bytes, so offset must be index * chunk; the receiver
// checks that instead of trusting the offset.
//
// Header version 1: an unprotected frame; bytes 62-63 and the header's field
// at 44 are 0. Version 2: a protected frame (see udp_fec.hpp): parity fragments
// follow the data with indices count.., offset (index - count) * chunk and
// exactly `chunk` bytes each, and the header's field at 44 holds the CRC-32C of
// the frame's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../wire.hpp"
#include "udp_fec.hpp"

namespace kiv::udp {

inline constexpr size_t kFragmentFieldsSize = 16;
inline constexpr uint16_t kProtectedVersion = 2;
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
    uint8_t blockData = 0;       // FecLayout::maxBlockData, 0 when unprotected
    uint8_t parityPerBlock = 0;  // 0 when unprotected
    uint32_t checksum = 0;       // frame CRC-32C of a protected frame
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
    BadLayout,    // protection fields that do not describe a valid block layout
    BadCount,     // count does not match payload size and chunk, or too many fragments
    BadIndex,     // index past the count
    BadOffset,    // offset not index * chunk, or past the end
    BadLength,    // data length differs from what this fragment must carry
};

struct ParsedDatagram {
    WireHeader header;
    FragmentFields fragment;
    FecLayout layout;
    std::span<const uint8_t> data;
    bool parity() const { return fragment.index >= fragment.count; }
};

// Validates everything that one datagram can show on its own.
DatagramError parseDatagram(std::span<const uint8_t> datagram, ParsedDatagram &out);

// Cuts a frame into the datagrams that carry it: data fragments, then parity.
// Keeps its buffers from frame to frame.
class FramePacker {
public:
    // `percent` is the redundancy (0 = unprotected); `payload` must stay valid
    // while the datagrams are read.
    void pack(const WireHeader &header, std::span<const uint8_t> payload, size_t maxDatagram, int percent);

    size_t count() const { return total_; }
    const FecLayout &layout() const { return layout_; }
    std::span<const uint8_t, kDatagramHeaderSize> header(size_t i) const {
        return std::span<const uint8_t, kDatagramHeaderSize>(headers_.data() + i * kDatagramHeaderSize,
                                                             kDatagramHeaderSize);
    }
    // The bytes of datagram i after its header.
    std::span<const uint8_t> body(size_t i) const;
    // Datagram i in one piece, for tests and tools.
    std::vector<uint8_t> datagram(size_t i) const;

private:
    std::span<const uint8_t> payload_;
    size_t chunk_ = 0, total_ = 0;
    FecLayout layout_;
    std::vector<uint8_t> headers_, parity_;
    BlockCoder coder_;
};

} // namespace kiv::udp
