// SPDX-License-Identifier: MIT
#include "transport.hpp"

#include "errors.hpp"
#include "transports/memory.hpp"
#include "transports/tcp.hpp"
#include "transports/udp.hpp"

namespace kiv {

int SenderTransport::sendFrame(const WireHeader &header, std::span<const uint8_t> payload) {
    if (payload.size() != header.payloadSize) return fail(KIV_ERROR_INVALID_ARGUMENT, "payload size differs from header");
    OutgoingFrame frame = spare();
    frame.header = header;
    frame.pixels.assign(payload);
    return send(std::move(frame));
}

int InlineSenderTransport::deliver(const WireHeader &header, std::span<const uint8_t> payload) {
    const int rc = write(header, payload);
    // Readers that hold every slot drop a frame; the destination is still fine.
    // The link's state goes first: whoever sees the frame counted sees why.
    if (rc != KIV_ERROR_BUSY) {
        std::string detail = rc == KIV_OK ? std::string() : lastErrorDetail();
        std::lock_guard lock(linkMutex_);
        failure_ = rc;
        failureDetail_ = std::move(detail);
    }
    return rc;
}

void InlineSenderTransport::count(int rc, uint64_t bytes) {
    if (rc == KIV_OK) {
        ++counters.sent;
        counters.bytes += bytes;
    } else {
        ++counters.dropped;
    }
}

int InlineSenderTransport::send(OutgoingFrame &&frame) {
    if (!isOpen()) return fail(KIV_ERROR_STATE, "no destination set");
    if (frame.quality == 0 && queue_.idle()) {
        count(deliver(frame.header, frame.payload()), frame.header.payloadSize);
        queue_.recycle(std::move(frame));
        return KIV_OK;
    }
    if (!thread_.joinable())
        thread_ = std::jthread([this](std::stop_token stop) {
            OutgoingFrame taken;
            while (queue_.take(taken, stop)) {
                const int rc = deliver(taken.header, taken.payload());
                queue_.finish(taken); // first: once the frame shows as sent, the caller may write itself
                count(rc, taken.header.payloadSize);
            }
        });
    queue_.put(std::move(frame));
    return KIV_OK;
}

int InlineSenderTransport::sendFrame(const WireHeader &header, std::span<const uint8_t> payload) {
    if (!isOpen()) return fail(KIV_ERROR_STATE, "no destination set");
    if (payload.size() != header.payloadSize) return fail(KIV_ERROR_INVALID_ARGUMENT, "payload size differs from header");
    if (!queue_.idle()) return SenderTransport::sendFrame(header, payload);
    count(deliver(header, payload), payload.size());
    return KIV_OK;
}

int InlineSenderTransport::link() const {
    std::lock_guard lock(linkMutex_);
    if (failure_ == KIV_OK) return KIV_LINK_UP;
    fail(failure_, failureDetail_);
    return KIV_LINK_DOWN;
}

void InlineSenderTransport::stopSending() {
    thread_ = {}; // a jthread asks its thread to stop and joins it when replaced
    queue_.clear();
    std::lock_guard lock(linkMutex_);
    failure_ = KIV_OK;
    failureDetail_.clear();
}

void FrameQueue::put(const WireHeader &header, std::vector<uint8_t> &&payload, int64_t receiveTimeUs) {
    counters_.received.fetch_add(1, std::memory_order_relaxed);
    counters_.bytes.fetch_add(header.payloadSize, std::memory_order_relaxed);
    mailbox_.put(ReceivedFrame{header, receiveTimeUs, std::move(payload)});
}

ReceiverTransport::Next FrameQueue::take(ReceivedFrame &frame, ReceiverTransport::Clock::time_point deadline) {
    using Next = ReceiverTransport::Next;
    if (mailbox_.take(frame, deadline)) return Next::Frame;
    return mailbox_.takeInterrupt() ? Next::Interrupted : Next::Timeout;
}

std::unique_ptr<SenderTransport> makeSender(int protocol) {
    switch (protocol) {
    case KIV_PROTOCOL_UDP: return udp::makeSender(udp::defaultSenderOptions(nullptr));
    case KIV_PROTOCOL_TCP: return makeTcpSender();
    case KIV_PROTOCOL_MEMORY: return makeMemorySender();
    default: return nullptr;
    }
}

std::unique_ptr<ReceiverTransport> makeReceiver(int protocol) {
    switch (protocol) {
    case KIV_PROTOCOL_UDP: return udp::makeReceiver(udp::defaultReceiverOptions(nullptr));
    case KIV_PROTOCOL_TCP: return makeTcpReceiver();
    case KIV_PROTOCOL_MEMORY: return makeMemoryReceiver();
    default: return nullptr;
    }
}

} // namespace kiv
