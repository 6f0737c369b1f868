#include "decoder.hpp"

#include <algorithm>
#include <chrono>

#include "errors.hpp"
#include "format.hpp"
#include "util/clock.hpp"

namespace kiv {

Decoder::Decoder(int protocol)
    : Decoder([protocol](FrameSink &sink) { return makeReceiver(protocol, sink); }) {}

Decoder::Decoder(std::function<std::unique_ptr<ReceiverTransport>(FrameSink &)> makeTransport)
    : makeTransport_(std::move(makeTransport)), transport_(makeTransport_(*this)) {}

Decoder::~Decoder() {
    transport_.reset(); // no more deliveries, so nothing restarts the decode thread
    if (decodeThread_.joinable()) {
        decodeThread_.request_stop();
        decodeThread_.join();
    }
}

void Decoder::setAdaptive(bool adaptive) {
    adaptive_.store(adaptive);
    if (!adaptive && transport_) transport_->endFetching();
    store_.setAdaptive(adaptive);
}

int Decoder::setSource(int stream) {
    if (stream < 1 || stream > 65535) return fail(KIV_ERROR_INVALID_ARGUMENT, "stream must be 1..65535");
    if (started_) {
        // A transport starts once; a new stream gets a fresh one.
        started_ = false;
        transport_.reset();
        dropQueuedJpeg(); // the old stream's frames
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
    lastCompressed_.store(header.compressed());
    if (header.compressed()) {
        queueJpeg(header, std::move(payload));
        return;
    }
    dropQueuedJpeg(); // this raw frame is newer than any JPEG still waiting
    StoredFrame frame;
    frame.header = header;
    frame.pixels = std::move(payload);
    frame.receiveTimeUs = wallClockUs();
    store_.push(std::move(frame));
}

void Decoder::queueJpeg(const WireHeader &header, std::vector<uint8_t> &&jpeg) {
    std::vector<uint8_t> spare;
    {
        std::lock_guard lock(jpegMutex_);
        // The same policy as the frame store: newest only, or a short queue.
        const size_t limit = adaptive_.load() ? 1 : FrameStore::kQueueDepth;
        while (jpegQueue_.size() >= limit) {
            spare = std::move(jpegQueue_.front().jpeg);
            jpegQueue_.pop_front();
            ++jpegDropped_;
            --jpegInFlight_;
        }
        ++jpegInFlight_;
        jpegQueue_.push_back({header, wallClockUs(), std::move(jpeg)});
        if (!decodeThread_.joinable())
            decodeThread_ = std::jthread([this](std::stop_token stop) { decodeLoop(stop); });
    }
    jpegReady_.notify_one();
    store_.recycle(std::move(spare));
}

void Decoder::dropQueuedJpeg() {
    std::deque<PendingJpeg> stale;
    {
        std::lock_guard lock(jpegMutex_);
        ++jpegEpoch_;
        if (jpegQueue_.empty()) return;
        jpegDropped_ += jpegQueue_.size();
        jpegInFlight_ -= int(jpegQueue_.size());
        stale.swap(jpegQueue_);
    }
    for (PendingJpeg &p : stale) store_.recycle(std::move(p.jpeg));
}

void Decoder::decodeLoop(std::stop_token stop) {
    while (true) {
        PendingJpeg work;
        uint64_t epoch;
        {
            std::unique_lock lock(jpegMutex_);
            if (!jpegReady_.wait(lock, stop, [&] { return !jpegQueue_.empty(); })) return;
            work = std::move(jpegQueue_.front());
            jpegQueue_.pop_front();
            epoch = jpegEpoch_;
        }
        // Decoded into a buffer of its own: a frame that fails half way is never seen.
        StoredFrame frame;
        frame.header = work.header;
        frame.receiveTimeUs = work.receiveTimeUs;
        frame.pixels = store_.takeBuffer(size_t(frameBytes64(work.header.format)));
        const int rc = work.header.striped() ? jpeg::decompressStriped(work.header.format, work.jpeg, frame.pixels)
                                             : decompressor_.decompress(work.header.format, work.jpeg, frame.pixels);
        store_.recycle(std::move(work.jpeg));
        if (rc != KIV_OK) {
            countMalformed();
            store_.recycle(std::move(frame.pixels));
            --jpegInFlight_;
            continue;
        }
        std::unique_lock lock(jpegMutex_);
        if (epoch != jpegEpoch_) { // a raw frame overtook this one while it decoded
            lock.unlock();
            ++jpegDropped_;
            store_.recycle(std::move(frame.pixels));
            --jpegInFlight_;
            continue;
        }
        store_.push(std::move(frame));
        --jpegInFlight_; // only now: a reader seeing none in flight finds it in the store
    }
}

const void *Decoder::lock(int timeoutMs) {
    if (!started_) return fail(KIV_ERROR_STATE, "no source set"), nullptr;
    if (locked_) return fail(KIV_ERROR_STATE, "a frame is already locked"), nullptr;
    // A queue keeps frames that came while the reader was busy; fetching on
    // demand keeps only the newest, so it is for adaptive delivery only.
    if (timeoutMs > 0 && adaptive_.load()) {
        locked_ = lockFetching(timeoutMs);
    } else {
        transport_->endFetching();
        locked_ = store_.lock(timeoutMs);
    }
    if (!locked_) return fail(KIV_ERROR_TIMEOUT, "no frame within " + std::to_string(timeoutMs) + " ms"), nullptr;
    lastFormat_ = locked_->header.format;
    lastTransferBytes_.store(locked_->header.payloadSize, std::memory_order_relaxed);
    // A zero-byte frame still needs a non-null address to be told apart from "none".
    static const uint8_t empty = 0;
    return locked_->pixels.empty() ? &empty : locked_->pixels.data();
}

// Waits for a frame, fetching it on this thread where the transport allows.
const StoredFrame *Decoder::lockFetching(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto msLeft = [&] {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return int(std::max<decltype(left)>(left, 0));
    };
    while (true) {
        // Both read before the store: whatever lands in it afterwards changes one of them.
        const uint64_t deliveriesSeen = transport_->deliveries();
        const bool viaDecodeThread = lastCompressed_.load() || jpegInFlight_.load() > 0;
        if (const StoredFrame *frame = store_.lock(0)) return frame;
        // JPEG frames come from the decode thread, which wakes the store's waiters;
        // the transport's thread keeps copying the next one meanwhile.
        if (viaDecodeThread) {
            transport_->endFetching();
            return store_.lock(msLeft());
        }
        switch (transport_->fetch(deliveriesSeen, deadline)) {
        case ReceiverTransport::Fetch::Progress:
            if (Clock::now() >= deadline) return store_.lock(0);
            continue;
        case ReceiverTransport::Fetch::TimedOut: return store_.lock(0);
        case ReceiverTransport::Fetch::Unavailable: return store_.lock(msLeft());
        }
    }
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
    info.flags = h.compressed() ? KIV_FRAME_COMPRESSED : (h.flags & kWireFlagSentRaw) ? KIV_FRAME_SENT_RAW : 0u;
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
    s.framesDropped = c.dropped + jpegDropped_.load();
    s.framesMalformed = malformed_.load();
    s.framesIncomplete = incomplete_.load();
    s.bytesReceived = c.bytes;
    return s;
}

} // namespace kiv
