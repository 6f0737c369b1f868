#include "decoder.hpp"

#include "errors.hpp"
#include "format.hpp"
#include "util/clock.hpp"

namespace kiv {

Decoder::Decoder(int protocol)
    : Decoder([protocol](FrameSink &sink) { return makeReceiver(protocol, sink); }) {}

Decoder::Decoder(std::function<std::unique_ptr<ReceiverTransport>(FrameSink &)> makeTransport)
    : makeTransport_(std::move(makeTransport)), transport_(makeTransport_(*this)) {}

Decoder::~Decoder() { transport_.reset(); }

int Decoder::setSource(int stream) {
    if (stream < 1 || stream > 65535) return fail(KIV_ERROR_INVALID_ARGUMENT, "stream must be 1..65535");
    if (started_) {
        // A transport starts once; a new stream gets a fresh one.
        started_ = false;
        transport_.reset();
        transport_ = makeTransport_(*this);
    }
    if (!transport_) return fail(KIV_ERROR_UNSUPPORTED, "no transport");
    if (const int rc = transport_->start(stream); rc != KIV_OK) {
        transport_ = makeTransport_(*this); // leaves nothing half-open behind
        return rc;
    }
    started_ = true;
    return KIV_OK;
}

void Decoder::deliver(const WireHeader &header, std::vector<uint8_t> &&payload) {
    if (validateHeader(header) != WireError::None || payload.size() != header.payloadSize) {
        countMalformed();
        store_.recycle(std::move(payload));
        return;
    }
    StoredFrame frame;
    frame.header = header;
    if (header.compressed()) {
        frame.pixels = store_.takeBuffer();
        int rc;
        {
            std::lock_guard lock(decompressMutex_);
            rc = decompressor_.decompress(header.format, payload, frame.pixels);
        }
        store_.recycle(std::move(payload));
        if (rc != KIV_OK) {
            countMalformed();
            store_.recycle(std::move(frame.pixels));
            return;
        }
    } else {
        frame.pixels = std::move(payload);
    }
    frame.receiveTimeUs = wallClockUs();
    store_.push(std::move(frame));
}

const void *Decoder::lock(int timeoutMs) {
    if (!started_ || locked_) return nullptr;
    locked_ = store_.lock(timeoutMs);
    if (!locked_) return nullptr;
    lastFormat_ = locked_->header.format;
    lastTransferBytes_.store(locked_->header.payloadSize, std::memory_order_relaxed);
    // A zero-byte frame still needs a non-null address to be told apart from "none".
    static const uint8_t empty = 0;
    return locked_->pixels.empty() ? &empty : locked_->pixels.data();
}

int Decoder::unlock() {
    if (!locked_) return fail(KIV_ERROR_STATE, "no frame is locked");
    locked_ = nullptr;
    store_.unlock();
    return KIV_OK;
}

int Decoder::frameInfo(kivFrameInfo &info) const {
    if (!locked_) return fail(KIV_ERROR_STATE, "no frame is locked");
    const WireHeader &h = locked_->header;
    info.sessionId = h.sessionId;
    info.frameNumber = h.frameNumber;
    info.flags = h.compressed() ? KIV_FRAME_COMPRESSED : 0u;
    info.sendTimeUs = h.sendTimeUs;
    info.receiveTimeUs = locked_->receiveTimeUs;
    info.transferBytes = h.payloadSize;
    info.imageBytes = uint32_t(frameBytes64(h.format));
    return KIV_OK;
}

kivDecoderStats Decoder::stats() const {
    const FrameStoreCounters c = store_.counters();
    kivDecoderStats s{};
    s.framesReceived = c.received;
    s.framesDelivered = c.delivered;
    s.framesDropped = c.dropped;
    s.framesMalformed = malformed_.load();
    s.framesIncomplete = incomplete_.load();
    s.bytesReceived = c.bytes;
    return s;
}

} // namespace kiv
