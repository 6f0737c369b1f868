#include "udp_datagram.hpp"

#include <algorithm>

#include "../util/little_endian.hpp"

namespace kiv::udp {
using namespace le;

void encodeDatagramHeader(const WireHeader &h, const FragmentFields &f,
                          std::span<uint8_t, kDatagramHeaderSize> out) {
    encodeHeader(h, out.first<kWireHeaderSize>());
    uint8_t *p = out.data() + kWireHeaderSize;
    put32(p + 0, f.index);
    put32(p + 4, f.count);
    put32(p + 8, f.offset);
    put16(p + 12, f.chunk);
    put16(p + 14, 0);
}

DatagramError parseDatagram(std::span<const uint8_t> datagram, ParsedDatagram &out) {
    if (datagram.size() < kDatagramHeaderSize) return DatagramError::Truncated;
    if (decodeHeader(datagram, out.header) != WireError::None) return DatagramError::Header;
    const uint8_t *p = datagram.data() + kWireHeaderSize;
    FragmentFields &f = out.fragment;
    f.index = get32(p + 0);
    f.count = get32(p + 4);
    f.offset = get32(p + 8);
    f.chunk = get16(p + 12);
    if (get16(p + 14) != 0) return DatagramError::Reserved;

    const uint64_t size = out.header.payloadSize;
    if (f.chunk == 0 || f.count == 0 || f.count > kMaxFragments || f.count != fragmentCount(size, f.chunk))
        return DatagramError::BadCount;
    if (f.index >= f.count) return DatagramError::BadIndex;
    const uint64_t offset = uint64_t(f.index) * f.chunk;
    if (f.offset != offset || (size > 0 && offset >= size)) return DatagramError::BadOffset;
    const uint64_t expected = size == 0 ? 0 : std::min<uint64_t>(f.chunk, size - offset);
    out.data = datagram.subspan(kDatagramHeaderSize);
    if (out.data.size() != expected) return DatagramError::BadLength;
    return DatagramError::None;
}

} // namespace kiv::udp
