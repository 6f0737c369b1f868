// SPDX-License-Identifier: MIT
// One UDP datagram of a frame: the UDP fields, then the shared 48-byte frame
// header, then a slice of the frame's bytes or of its parity.
//
// UDP fields, little-endian (udp_control.hpp has the other kinds of message):
//    0 magic u32 "KIVU"   4 version u8 (3)   5 kind u8 (0: fragment)   6 flags u16
//    8 index u32         12 count u32       16 chunk u16
//   18 block data u8     19 parity per block u8                        20 checksum u32
// `count` is the number of data fragments. Every data fragment but the last
// carries exactly `chunk` bytes, at index * chunk in the frame. A protected
// frame (see udp_fec.hpp) has parity fragments after the data, with indices
// count.., exactly `chunk` bytes each; an unprotected one has 0 in the block
// fields. `checksum`, the CRC-32C of the frame's bytes, is checked before any
// frame is handed on: a forged or damaged fragment, or a rebuild from one,
// fails it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../wire.hpp"
#include "udp_fec.hpp"

namespace kiv::udp {

inline constexpr uint32_t kUdpMagic = 0x5556494b; // "KIVU" in memory
// Versions 1 and 2 were a frame header first; "KIVF" there tells them apart.
inline constexpr uint8_t kUdpVersion = 3;
inline constexpr uint8_t kKindFragment = 0;
inline constexpr size_t kFragmentFieldsSize = 24;
inline constexpr size_t kDatagramHeaderSize = kFragmentFieldsSize + kWireHeaderSize; // 72
// Fragment flags.
inline constexpr uint16_t kFlagResent = 0x1;     // sent again on a receiver's request
inline constexpr uint16_t kFlagRepairable = 0x2; // the sender answers repair requests
inline constexpr uint16_t kFlagHeard = 0x4;      // and a receiver's request or report reached it lately
// 1500-byte MTU minus IPv4 and UDP headers: nothing gets IP-fragmented.
inline constexpr size_t kDefaultMaxDatagram = 1472;
inline constexpr size_t kMaxDatagram = 65507; // largest IPv4 UDP payload
inline constexpr size_t kMaxChunk = kMaxDatagram - kDatagramHeaderSize;
// Bounds the fragment bitmap of a frame: a 64 MiB frame needs chunks of >= 256 bytes.
inline constexpr uint32_t kMaxFragments = KIV_MAX_FRAME_BYTES / 256;

struct FragmentFields {
    uint16_t flags = 0;
    uint32_t index = 0;
    uint32_t count = 0;
    uint16_t chunk = 0;
    uint8_t blockData = 0;       // FecLayout::maxBlockData, 0 when unprotected
    uint8_t parityPerBlock = 0;  // 0 when unprotected
    uint32_t checksum = 0;       // CRC-32C of the frame's bytes
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
    NotFragment,  // another kind of message, or another version
    Reserved,     // unknown flags, or protection fields on an unprotected frame
    BadLayout,    // protection fields that do not describe a valid block layout
    BadCount,     // count does not match payload size and chunk, or too many fragments
    BadIndex,     // index past the count
    BadLength,    // data length differs from what this fragment must carry
};

struct ParsedDatagram {
    WireHeader header;
    FragmentFields fragment;
    FecLayout layout;
    std::span<const uint8_t> data;
    bool parity() const { return fragment.index >= fragment.count; }
    // Where the fragment's bytes go: in the frame, or in the frame's parity.
    uint64_t offset() const { return uint64_t(parity() ? fragment.index - fragment.count : fragment.index) * fragment.chunk; }
};

// Validates everything that one datagram can show on its own.
DatagramError parseDatagram(std::span<const uint8_t> datagram, ParsedDatagram &out);

// A frame's protection: its block layout, its parity fragments one after the
// other, and the checksum of its bytes.
struct Protection {
    FecLayout layout;
    std::span<const uint8_t> parity;
    uint32_t checksum = 0;
};

// Chunk bytes per datagram of `maxDatagram` bytes.
inline size_t chunkFor(size_t maxDatagram) { return maxDatagram - kDatagramHeaderSize; }

// Cuts a frame into the datagrams that carry it: data fragments, then parity.
// Keeps its buffers from frame to frame.
class FramePacker {
public:
    // `percent` is the redundancy (0 = unprotected); `flags` go into every
    // fragment; `payload` must stay valid while the datagrams are read.
    void pack(const WireHeader &header, std::span<const uint8_t> payload, size_t maxDatagram, int percent,
              uint16_t flags = 0);
    // The same for a frame whose protection was made already (by
    // BlockCoder::encode for chunkFor(maxDatagram)); its parity must stay
    // valid while the datagrams are read.
    void pack(const WireHeader &header, std::span<const uint8_t> payload, size_t maxDatagram,
              const Protection &made, uint16_t flags);

    size_t count() const { return total_; }
    const FecLayout &layout() const { return layout_; }
    // Parity bytes of the frame, and how many of them the packer holds itself.
    uint64_t parityBytes() const { return parityView_.size(); }
    uint64_t parityBytesHeld() const { return parityView_.data() == parity_.data() ? parity_.size() : 0; }
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
    std::span<const uint8_t> parityView_; // parity_, or a frame's own
    BlockCoder coder_;
};

} // namespace kiv::udp
