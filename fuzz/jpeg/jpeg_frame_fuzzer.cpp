// SPDX-License-Identifier: MIT
// A JPEG frame as a decoder receives it. Input: width, height, depth and orientation as little-endian u16 (the frame
// header's format), then the JPEG. Bit 15 of the orientation sends the payload as stripes (a stripe table, then one
// JPEG a stripe).
#include "format.hpp"
#include "loopback.hpp"

static uint16_t get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    const bool striped = get16(data + 6) & 0x8000;
    const kiv::WireHeader header{.flags = uint16_t(kiv::kWireFlagJpeg | (striped ? kiv::kWireFlagStripes : 0)),
                                 .format = {get16(data), get16(data + 2), get16(data + 4), uint16_t(get16(data + 6) & 0x7fff)},
                                 .payloadSize = uint32_t(size - 8)};
    // Keeps each run quick; the codec's own cap is the frame limit.
    if (kiv::frameBytes64(header.format) > 16u * 1024 * 1024) return 0;
    static kiv::testing::LoopbackReceiver *receiver = nullptr;
    static const std::unique_ptr<kiv::Decoder> decoder = kiv::testing::loopbackDecoder(receiver);
    receiver->deliver(header, std::vector<uint8_t>(data + 8, data + size));
    if (const auto *frame = static_cast<const uint8_t *>(decoder->lock(0))) {
        // A frame handed out must be whole: read every byte of it.
        volatile uint8_t sum = 0;
        for (uint64_t i = 0; i < kiv::frameBytes64(decoder->lastFormat()); ++i) sum = sum ^ frame[i];
        decoder->unlock();
    }
    return 0;
}
