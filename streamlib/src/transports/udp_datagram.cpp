// SPDX-License-Identifier: MIT
#include "udp_datagram.hpp"

#include <algorithm>

#include "../util/little_endian.hpp"

namespace kiv::udp {
using namespace le;

void encodeDatagramHeader(const WireHeader &h, const FragmentFields &f,
                          std::span<uint8_t, kDatagramHeaderSize> out) {
    uint8_t *p = out.data();
    put32(p, kUdpMagic);
    p[4] = kUdpVersion;
    p[5] = kKindFragment;
    put16(p + 6, f.flags);
    put32(p + 8, f.index);
    put32(p + 12, f.count);
    put16(p + 16, f.chunk);
    p[18] = f.blockData;
    p[19] = f.parityPerBlock;
    put32(p + 20, f.checksum);
    encodeHeader(h, out.subspan<kFragmentFieldsSize, kWireHeaderSize>());
}

DatagramError parseDatagram(std::span<const uint8_t> datagram, ParsedDatagram &out) {
    if (datagram.size() < kDatagramHeaderSize) return DatagramError::Truncated;
    const uint8_t *p = datagram.data();
    if (get32(p) != kUdpMagic || p[4] != kUdpVersion || p[5] != kKindFragment) return DatagramError::NotFragment;
    if (decodeHeader(datagram.subspan(kFragmentFieldsSize), out.header) != WireError::None)
        return DatagramError::Header;
    FragmentFields &f = out.fragment;
    f.flags = get16(p + 6);
    f.index = get32(p + 8);
    f.count = get32(p + 12);
    f.chunk = get16(p + 16);
    f.blockData = p[18];
    f.parityPerBlock = p[19];
    f.checksum = get32(p + 20);
    if ((f.flags & ~(kFlagResent | kFlagRepairable | kFlagHeard)) != 0) return DatagramError::Reserved;
    if (f.parityPerBlock == 0 && f.blockData != 0) return DatagramError::Reserved;

    const uint64_t size = out.header.payloadSize;
    if (f.chunk == 0 || f.count == 0 || f.count > kMaxFragments || f.count != fragmentCount(size, f.chunk))
        return DatagramError::BadCount;
    if (!layoutFromWire(f.count, f.blockData, f.parityPerBlock, out.layout)) return DatagramError::BadLayout;
    out.data = datagram.subspan(kDatagramHeaderSize);
    if (f.index >= f.count) {
        // Parity: layoutFromWire bounds parityCount() by about the frame's own size.
        if (uint64_t(f.index) - f.count >= out.layout.parityCount()) return DatagramError::BadIndex;
        if (out.data.size() != f.chunk) return DatagramError::BadLength;
        return DatagramError::None;
    }
    // The count check keeps index * chunk below the payload size (at 0 for an empty frame).
    if (out.data.size() != std::min<uint64_t>(f.chunk, size - out.offset())) return DatagramError::BadLength;
    return DatagramError::None;
}

void FramePacker::pack(const WireHeader &header, std::span<const uint8_t> payload, size_t maxDatagram, int percent,
                       uint16_t flags) {
    const size_t chunk = chunkFor(maxDatagram);
    Protection made;
    made.layout = chooseLayout(uint32_t(fragmentCount(payload.size(), chunk)), percent);
    parity_.resize(size_t(made.layout.parityCount()) * chunk);
    made.checksum = coder_.encode(made.layout, chunk, payload, parity_);
    made.parity = parity_;
    pack(header, payload, maxDatagram, made, flags);
}

void FramePacker::pack(const WireHeader &header, std::span<const uint8_t> payload, size_t maxDatagram,
                       const Protection &made, uint16_t flags) {
    payload_ = payload;
    chunk_ = chunkFor(maxDatagram);
    layout_ = made.layout;
    parityView_ = made.parity.first(size_t(layout_.parityCount()) * chunk_);
    total_ = layout_.dataCount + size_t(layout_.parityCount());
    FragmentFields f;
    f.flags = flags;
    f.count = layout_.dataCount;
    f.chunk = uint16_t(chunk_);
    f.blockData = layout_.maxBlockData;
    f.parityPerBlock = layout_.parityPerBlock;
    f.checksum = made.checksum;
    headers_.resize(total_ * kDatagramHeaderSize);
    for (size_t i = 0; i < total_; ++i) {
        f.index = uint32_t(i);
        encodeDatagramHeader(header, f,
                             std::span<uint8_t, kDatagramHeaderSize>(headers_.data() + i * kDatagramHeaderSize,
                                                                     kDatagramHeaderSize));
    }
}

std::span<const uint8_t> FramePacker::body(size_t i) const {
    const size_t dataCount = layout_.dataCount;
    if (i >= dataCount) return parityView_.subspan((i - dataCount) * chunk_, chunk_);
    const size_t offset = std::min(i * chunk_, payload_.size());
    return payload_.subspan(offset, std::min(chunk_, payload_.size() - offset));
}

std::vector<uint8_t> FramePacker::datagram(size_t i) const {
    const auto h = header(i);
    const auto b = body(i);
    std::vector<uint8_t> out(h.size() + b.size());
    std::copy(h.begin(), h.end(), out.begin());
    std::copy(b.begin(), b.end(), out.begin() + std::ptrdiff_t(h.size()));
    return out;
}

} // namespace kiv::udp
