// Puts frames back together from datagrams. Knows nothing of sockets: it is fed
// (source, bytes, time) and hands complete frames to a FrameSink, so it can be
// driven by tests and fuzzers directly.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "../transport.hpp"
#include "udp_datagram.hpp"

namespace kiv::udp {

// Where a datagram came from: IPv4 address and port, host order.
struct Source {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Source &) const = default;
};

struct ReassemblerLimits {
    size_t maxFramesInFlight = 8;                  // partial frames held, over all senders
    uint64_t maxBytes = 2ull * KIV_MAX_FRAME_BYTES; // bytes held by those frames
    int64_t timeoutUs = 500'000;                   // a partial frame with no new fragment for this long is given up
    size_t maxSenders = 16;                        // (source, session) pairs remembered
};

// What happened to datagrams and frames beyond what the sink counts.
struct ReassemblerStats {
    uint64_t datagrams = 0;
    uint64_t duplicates = 0;       // fragment already held
    uint64_t late = 0;             // fragment of a frame already delivered or given up
    uint64_t evictedByNewer = 0;   // a newer frame of the same sender completed first
    uint64_t evictedByTimeout = 0;
    uint64_t evictedByCap = 0;     // room was needed for another frame
};

class Reassembler {
public:
    explicit Reassembler(FrameSink &sink, ReassemblerLimits limits = {});

    // One datagram as received; `nowUs` is a monotonic clock.
    void feed(const Source &source, std::span<const uint8_t> datagram, int64_t nowUs);

    // Gives up frames that have waited longer than the timeout.
    void expire(int64_t nowUs);

    size_t framesInFlight() const { return frames_.size(); }
    uint64_t bytesHeld() const { return bytesHeld_; }
    const ReassemblerStats &stats() const { return stats_; }

private:
    struct Sender {
        Source source;
        uint64_t session = 0;
        uint32_t lastDone = 0; // newest frame delivered or given up
        bool hasLastDone = false;
        int64_t lastSeenUs = 0;
    };
    struct Partial {
        Source source;
        WireHeader header;
        FragmentFields layout; // count and chunk shared by every fragment
        uint32_t received = 0;
        int64_t lastUs = 0;
        uint64_t cost = 0; // bytes charged against maxBytes
        std::vector<uint64_t> bitmap;
        std::vector<uint8_t> payload;
        // Until a frame has shown a share of its bytes, its fragments wait here,
        // so that a datagram claiming a huge frame costs what it carries.
        bool materialized = false;
        std::vector<uint8_t> early;
        std::vector<std::pair<uint32_t, uint32_t>> earlyPieces; // offset, length
    };

    Sender &senderFor(const Source &source, uint64_t session, int64_t nowUs);
    Sender *findSender(const Source &source, uint64_t session);
    void markDone(const Source &source, uint64_t session, uint32_t frame);
    bool makeRoom(uint64_t cost);
    void giveUp(size_t index);
    static void materialize(Partial &p);

    FrameSink &sink_;
    const ReassemblerLimits limits_;
    std::vector<Sender> senders_;
    std::vector<Partial> frames_;
    uint64_t bytesHeld_ = 0;
    ReassemblerStats stats_;
};

} // namespace kiv::udp
