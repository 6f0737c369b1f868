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

Encoder::~Encoder() = default;

int Encoder::setDestination(const char *address, int stream) {
    if (stream < 1 || stream > 65535) return fail(KIV_ERROR_INVALID_ARGUMENT, "stream must be 1..65535");
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

int Encoder::taken(int rc) {
    if (rc == KIV_OK) ++encoded_;
    return rc;
}

// Every route ends in one call to the transport, which only refuses a frame
// while it is not open: what becomes of a frame it took is counted.
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
    const std::span<const uint8_t> raw{static_cast<const uint8_t *>(pixels), size_t(size)};

    // An empty frame has nothing to compress; it goes raw.
    if (!compress_ || size == 0) return taken(transport_->sendFrame(header, raw));

    OutgoingFrame frame = transport_->spare();
    frame.header = header;
    // A large frame is coded in stripes on every core during the call, straight
    // from the caller's pixels: that takes about as long as copying it would,
    // and saves the copy.
    static const unsigned cores = std::thread::hardware_concurrency();
    if (const uint32_t stripeRows = jpeg::stripeRowsFor(format_, cores)) {
        const int rc = jpeg::compressStriped(format_, raw.data(), jpeg::qualityForLevel(level_), stripeRows, frame.jpeg);
        if (rc == KIV_OK && chooseJpeg(frame.header, frame.jpeg.size(), kWireFlagStripes, transport_->counters))
            return taken(transport_->send(std::move(frame)));
        header = frame.header;
        transport_->recycle(std::move(frame));
        if (rc == KIV_OK) return taken(transport_->sendFrame(header, raw)); // marked to go raw
        ++transport_->counters.dropped;
        return taken(KIV_OK);
    }
    // The one copy of the frame; the transport's thread compresses it.
    frame.quality = jpeg::qualityForLevel(level_);
    frame.pixels.assign(raw);
    return taken(transport_->send(std::move(frame)));
}

int Encoder::link() {
    return opened_ ? transport_->link() : KIV_LINK_IDLE;
}

kivEncoderStats Encoder::stats() const {
    kivEncoderStats s{};
    s.framesEncoded = encoded_.load();
    s.framesSent = transport_->counters.sent.load();
    s.framesDropped = transport_->counters.dropped.load();
    s.bytesSent = transport_->counters.bytes.load();
    s.framesSentRaw = transport_->counters.sentRaw.load();
    return s;
}

} // namespace kiv
