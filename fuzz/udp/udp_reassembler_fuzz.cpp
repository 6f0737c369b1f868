// SPDX-License-Identifier: MIT
// Feeds the UDP reassembler arbitrary datagrams from a few sources. Input: records of [source/clock byte]
// [length u16 LE][datagram bytes]. Input starting with 'P': a protected frame whose datagrams the input drops,
// repeats, reorders and forges (parity bytes and headers); a frame delivered under the honest frame's name must
// be byte for byte the honest frame. Records: [datagram index u8][action u8][position u8][value u8].
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transports/udp_reassembler.hpp"

namespace {

const kiv::udp::ReassemblerLimits kLimits{.maxFramesInFlight = 4, .maxBytes = 1 << 20, .timeoutUs = 1000, .maxSenders = 3};

// Checks every frame the reassembler completes, and that it holds no more than its limits.
struct CheckingQueue {
    kiv::ReceiverCounters counters{};
    kiv::FrameQueue queue{counters};
    const kiv::WireHeader *honest = nullptr;
    const std::vector<uint8_t> *honestBytes = nullptr;

    void check(const kiv::udp::Reassembler &r) {
        kiv::ReceivedFrame f;
        while (queue.take(f, {}) == kiv::ReceiverTransport::Next::Frame) {
            const kiv::WireHeader &h = f.header;
            if (kiv::validateHeader(h) != kiv::WireError::None || f.payload.size() != h.payloadSize ||
                (honest && h.sessionId == honest->sessionId && h.frameNumber == honest->frameNumber && f.payload != *honestBytes))
                std::abort();
        }
        if (r.framesInFlight() > kLimits.maxFramesInFlight || r.bytesHeld() > kLimits.maxBytes) std::abort();
    }
};

int fuzzProtectedFrame(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    kiv::WireHeader h{.format = {40, 30, KIV_DEPTH_8, 1}, .frameNumber = 9, .sessionId = 77, .payloadSize = 1200};
    std::vector<uint8_t> payload(h.payloadSize);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + 3);
    kiv::udp::FramePacker packer;
    packer.pack(h, payload, kiv::udp::kDatagramHeaderSize + 96, data[1] % 101); // 13 data fragments
    CheckingQueue sink{.honest = &h, .honestBytes = &payload};
    kiv::udp::Reassembler r(sink.queue, kLimits);
    for (size_t at = 2; at + 4 <= size; at += 4) {
        const size_t index = data[at] % packer.count();
        auto d = packer.datagram(index);
        const size_t position = data[at + 2];
        switch (data[at + 1] % 4) {
        case 0: break;
        case 1: continue; // lost
        case 2: // forged parity bytes: data bytes have no check but the header's
            if (index < packer.layout().dataCount) continue;
            d[kiv::udp::kDatagramHeaderSize + position % 96] ^= data[at + 3] | 1;
            break;
        case 3: d[position % kiv::udp::kDatagramHeaderSize] = data[at + 3]; break;
        }
        r.feed({0x7f000001u, 40000}, d, int64_t(at));
        sink.check(r);
    }
    r.expire(int64_t(size) + 2000);
    if (r.framesInFlight() != 0 || r.bytesHeld() != 0) std::abort();
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 0 && data[0] == 'P') return fuzzProtectedFrame(data, size);
    CheckingQueue sink;
    kiv::udp::RepairCounters repair;
    kiv::udp::Feedback feedback;
    kiv::udp::Reassembler r(sink.queue, kLimits, &repair);
    int64_t now = 0;
    for (size_t at = 0; at + 3 <= size;) {
        const uint8_t control = data[at];
        const size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        at += 3;
        now += (control >> 2) * 50; // sometimes past the timeout
        r.feed({0x7f000001u, uint16_t(40000 + (control & 3))}, {data + at, length}, now);
        sink.check(r);
        at += length;
        if (!(control & 0x80)) continue;
        r.service(now, feedback);
        // Repair requests name only fragments of frames in flight, in ranges a sender takes.
        for (const auto &[source, request] : feedback.requests) {
            if (request.rangeCount == 0 || request.rangeCount > kiv::udp::kMaxRequestRanges) std::abort();
            for (const auto &range : request.used())
                if (range.count == 0 || range.first + uint64_t(range.count) > kiv::udp::kMaxFragments) std::abort();
        }
        feedback.clear();
    }
    r.expire(now + kLimits.timeoutUs + 1);
    if (r.framesInFlight() != 0 || r.bytesHeld() != 0) std::abort();
    return 0;
}
