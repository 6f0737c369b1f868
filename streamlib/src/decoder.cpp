// SPDX-License-Identifier: MIT
#include "decoder.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "errors.hpp"
#include "format.hpp"
#include "util/event_fd.hpp"

namespace kiv {

Decoder::Decoder(int protocol) : Decoder([protocol] { return makeReceiver(protocol); }) {}

Decoder::Decoder(MakeTransport makeTransport)
    : makeTransport_(std::move(makeTransport)), transport_(makeTransport_()) {}

Decoder::~Decoder() = default;

void Decoder::Totals::add(const ReceiverCounters &c) {
    received += c.received.load();
    bytes += c.bytes.load();
    dropped += c.dropped.load();
    malformed += c.malformed.load();
    incomplete += c.incomplete.load();
    lost += c.lost.load();
    recovered += c.recovered.load();
    rebuilt += c.rebuilt.load();
}

Decoder::Totals Decoder::totals() const {
    std::lock_guard lock(transportMutex_);
    Totals t = retired_;
    if (transport_) t.add(transport_->counters);
    return t;
}

void Decoder::setAdaptive(bool adaptive) {
    depth_ = adaptive ? 1 : kQueueDepth;
    if (transport_) transport_->setDepth(depth_);
}

// A transport starts once, even if its start failed: every later stream gets
// a fresh one.
void Decoder::replaceTransport() {
    std::unique_ptr<ReceiverTransport> fresh = makeTransport_();
    if (fresh) fresh->setDepth(depth_);
    if (fresh && readyFd_) fresh->setReadyFd(readyFd_.get());
    std::unique_ptr<ReceiverTransport> old;
    {
        std::lock_guard lock(transportMutex_);
        if (transport_) retired_.add(transport_->counters);
        old = std::exchange(transport_, std::move(fresh));
    }
    old.reset();
    // The old transport's frames went with it.
    if (readyFd_) transport_->setReadyFd(readyFd_.get());
}

int Decoder::readyFd() {
    if (!readyFd_) {
        UniqueFd fd = makeEventFd();
        if (!fd) return fail(KIV_ERROR_IO, std::string("eventfd: ") + std::strerror(errno));
        std::lock_guard lock(transportMutex_);
        readyFd_ = std::move(fd);
        if (transport_) transport_->setReadyFd(readyFd_.get());
    }
    return readyFd_.get();
}

void Decoder::wake() {
    std::lock_guard lock(transportMutex_);
    if (transport_) transport_->interrupt();
}

int Decoder::setSource(int stream) {
    if (stream < 1 || stream > 65535) return fail(KIV_ERROR_INVALID_ARGUMENT, "stream must be 1..65535");
    if (locked_) return fail(KIV_ERROR_STATE, "a frame is locked");
    started_ = false;
    if (std::exchange(tried_, true)) replaceTransport();
    const int rc = transport_ ? transport_->start(stream) : fail(KIV_ERROR_UNSUPPORTED, "no transport");
    started_ = rc == KIV_OK;
    return rc;
}

const void *Decoder::lock(int timeoutMs) {
    if (!started_) return fail(KIV_ERROR_STATE, "no source set"), nullptr;
    if (locked_) return fail(KIV_ERROR_STATE, "a frame is already locked"), nullptr;
    const auto deadline = ReceiverTransport::Clock::now() + std::chrono::milliseconds(timeoutMs);
    ReceiverTransport::Next next;
    while ((next = transport_->next(frame_, deadline)) == ReceiverTransport::Next::Frame) {
        const WireHeader &h = frame_.header;
        const std::span<const uint8_t> bytes = frame_.bytes();
        if (validateHeader(h) != WireError::None || bytes.size() != h.payloadSize) {
            ++rejected_;
            continue;
        }
        const uint8_t *pixels = bytes.data();
        if (h.compressed()) {
            const int rc = h.striped() ? jpeg::decompressStriped(h.format, bytes, decoded_)
                                       : decompressor_.decompress(h.format, bytes, decoded_);
            transport_->release(); // the JPEG is no longer needed
            if (rc != KIV_OK) { // never handed out half decoded
                ++rejected_;
                continue;
            }
            pixels = decoded_.data();
        }
        locked_ = true;
        ++delivered_;
        lastFormat_ = h.format;
        lastTransferBytes_.store(h.payloadSize, std::memory_order_relaxed);
        // A zero-byte frame still needs a non-null address to be told apart from "none".
        static const uint8_t empty = 0;
        return frameBytes64(h.format) == 0 ? &empty : pixels;
    }
    if (next == ReceiverTransport::Next::Interrupted) return fail(KIV_ERROR_INTERRUPTED, "woken by kivWakeDecoder()"), nullptr;
    return fail(KIV_ERROR_TIMEOUT, "no frame within " + std::to_string(timeoutMs) + " ms"), nullptr;
}

std::unique_ptr<LentFrame> Decoder::lend(int timeoutMs, const void *&pixels, kivFrameInfo &info) {
    if (!locked_ && lentOut_->load() >= kMaxLent)
        return fail(KIV_ERROR_BUSY, std::to_string(kMaxLent) + " frames are lent out already"), nullptr;
    const void *p = lock(timeoutMs);
    if (!p) return nullptr;
    frameInfo(info);
    std::shared_ptr<const void> keep;
    if (frame_.header.compressed()) keep = std::make_shared<const std::vector<uint8_t>>(std::move(decoded_));
    else if (frameBytes64(frame_.header.format) != 0) keep = transport_->lend(frame_);
    auto lent = std::make_unique<LentFrame>(std::move(keep), lentOut_);
    locked_ = false;
    transport_->release();
    pixels = p;
    return lent;
}

int Decoder::unlock() {
    if (!locked_) return fail(KIV_ERROR_STATE, "no frame is locked");
    locked_ = false;
    transport_->release();
    return KIV_OK;
}

int Decoder::frameInfo(kivFrameInfo &info) const {
    if (!locked_) return fail(KIV_ERROR_STATE, "no frame is locked");
    const WireHeader &h = frame_.header;
    info.sessionId = h.sessionId;
    info.frameNumber = h.frameNumber;
    info.flags = h.compressed() ? KIV_FRAME_COMPRESSED : (h.flags & kWireFlagSentRaw) ? KIV_FRAME_SENT_RAW : 0u;
    info.sendTimeUs = h.sendTimeUs;
    info.receiveTimeUs = frame_.receiveTimeUs;
    info.transferBytes = h.payloadSize;
    info.imageBytes = uint32_t(frameBytes64(h.format));
    return KIV_OK;
}

kivDecoderStats Decoder::stats() const {
    const Totals t = totals();
    const uint64_t rejected = rejected_.load();
    kivDecoderStats s{};
    s.framesReceived = t.received - rejected;
    s.framesDelivered = delivered_.load();
    s.framesDropped = t.dropped;
    s.framesMalformed = t.malformed + rejected;
    s.framesIncomplete = t.incomplete;
    s.bytesReceived = t.bytes;
    return s;
}

kivLossStats Decoder::lossStats() const {
    const Totals t = totals();
    return {t.lost, t.recovered, t.rebuilt};
}

ReceiveBuffer Decoder::receiveBuffer() const {
    std::lock_guard lock(transportMutex_);
    return started_ && transport_ ? transport_->receiveBuffer() : ReceiveBuffer{};
}

} // namespace kiv
