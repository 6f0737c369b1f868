// A JPEG frame as a decoder receives it. Input: width, height, depth and
// orientation as little-endian u16 (the frame header's format), then the JPEG.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "decoder.hpp"
#include "format.hpp"

namespace {

class Inert final : public kiv::ReceiverTransport {
public:
    int start(int) override { return KIV_OK; }
};

uint16_t get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    kiv::WireHeader header;
    header.flags = kiv::kWireFlagJpeg;
    header.format = {get16(data), get16(data + 2), get16(data + 4), get16(data + 6)};
    header.payloadSize = uint32_t(size - 8);
    // Keeps each run quick; the codec's own cap is the frame limit.
    if (kiv::frameBytes64(header.format) > 16u * 1024 * 1024) return 0;

    static kiv::Decoder decoder([](kiv::FrameSink &) { return std::make_unique<Inert>(); });
    static const bool started = decoder.setSource(1) == KIV_OK;
    if (!started) __builtin_trap();

    auto settled = [] {
        const kivDecoderStats s = decoder.stats();
        return s.framesReceived + s.framesMalformed + s.framesDropped;
    };
    const uint64_t before = settled();
    decoder.deliver(header, std::vector<uint8_t>(data + 8, data + size));
    while (settled() == before) std::this_thread::yield(); // decoding runs on the decoder's thread
    if (const auto *frame = static_cast<const uint8_t *>(decoder.lock(0))) {
        // A frame handed out must be whole: read every byte of it.
        const uint64_t bytes = kiv::frameBytes64(decoder.lastFormat());
        uint8_t sum = 0;
        for (uint64_t i = 0; i < bytes; ++i) sum ^= frame[i];
        volatile uint8_t sink = sum;
        (void)sink;
        decoder.unlock();
    }
    return 0;
}
