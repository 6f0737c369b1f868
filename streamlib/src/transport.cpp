// SPDX-License-Identifier: MIT
#include "transport.hpp"

#include "errors.hpp"
#include "transports/memory.hpp"
#include "transports/tcp.hpp"
#include "transports/udp.hpp"

namespace kiv {

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
