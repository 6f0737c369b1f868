// SPDX-License-Identifier: MIT
// The seam between the encoder/decoder objects and the three transports.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "send_queue.hpp"
#include "util/mailbox.hpp"
#include "wire.hpp"

namespace kiv {

// Sending half of a transport. The encoder feeds it from the thread that calls
// kivEncode, one thread at a time; link() and the counters are for any thread.
class SenderTransport {
public:
    virtual ~SenderTransport() = default; // stops and joins its threads, closes its resources

    // Opens the destination. Validates synchronously what can be validated without
    // waiting on the network (address syntax, stream taken by another sender).
    // A second call closes the previous destination first; frames not yet sent
    // are dropped. `stream` is 1..65535 (the encoder checks it).
    virtual int open(const std::string &address, int stream) = 0;

    // A record for the next frame, with the buffers of frames gone before;
    // recycle() takes back one that was not sent.
    OutgoingFrame spare() { return queue_.spare(); }
    void recycle(OutgoingFrame &&frame) { queue_.recycle(std::move(frame)); }

    // Takes one frame, which the sending thread compresses first when its
    // quality says so. Must not wait for the network or a receiver: a frame
    // still unsent when the next one comes is replaced and counted in
    // counters.dropped, and so is one the codec or the destination refuses.
    // Returns KIV_OK, or KIV_ERROR_STATE when not open.
    virtual int send(OutgoingFrame &&frame) = 0;

    // Like send() for a frame ready as it is, whose `payload` is valid only
    // during the call: copied into a record, or written out at once by a
    // transport that can do so without waiting.
    virtual int sendFrame(const WireHeader &header, std::span<const uint8_t> payload);

    // KIV_LINK_* of an open transport; for KIV_LINK_DOWN it records the reason
    // with fail(). Datagram and memory transports are up once open.
    virtual int link() const { return KIV_LINK_UP; }

    SenderCounters counters;

protected:
    SendQueue queue_{counters};
};

// A transport that writes frames out on the caller's thread without waiting
// (shared memory). Frames to compress go to a thread of its own; while that
// thread holds frames, later ones queue behind them, so none overtakes another.
class InlineSenderTransport : public SenderTransport {
public:
    int send(OutgoingFrame &&frame) override;
    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override;
    // KIV_LINK_DOWN while the last frame could not be written.
    int link() const override;

protected:
    // Writes one frame, never waiting; one thread at a time. A failure is
    // recorded with fail(); KIV_ERROR_BUSY drops the frame without a word
    // against the link.
    virtual int write(const WireHeader &header, std::span<const uint8_t> payload) = 0;
    virtual bool isOpen() const = 0;
    // Stops the thread and drops what it holds: before reopening, and in the
    // destructor of the class that implements write().
    void stopSending();

private:
    // Writes one frame and records how the link fared; returns write()'s code.
    int deliver(const WireHeader &header, std::span<const uint8_t> payload);
    void count(int rc, uint64_t bytes);

    mutable std::mutex linkMutex_;
    int failure_ = KIV_OK;
    std::string failureDetail_;
    std::jthread thread_;
};

// A socket's receive buffer: what was asked for and what the kernel granted.
struct ReceiveBuffer {
    uint32_t requestedBytes = 0;
    uint32_t grantedBytes = 0;
};

// What a receiving transport saw, for the decoder's statistics.
struct ReceiverCounters {
    std::atomic<uint64_t> received{0};   // complete frames, including those dropped later
    std::atomic<uint64_t> bytes{0};      // their transfer bytes
    std::atomic<uint64_t> dropped{0};    // overwritten or pushed out before the reader took them
    std::atomic<uint64_t> malformed{0};  // bad headers, hostile datagrams, connections dropped for a violation
    std::atomic<uint64_t> incomplete{0}; // frames given up because some of their bytes never came
    // Datagrams of a frame that never came, those of them rebuilt from parity,
    // and frames delivered thanks to rebuilt data.
    std::atomic<uint64_t> lost{0}, recovered{0}, rebuilt{0};
};

// One complete frame on its way to the reader.
struct ReceivedFrame {
    WireHeader header; // passed validateHeader(); payloadSize is the transfer size
    int64_t receiveTimeUs = 0;
    std::vector<uint8_t> payload; // header.payloadSize bytes: the raw frame or its JPEG, unless `held`
    // The payload where the transport keeps it (a shared-memory slot), valid
    // and unchanged until the transport's release() or next next().
    const uint8_t *held = nullptr;

