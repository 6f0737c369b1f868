// SPDX-License-Identifier: MIT
#include "send_queue.hpp"

namespace kiv {

bool chooseJpeg(WireHeader &header, size_t jpegBytes, uint16_t flags, SenderCounters &counters) {
    if (jpegBytes < header.payloadSize) {
        header.flags |= kWireFlagJpeg | flags;
        header.payloadSize = uint32_t(jpegBytes);
        return true;
    }
    header.flags |= kWireFlagSentRaw;
    ++counters.sentRaw; // before the send: a receiver may look at the counter as soon as the frame is there
    return false;
}

void SendQueue::put(OutgoingFrame &&frame) {
    frame.ticket = ++handed_;
    box_.put(std::move(frame));
}

void SendQueue::clear() {
    box_.clear();
    done_.store(handed_, std::memory_order_release);
}

bool SendQueue::ready(OutgoingFrame &frame) {
    if (frame.quality == 0) return true;
    const int quality = std::exchange(frame.quality, 0);
    if (compressor_.compress(frame.header.format, frame.pixels.data(), quality, frame.jpeg) != KIV_OK) {
        finish(frame); // first: once the drop shows, the producer may write itself
        ++counters_.dropped;
        return false;
    }
    chooseJpeg(frame.header, frame.jpeg.size(), 0, counters_);
    return true;
}

bool SendQueue::tryTake(OutgoingFrame &frame) {
    while (box_.tryTake(frame))
        if (ready(frame)) return true;
    return false;
}

bool SendQueue::take(OutgoingFrame &frame, std::stop_token stop) {
    while (box_.take(frame, stop))
        if (ready(frame)) return true;
    return false;
}

} // namespace kiv
