// SPDX-License-Identifier: MIT
#include "encoder.hpp"

#include <cstring>
#include <random>
#include <thread>

#include "errors.hpp"
#include "format.hpp"
#include "util/clock.hpp"

namespace kiv {
namespace {
uint64_t randomSessionId() {
    std::random_device rd;
    return std::uniform_int_distribution<uint64_t>(1)(rd); // never 0, which a zeroed kivFrameInfo holds
}
} // namespace

Encoder::Encoder(int protocol, const kivStreamFormat &format) : Encoder(makeSender(protocol), format) {}

Encoder::Encoder(std::unique_ptr<SenderTransport> transport, const kivStreamFormat &format)
    : format_(format), sessionId_(randomSessionId()), transport_(std::move(transport)) {}

// The compressor, declared last, is stopped and joined first; the transport it
// sends on goes after it.
Encoder::~Encoder() = default;

int Encoder::setDestination(const char *address, int stream) {
    if (stream < 1 || stream > 65535) return fail(KIV_ERROR_INVALID_ARGUMENT, "stream must be 1..65535");
    std::lock_guard lock(transportMutex_);
    // Reopening moves the same transport object; a fresh open validates anew.
    const int rc = transport_->open(address ? address : "", stream);
    opened_ = rc == KIV_OK;
    return rc;
}

int Encoder::setFormat(const kivStreamFormat &format, int compress, int level) {
    if (compress != 0 && compress != 1) return fail(KIV_ERROR_INVALID_ARGUMENT, "compress must be 0 or 1");
    if (level < 0 || level > 100) return fail(KIV_ERROR_INVALID_ARGUMENT, "level must be 0..100");
    if (!isKnownDepth(format.depth)) return fail(KIV_ERROR_INVALID_ARGUMENT, "unknown depth code");
    if (frameBytes64(format) > KIV_MAX_FRAME_BYTES) return fail(KIV_ERROR_TOO_LARGE, "frame over 64 MiB");
    format_ = format;
    compress_ = compress == 1;
    level_ = level;
    return KIV_OK;
}

int Encoder::encode(const void *pixels) {
    if (!opened_) return fail(KIV_ERROR_STATE, "no destination set");
    const uint64_t size = frameBytes64(format_);
    if (size > 0 && !pixels) return fail(KIV_ERROR_INVALID_ARGUMENT, "pixels is NULL");
    WireHeader header;
    header.format = format_;
    header.frameNumber = nextFrame_++;
    header.sessionId = sessionId_;
    header.sendTimeUs = wallClockUs();
    header.payloadSize = uint32_t(size);
    const auto *bytes = static_cast<const uint8_t *>(pixels);

    // An empty frame has nothing to compress; it goes raw.
    if (!compress_ || size == 0) {
        std::lock_guard lock(transportMutex_);
        const int rc = sendLocked(header, {bytes, size_t(size)});
        if (rc == KIV_OK) ++encoded_;
        return rc;
    }

    // A large frame is coded in stripes on every core during the call, straight
    // from the caller's pixels: that takes about as long as copying it would,
    // and saves the copy.
    static const unsigned cores = std::thread::hardware_concurrency();
    if (const uint32_t stripeRows = jpeg::stripeRowsFor(format_, cores)) {
        compressAndSend(header, bytes, jpeg::qualityForLevel(level_), stripeRows, nullptr, callerJpeg_);
        ++encoded_;
        return KIV_OK;
    }

    // The first frame to compress here starts the thread that does it.
    if (!compressor_.joinable()) compressor_ = std::jthread([this](std::stop_token stop) { compressLoop(stop); });
    // Copied outside any lock, so the compressor never waits for the copy.
    PendingRaw raw = toCompress_.spare();
    raw.header = header;
    raw.quality = jpeg::qualityForLevel(level_);
    raw.pixels.assign(bytes, bytes + size);
    toCompress_.put(std::move(raw));
    ++encoded_;
    return KIV_OK;
}

void Encoder::compressLoop(std::stop_token stop) {
    jpeg::Compressor compressor;
    PendingRaw work;
    std::vector<uint8_t> jpegBytes;
    while (toCompress_.take(work, stop))
        compressAndSend(work.header, work.pixels.data(), work.quality, 0, &compressor, jpegBytes);
}

void Encoder::compressAndSend(WireHeader header, const uint8_t *pixels, int quality, uint32_t stripeRows,
                              jpeg::Compressor *compressor, std::vector<uint8_t> &jpegBytes) {
    const kivStreamFormat &f = header.format;
    const int rc = stripeRows ? jpeg::compressStriped(f, pixels, quality, stripeRows, jpegBytes)
                              : compressor->compress(f, pixels, quality, jpegBytes);
    if (rc != KIV_OK) {
        ++compressDropped_;
        return;
    }
    // Compression must never cost bytes: a JPEG no smaller than the frame is not sent.
    std::span<const uint8_t> payload{pixels, header.payloadSize};
    if (jpegBytes.size() < header.payloadSize) {
        header.flags |= kWireFlagJpeg | (stripeRows ? kWireFlagStripes : 0);
        header.payloadSize = uint32_t(jpegBytes.size());
        payload = jpegBytes;
    } else {
        header.flags |= kWireFlagSentRaw;
        ++sentRaw_; // before the send: a receiver may look at the counter as soon as the frame is there
    }
    std::lock_guard lock(transportMutex_);
    if (opened_) sendLocked(header, payload);
}

int Encoder::sendLocked(const WireHeader &header, std::span<const uint8_t> payload) {
    // Compression switched off while a frame was being compressed: the raw frames
    // that followed it have gone out already, and it must not arrive after them.
    if (anySent_ && int32_t(header.frameNumber - lastSentFrame_) <= 0) {
        ++compressDropped_;
        return KIV_OK;
    }
    const int rc = transport_->sendFrame(header, payload);
    if (rc == KIV_OK) {
        anySent_ = true;
        lastSentFrame_ = header.frameNumber;
    }
    return rc;
}

int Encoder::link() {
    std::lock_guard lock(transportMutex_);
    return opened_ ? transport_->link() : KIV_LINK_IDLE;
}

kivEncoderStats Encoder::stats() const {
    kivEncoderStats s{};
    s.framesEncoded = encoded_.load();
    s.framesSent = transport_->counters.sent.load();
    s.framesDropped = transport_->counters.dropped.load() + compressDropped_.load();
    s.bytesSent = transport_->counters.bytes.load();
    s.framesSentRaw = sentRaw_.load();
    return s;
}

} // namespace kiv
