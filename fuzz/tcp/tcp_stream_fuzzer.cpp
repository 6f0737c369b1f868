// SPDX-License-Identifier: MIT
// Bytes as a peer could send them on a TCP connection, cut into reads of the
// sizes the input's first byte picks, through the stream parser.
#include <cstdint>
#include <cstdlib>

#include "transports/tcp_framing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t step = size_t(data[0] % 64) + 1; // segmentation is fuzzed too
    std::span<const uint8_t> stream(data + 1, size - 1);
    // Recycled buffers of any size, as a decoder hands them out.
    kiv::FrameParser parser([step] { return std::vector<uint8_t>(step * step * 97); });
    for (size_t offered = 0; !stream.empty();) {
        const size_t n = std::min(step + (offered % 3), stream.size());
        const size_t used = parser.feed(stream.first(n));
        if (used > n) std::abort();
        offered += used;
        stream = stream.subspan(used);
        if (parser.state() == kiv::FrameParser::State::Ready) {
            const kiv::WireHeader header = parser.header();
            if (kiv::validateHeader(header) != kiv::WireError::None || parser.takePayload().size() != header.payloadSize) std::abort();
        } else if (parser.state() == kiv::FrameParser::State::Failed) {
            if (parser.error() == kiv::WireError::None || !parser.writable().empty()) std::abort();
            return 0;
        } else if (parser.writable().size() > KIV_MAX_FRAME_BYTES || used == 0) {
            std::abort(); // asks past the cap, or no progress with bytes on offer
        }
    }
    return 0;
}
