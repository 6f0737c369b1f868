// Feeds the UDP reassembler arbitrary datagrams from a few sources.
// Input: records of [source/clock byte][length u16 LE][datagram bytes].
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transports/udp_reassembler.hpp"

namespace {

using namespace kiv;

class CheckingSink final : public FrameSink {
public:
    std::vector<uint8_t> takeBuffer() override { return {}; }
    void deliver(const WireHeader &h, std::vector<uint8_t> &&p) override {
        if (validateHeader(h) != WireError::None || p.size() != h.payloadSize) std::abort();
    }
    void countMalformed(uint64_t) override {}
    void countIncomplete(uint64_t) override {}
    void countDropped(uint64_t) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    udp::ReassemblerLimits limits;
    limits.maxFramesInFlight = 4;
    limits.maxBytes = 1 << 20;
    limits.timeoutUs = 1000;
    limits.maxSenders = 3;
    CheckingSink sink;
    udp::Reassembler r(sink, limits);
    int64_t now = 0;
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t control = data[at];
        const size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        at += 3;
        now += (control >> 2) * 50; // sometimes past the timeout
        const udp::Source source{0x7f000001u, uint16_t(40000 + (control & 3))};
        r.feed(source, {data + at, length}, now);
        at += length;
        if (control & 0x80) r.expire(now);
        if (r.framesInFlight() > limits.maxFramesInFlight || r.bytesHeld() > limits.maxBytes) std::abort();
    }
    r.expire(now + limits.timeoutUs + 1);
    if (r.framesInFlight() != 0 || r.bytesHeld() != 0) std::abort();
    return 0;
}
