// The seam between the encoder/decoder objects and the three transports.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "wire.hpp"

namespace kiv {

struct SenderCounters {
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> bytes{0};
};

// Sending half of a transport. sendFrame() is called by one thread at a time.
class SenderTransport {
public:
    virtual ~SenderTransport() = default; // stops and joins its threads, closes its resources

    // Opens the destination. Validates synchronously what can be validated without
    // waiting on the network (address syntax, stream taken by another sender).
    // A second call closes the previous destination first.
    virtual int open(const std::string &address, int stream) = 0;

    // Hands over one frame; `payload` is only valid during the call, so the transport
    // copies it. Must not wait for the network or a receiver: a frame still unsent
    // when the next one comes is replaced and counted in counters.dropped.
    virtual int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) = 0;

    // Loss protection in percent (0 = off) and self-inflicted impairment; only
    // UDP has them.
    virtual int setProtection(int percent);
    virtual int setImpairment(const kivImpairment &impairment);

    // KIV_LINK_* of an open transport; for KIV_LINK_DOWN it records the reason
    // with fail(). Datagram and memory transports are up once open.
    virtual int link() const { return KIV_LINK_UP; }

    SenderCounters counters;
};

// Where a receiving transport hands its frames. Implemented by the decoder.
// Each receiving transport calls it from one thread at a time (a transport that
// lets the reader fetch, see ReceiverTransport::fetch, serialises the two).
class FrameSink {
public:
    virtual ~FrameSink() = default;

    // An empty buffer, possibly with capacity left from an earlier frame.
    virtual std::vector<uint8_t> takeBuffer() = 0;

    // One complete frame: `header` passed validateHeader(), and `payload` holds
    // header.payloadSize bytes. JPEG payloads are decoded by the sink.
    virtual void deliver(const WireHeader &header, std::vector<uint8_t> &&payload) = 0;

    // Input that the transport rejected: a bad header, a hostile datagram, a
    // connection dropped for a protocol violation.
    virtual void countMalformed(uint64_t n = 1) = 0;

    // Frames given up because some of their bytes never came.
    virtual void countIncomplete(uint64_t n = 1) = 0;

    // Frames the transport knows were sent but overwritten before it could read them.
    virtual void countDropped(uint64_t n) = 0;

    // Datagrams of a frame that never came (`lost`), those of them rebuilt from
    // parity (`recovered`), and frames delivered thanks to rebuilt data.
    virtual void countLoss(uint64_t lost, uint64_t recovered, uint64_t rebuiltFrames) {
        (void)lost;
        (void)recovered;
        (void)rebuiltFrames;
    }
};

// A socket's receive buffer: what was asked for and what the kernel granted.
struct ReceiveBuffer {
    uint32_t requestedBytes = 0;
    uint32_t grantedBytes = 0;
};

// Receiving half of a transport.
class ReceiverTransport {
public:
    virtual ReceiveBuffer receiveBuffer() const { return {}; }

    // Stops and joins its threads: the sink is not called once this returns.
    virtual ~ReceiverTransport() = default;

    // Binds, listens or maps synchronously and reports failure (KIV_ERROR_BUSY for a
    // taken port); then delivers frames to the sink from background threads.
    virtual int start(int stream) = 0;

    // A reader waiting for a frame can fetch it on its own thread, where the
    // transport allows: one wake-up between sender and reader instead of two
    // (the transport's thread, then the reader).
    enum class Fetch {
        Progress,    // something may have reached the sink: look there again
        TimedOut,    // nothing came before the deadline
        Unavailable, // not now (no sender attached, or not supported): wait on the sink
    };
    // Counts deliveries to the sink, from either thread. Read it before looking
    // at the sink and pass it to fetch(), so a frame delivered in between is not
    // waited for again.
    virtual uint64_t deliveries() const { return 0; }
    // Delivers the newest unseen frame to the sink on the calling thread, or
    // waits for the sender to publish one, at most until `deadline`.
    virtual Fetch fetch(uint64_t deliveriesSeen, std::chrono::steady_clock::time_point deadline) {
        (void)deliveriesSeen;
        (void)deadline;
        return Fetch::Unavailable;
    }
    // The reader stops fetching for now (queued delivery, polling, a JPEG on its
    // way through the decoder): the transport's own thread delivers again at once.
    virtual void endFetching() {}
};

// nullptr for a protocol that this build does not carry. Constructing a transport
// opens and starts nothing: that waits for open() or start().
std::unique_ptr<SenderTransport> makeSender(int protocol);
std::unique_ptr<ReceiverTransport> makeReceiver(int protocol, FrameSink &sink);

} // namespace kiv
