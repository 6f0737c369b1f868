// SPDX-License-Identifier: MIT
// Puts frames back together from datagrams. Knows nothing of sockets: it is fed
// (source, bytes, time) and leaves complete frames in a FrameQueue, so it can be
// driven by tests and fuzzers directly.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "../transport.hpp"
#include "udp_control.hpp"
#include "udp_datagram.hpp"
#include "udp_fec.hpp"

namespace kiv::udp {

// Where a datagram came from: IPv4 address and port, host order.
struct Source {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Source &) const = default;
};

// What a reassembler wants sent back to the senders it hears.
struct Feedback {
    std::vector<std::pair<Source, RepairRequest>> requests;
    std::vector<std::pair<Source, LossReport>> reports;
    int64_t nextUs = 0; // when service() has work again, on the feed clock
    void clear() {
        requests.clear();
        reports.clear();
    }
};

// The repair side of a receiver: counters it keeps and the budget it reads.
struct RepairCounters {
    std::atomic<int> budgetMs{KIV_REPAIR_DEFAULT_BUDGET_MS}; // 0: parity alone
    std::atomic<uint64_t> requestsSent{0}, datagramsRequested{0}, datagramsRepaired{0};
    std::atomic<uint32_t> state{KIV_REPAIR_UNKNOWN}, lossPerMillion{0};
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
//
// A frame whose datagrams stopped coming (its last one came, a newer frame
// began, or the sender went quiet) and whose blocks parity cannot rebuild is
// asked for again: service() names, per block, the missing data fragments that
// would complete it, after a short random wait (so that, of several receivers
// of a group, the first request's repair usually spares the others theirs),
// and again each retry interval while the repair budget lasts.
class Reassembler {
public:
    // How long service() lets an idle receiver sleep; the repair state it keeps
    // may lag this much behind.
    static constexpr int64_t kIdleServiceUs = 500'000;
    // `repair` may be null: no requests, nothing counted.
    explicit Reassembler(FrameQueue &queue, ReassemblerLimits limits = {}, RepairCounters *repair = nullptr);
    ~Reassembler();

    // One datagram as received; `nowUs` is a monotonic clock.
    void feed(const Source &source, std::span<const uint8_t> datagram, int64_t nowUs);

    // Gives up frames that have waited longer than the timeout or the repair
    // budget, and fills `out` with the requests and reports due now.
    void service(int64_t nowUs, Feedback &out);
    void expire(int64_t nowUs) {
        Feedback ignored;
        service(nowUs, ignored);
    }

    size_t framesInFlight() const { return frames_.size(); }
    uint64_t bytesHeld() const { return bytesHeld_; }

private:
    struct Sender {
        Source source;
        uint64_t session = 0;
        uint32_t lastDone = 0; // newest frame delivered or given up
        bool hasLastDone = false;
        bool repairable = false; // it says it answers requests
        bool heard = false;      // and that receivers' messages reach it
        int64_t firstReportUs = 0;
        int64_t lastSeenUs = 0;
        // First sendings of datagrams: due (by the frames begun) and seen, since the last report.
        uint64_t expected = 0, seen = 0;
        int64_t reportedUs = 0;
        // The newest frame completed, and how much of it is counted as due.
        bool hasTail = false;
        uint32_t tailFrame = 0;
        uint64_t tailCounted = 0;
    };
    struct Partial;

    Sender &senderFor(const Source &source, uint64_t session);
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
    void countDue(Partial &p);
    void materialize(Partial &p);
    void advanceChecksum(Partial &p);
    bool store(Partial &p, const ParsedDatagram &d);
    bool rebuildReady(Partial &p, int64_t block);
    bool rebuildBlock(Partial &p, uint32_t block);
    void request(Partial &p, int64_t nowUs, Feedback &out);


    FrameQueue &queue_;
    const ReassemblerLimits limits_;
    std::vector<Sender> senders_;
    std::vector<std::unique_ptr<Partial>> frames_; // owned by pointer: evictions keep the others in place
    uint64_t bytesHeld_ = 0;
    BlockCoder coder_;
    std::vector<std::vector<uint8_t>> spareFrames_, spareParity_;
    RepairCounters ownRepair_;
    RepairCounters &repair_;
    bool asks_; // a caller gave us counters: requests are wanted
    std::mt19937 jitter_{12345};
    int64_t repairDelayUs_ = 20'000; // smoothed time from a request to its first repair
    int64_t lastAnswerUs_ = 0;       // when a repair last came
    uint32_t unanswered_ = 0;        // requests since then
    double loss_ = 0;                // smoothed share of datagrams lost on the way
    std::vector<uint32_t> missing_;
};

} // namespace kiv::udp
