#include "udp_datagram.hpp"

#include <algorithm>

#include "../util/little_endian.hpp"

namespace kiv::udp {
using namespace le;

void encodeDatagramHeader(const WireHeader &h, const FragmentFields &f,
                          std::span<uint8_t, kDatagramHeaderSize> out) {
    const bool protectedFrame = f.parityPerBlock != 0;
    encodeHeader(h, out.first<kWireHeaderSize>(), protectedFrame ? kProtectedVersion : kWireVersion);
    if (protectedFrame) put32(out.data() + 44, f.checksum);
    uint8_t *p = out.data() + kWireHeaderSize;
    put32(p, f.index);
    put32(p + 4, f.count);
    put32(p + 8, f.offset);
    put16(p + 12, f.chunk);
    p[14] = f.blockData;
    p[15] = f.parityPerBlock;
}

DatagramError parseDatagram(std::span<const uint8_t> datagram, ParsedDatagram &out) {
    if (datagram.size() < kDatagramHeaderSize) return DatagramError::Truncated;
    const uint16_t version = get16(datagram.data() + 4);
    const bool protectedFrame = version == kProtectedVersion;
    if (decodeHeader(datagram, out.header, protectedFrame ? kProtectedVersion : kWireVersion) != WireError::None)
        return DatagramError::Header;
    const uint8_t *p = datagram.data() + kWireHeaderSize;
    FragmentFields &f = out.fragment;
    f.index = get32(p);
    f.count = get32(p + 4);
    f.offset = get32(p + 8);
    f.chunk = get16(p + 12);
    f.blockData = p[14];
    f.parityPerBlock = p[15];
    f.checksum = protectedFrame ? get32(datagram.data() + 44) : 0;
    if (!protectedFrame && (f.blockData | f.parityPerBlock) != 0) return DatagramError::Reserved;

    const uint64_t size = out.header.payloadSize;
    if (f.chunk == 0 || f.count == 0 || f.count > kMaxFragments || f.count != fragmentCount(size, f.chunk))
        return DatagramError::BadCount;
    if (!layoutFromWire(f.count, f.blockData, f.parityPerBlock, out.layout) ||
        out.layout.protectedFrame() != protectedFrame)
        return DatagramError::BadLayout;
    out.data = datagram.subspan(kDatagramHeaderSize);
    if (f.index >= f.count) {
        // Parity: layoutFromWire bounds parityCount() by about the frame's own size.
        const uint64_t parity = uint64_t(f.index) - f.count;
        if (parity >= out.layout.parityCount()) return DatagramError::BadIndex;
        if (f.offset != parity * f.chunk) return DatagramError::BadOffset;
        if (out.data.size() != f.chunk) return DatagramError::BadLength;
        return DatagramError::None;
    }
    // The count check keeps index * chunk below the payload size (at 0 for an empty frame).
    const uint64_t offset = uint64_t(f.index) * f.chunk;
    if (f.offset != offset) return DatagramError::BadOffset;
    if (out.data.size() != std::min<uint64_t>(f.chunk, size - offset)) return DatagramError::BadLength;
    return DatagramError::None;
}

void FramePacker::pack(const WireHeader &header, std::span<const uint8_t> payload, size_t maxDatagram, int percent) {
    payload_ = payload;
    chunk_ = maxDatagram - kDatagramHeaderSize;
    const uint32_t dataCount = uint32_t(fragmentCount(payload.size(), chunk_));
    layout_ = chooseLayout(dataCount, percent);
    parity_.resize(size_t(layout_.parityCount()) * chunk_);
    coder_.encode(layout_, chunk_, payload, parity_);
    total_ = dataCount + size_t(layout_.parityCount());
    FragmentFields f;
    f.count = dataCount;
    f.chunk = uint16_t(chunk_);
    f.blockData = layout_.maxBlockData;
    f.parityPerBlock = layout_.parityPerBlock;
    f.checksum = layout_.protectedFrame() ? frameChecksum(payload) : 0;
    headers_.resize(total_ * kDatagramHeaderSize);
    for (size_t i = 0; i < total_; ++i) {
        f.index = uint32_t(i);
        f.offset = uint32_t(i < dataCount ? i * chunk_ : (i - dataCount) * chunk_);
        encodeDatagramHeader(header, f,
                             std::span<uint8_t, kDatagramHeaderSize>(headers_.data() + i * kDatagramHeaderSize,
                                                                     kDatagramHeaderSize));
    }
}

std::span<const uint8_t> FramePacker::body(size_t i) const {
    const size_t dataCount = layout_.dataCount;
    if (i >= dataCount) return {parity_.data() + (i - dataCount) * chunk_, chunk_};
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
