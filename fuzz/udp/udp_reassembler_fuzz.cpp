// Feeds the UDP reassembler arbitrary datagrams from a few sources.
// Input: records of [source/clock byte][length u16 LE][datagram bytes].
#include <cstdint>
#include <cstdlib>

#include "transports/udp_reassembler.hpp"

namespace {

struct CheckingSink final : kiv::FrameSink {
    std::vector<uint8_t> takeBuffer() override { return {}; }
    void deliver(const kiv::WireHeader &h, std::vector<uint8_t> &&p) override {
        if (kiv::validateHeader(h) != kiv::WireError::None || p.size() != h.payloadSize) std::abort();
    }
    void countMalformed(uint64_t) override {}
    void countIncomplete(uint64_t) override {}
    void countDropped(uint64_t) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const kiv::udp::ReassemblerLimits limits{.maxFramesInFlight = 4, .maxBytes = 1 << 20, .timeoutUs = 1000, .maxSenders = 3};
    CheckingSink sink;
    kiv::udp::Reassembler r(sink, limits);
    int64_t now = 0;
    for (size_t at = 0; at + 3 <= size;) {
        const uint8_t control = data[at];
        const size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        at += 3;
        now += (control >> 2) * 50; // sometimes past the timeout
        r.feed({0x7f000001u, uint16_t(40000 + (control & 3))}, {data + at, length}, now);
        at += length;
        if (control & 0x80) r.expire(now);
        if (r.framesInFlight() > limits.maxFramesInFlight || r.bytesHeld() > limits.maxBytes) std::abort();
    }
    r.expire(now + limits.timeoutUs + 1);
    if (r.framesInFlight() != 0 || r.bytesHeld() != 0) std::abort();
    return 0;
}
