// SPDX-License-Identifier: MIT
// The way out of an encoder: a frame is copied once, into a record from the
// encoder's pool, and that record moves, never copied, through one hand-off to
// the thread that compresses and sends it.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <stop_token>

#include "codec/jpeg.hpp"
#include "util/byte_buffer.hpp"
#include "util/mailbox.hpp"
#include "wire.hpp"

namespace kiv {

struct SenderCounters {
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> dropped{0}; // replaced before they were sent, refused by the codec or the transport
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> sentRaw{0}; // compression on, but the JPEG was no smaller
};

struct OutgoingFrame {
    WireHeader header; // once ready, flags and payloadSize describe payload()
    ByteBuffer pixels; // the raw frame
    ByteBuffer jpeg;   // its JPEG or stripes
    int quality = 0;   // > 0: still to be compressed, at this quality, by the sending thread
    uint64_t ticket = 0;

    std::span<const uint8_t> payload() const {
        return {header.compressed() ? jpeg.data() : pixels.data(), header.payloadSize};
    }
    ByteBuffer &payloadBuffer() { return header.compressed() ? jpeg : pixels; }
};

// Compression must never cost bytes: the frame in `header` takes its JPEG
// (`flags` added) only when that is smaller than the raw frame; otherwise it
// is marked to go raw and counted. True when the JPEG goes.
bool chooseJpeg(WireHeader &header, size_t jpegBytes, uint16_t flags, SenderCounters &counters);

// A one-frame mailbox from the encoder (the producer, on the caller's thread)
// to a transport's sending thread (the consumer), whose take() compresses.
// Latest wins: a frame still waiting when the next is put is dropped and counted.
class SendQueue {
public:
    explicit SendQueue(SenderCounters &counters) : counters_(counters), box_(counters.dropped) {}

    // Producer.
    // Never still marked for compression: a frame dropped before the consumer took it keeps its quality.
    OutgoingFrame spare() {
        OutgoingFrame frame = box_.spare();
        frame.quality = 0;
        return frame;
    }
    void recycle(OutgoingFrame &&frame) { box_.recycle(std::move(frame)); }
    void put(OutgoingFrame &&frame);
    // Every frame put has been sent or dropped: until the next put() the
    // consumer does not touch the transport, and the producer may write itself.
    bool idle() const { return done_.load(std::memory_order_acquire) == handed_; }
    // A frame put earlier still waits for the consumer: the producer is ahead.
    bool frameWaiting() const { return box_.waiting() != 0; }
    // Drops what waits; only while no consumer runs.
    void clear();

    // Consumer: the next frame ready to send, without waiting or until `stop`.
    // Frames the codec refuses are counted as dropped and passed over.
    bool tryTake(OutgoingFrame &frame);
    bool take(OutgoingFrame &frame, std::stop_token stop);
    // The frame last taken has been sent or given up.
    void finish(const OutgoingFrame &frame) { done_.store(frame.ticket, std::memory_order_release); }

private:
    bool ready(OutgoingFrame &frame);

    SenderCounters &counters_;
    Mailbox<OutgoingFrame> box_;
    uint64_t handed_ = 0; // the producer's
    std::atomic<uint64_t> done_{0};
    jpeg::Compressor compressor_; // the consumer's
};

} // namespace kiv