    std::span<const uint8_t> bytes() const {
        return held ? std::span<const uint8_t>(held, header.payloadSize) : std::span<const uint8_t>(payload);
    }
};

// Receiving half of a transport. The reader pulls frames with next().
class ReceiverTransport {
public:
    using Clock = std::chrono::steady_clock;

    // Stops and joins its threads and releases what it holds.
    virtual ~ReceiverTransport() = default;

    // Binds, listens or looks for the stream synchronously and reports failure
    // (KIV_ERROR_BUSY for a taken port). Called once, with `stream` 1..65535
    // (the decoder checks it).
    virtual int start(int stream) = 0;

    enum class Next { Frame, Timeout, Interrupted };

    // The next frame for the reader, waiting at most until `deadline`. With
    // depth 1 the newest frame, frames passed over counted as dropped; with a
    // larger depth the oldest first, at most `depth` held back. Buffers `frame`
    // holds on entry are reused. One reader at a time.
    virtual Next next(ReceivedFrame &frame, Clock::time_point deadline) = 0;
    virtual void setDepth(size_t depth) = 0;
    // Lets go of the frame next() handed out in place (ReceivedFrame::held).
    // The reader's thread.
    virtual void release() {}
    // Hands over the bytes of `frame`, the one next() gave last: they stay
    // valid and unchanged while the result lives, on any thread, also after
    // the transport is gone, and the transport never touches them again.
    // The reader's thread.
    virtual std::shared_ptr<const void> lend(ReceivedFrame &frame) {
        return std::make_shared<const std::vector<uint8_t>>(std::move(frame.payload));
    }

    // Ends the next() waiting now, or else the next one that finds no frame,
    // with Interrupted. Any thread.
    virtual void interrupt() = 0;
    // Keeps `fd`, the decoder's eventfd, readable while next() would return at
    // once. The reader's thread, before start() or between two next().
    virtual void setReadyFd(int fd) = 0;

    virtual ReceiveBuffer receiveBuffer() const { return {}; }

    ReceiverCounters counters;
};

// Where the receiving threads of a transport leave complete frames for the
// reader: a mailbox that counts what it is given and what it drops.
class FrameQueue {
public:
    // A buffer for the next frame, possibly with capacity left from an earlier one.
    std::vector<uint8_t> takeBuffer() { return mailbox_.spare().payload; }

    // One complete frame: `header` passed validateHeader() and `payload` holds
    // header.payloadSize bytes.
    void put(const WireHeader &header, std::vector<uint8_t> &&payload, int64_t receiveTimeUs);

    void countMalformed(uint64_t n = 1) { counters_.malformed += n; }
    void countIncomplete(uint64_t n = 1) { counters_.incomplete += n; }
    void countLoss(uint64_t lost, uint64_t recovered, uint64_t rebuiltFrames) {
        counters_.lost += lost;
        counters_.recovered += recovered;
        counters_.rebuilt += rebuiltFrames;
    }

    ReceiverTransport::Next take(ReceivedFrame &frame, ReceiverTransport::Clock::time_point deadline);
    void setDepth(size_t depth) { mailbox_.setDepth(depth); }
    void interrupt() { mailbox_.interrupt(); }
    void setReadyFd(int fd) { mailbox_.setReadyFd(fd); }
    // Frames still waiting are dropped (a restart, a new stream).
    void clear() { mailbox_.clear(); }

    explicit FrameQueue(ReceiverCounters &counters) : counters_(counters), mailbox_(counters.dropped) {}

private:
    ReceiverCounters &counters_;
    Mailbox<ReceivedFrame> mailbox_;
};

// A receiving transport whose own threads fill a FrameQueue.
class QueuedReceiverTransport : public ReceiverTransport {
public:
    Next next(ReceivedFrame &frame, Clock::time_point deadline) override { return queue_.take(frame, deadline); }
    void setDepth(size_t depth) override { queue_.setDepth(depth); }
    void interrupt() override { queue_.interrupt(); }
    void setReadyFd(int fd) override { queue_.setReadyFd(fd); }

protected:
    FrameQueue queue_{counters};
};

// nullptr for a protocol that this build does not carry. Constructing a transport
// opens and starts nothing: that waits for open() or start().
std::unique_ptr<SenderTransport> makeSender(int protocol);
std::unique_ptr<ReceiverTransport> makeReceiver(int protocol);

} // namespace kiv
