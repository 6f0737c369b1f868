// Puts frames back together from datagrams. Knows nothing of sockets: it is fed
// (source, bytes, time) and leaves complete frames in a FrameQueue, so it can be
// driven by tests and fuzzers directly.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "../transport.hpp"
#include "udp_datagram.hpp"
#include "udp_fec.hpp"

namespace kiv::udp {

// Where a datagram came from: IPv4 address and port, host order.
struct Source {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Source &) const = default;
};

struct ReassemblerLimits {
    size_t maxFramesInFlight = 8;                  // partial frames held, over all senders
    // Bytes held by those frames: two of the largest frames with 25% parity, or
    // one with 100%.
    uint64_t maxBytes = 2ull * KIV_MAX_FRAME_BYTES * 5 / 4 + (1u << 20);
    int64_t timeoutUs = 500'000;                   // a partial frame with no new fragment for this long is given up
    size_t maxSenders = 16;                        // (source, session) pairs remembered
};

// Frames are held per source (address and port): when room runs out, the
// source holding the most gives way, so one noisy source cannot push out
// another's frames. Memory is charged for bytes that arrived; a frame's full
// buffer is allocated only once a share of it has come.
class Reassembler {
public:
    explicit Reassembler(FrameQueue &queue, ReassemblerLimits limits = {});
    ~Reassembler();

    // One datagram as received; `nowUs` is a monotonic clock.
    void feed(const Source &source, std::span<const uint8_t> datagram, int64_t nowUs);

    // Gives up frames that have waited longer than the timeout.
    void expire(int64_t nowUs);

    size_t framesInFlight() const { return frames_.size(); }
    uint64_t bytesHeld() const { return bytesHeld_; }

private:
    struct Sender {
        Source source;
        uint64_t session = 0;
        uint32_t lastDone = 0; // newest frame delivered or given up
        bool hasLastDone = false;
        int64_t lastSeenUs = 0;
    };
    struct Partial;

    Sender &senderFor(const Source &source, uint64_t session, int64_t nowUs);
    Sender *findSender(const Source &source, uint64_t session);
    void markDone(const Source &source, uint64_t session, uint32_t frame);
    bool makeRoom(const Source &source, uint64_t extra, bool newFrame, const Partial *keep);
    bool charge(Partial &p, uint64_t extra);
    // Out of the list, its bytes no longer held.
    std::unique_ptr<Partial> take(size_t index);
    void remove(size_t index);
    void keepSpare(std::vector<uint8_t> &&buffer, std::vector<std::vector<uint8_t>> &spares);
    std::vector<uint8_t> takeSpare(std::vector<std::vector<uint8_t>> &spares, bool fromQueue, size_t size);
    void giveUp(size_t index);
    void materialize(Partial &p);
    bool store(Partial &p, const ParsedDatagram &d);
    bool rebuildReady(Partial &p, int64_t block);
    bool rebuildBlock(Partial &p, uint32_t block);

    FrameQueue &queue_;
    const ReassemblerLimits limits_;
    std::vector<Sender> senders_;
    std::vector<std::unique_ptr<Partial>> frames_; // owned by pointer: evictions keep the others in place
    uint64_t bytesHeld_ = 0;
    BlockCoder coder_;
    std::vector<std::vector<uint8_t>> spareFrames_, spareParity_;
};

} // namespace kiv::udp
