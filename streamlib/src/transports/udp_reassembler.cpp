#include "udp_reassembler.hpp"

#include <algorithm>
#include <cstring>

namespace kiv::udp {
namespace {
// Frame numbers wrap at 2^32: `a` is newer than `b` when it is less than half
// the number space ahead.
bool newer(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }

// A frame's buffer is allocated (and cleared) once 1/kProofShare of its bytes
// came: one datagram cannot make the receiver clear 64 MiB.
constexpr uint64_t kProofShare = 16;

bool sameLayout(const WireHeader &a, const FragmentFields &fa, const WireHeader &b, const FragmentFields &fb) {
    return a.flags == b.flags && a.format.width == b.format.width && a.format.height == b.format.height &&
           a.format.depth == b.format.depth && a.format.orientation == b.format.orientation &&
           a.payloadSize == b.payloadSize && a.sendTimeUs == b.sendTimeUs && fa.count == fb.count &&
           fa.chunk == fb.chunk;
}
} // namespace

Reassembler::Reassembler(FrameSink &sink, ReassemblerLimits limits) : sink_(sink), limits_(limits) {
    frames_.reserve(limits_.maxFramesInFlight);
}

Reassembler::Sender *Reassembler::findSender(const Source &source, uint64_t session) {
    for (Sender &s : senders_)
        if (s.session == session && s.source == source) return &s;
    return nullptr;
}

Reassembler::Sender &Reassembler::senderFor(const Source &source, uint64_t session, int64_t nowUs) {
    if (Sender *s = findSender(source, session)) return *s;
    if (senders_.size() >= std::max<size_t>(limits_.maxSenders, 1)) {
        // Forget the quietest sender; its partial frames still finish or time out.
        auto quietest = std::min_element(senders_.begin(), senders_.end(),
                                         [](const Sender &a, const Sender &b) { return a.lastSeenUs < b.lastSeenUs; });
        senders_.erase(quietest);
    }
    Sender s;
    s.source = source;
    s.session = session;
    s.lastSeenUs = nowUs;
    senders_.push_back(s);
    return senders_.back();
}

void Reassembler::markDone(const Source &source, uint64_t session, uint32_t frame) {
    Sender *s = findSender(source, session);
    if (!s) return;
    if (!s->hasLastDone || newer(frame, s->lastDone)) {
        s->lastDone = frame;
        s->hasLastDone = true;
    }
}

void Reassembler::giveUp(size_t index) {
    Partial &p = frames_[index];
    bytesHeld_ -= p.cost;
    markDone(p.source, p.header.sessionId, p.header.frameNumber);
    if (index + 1 != frames_.size()) std::swap(frames_[index], frames_.back());
    frames_.pop_back();
    sink_.countIncomplete();
}

bool Reassembler::makeRoom(uint64_t cost) {
    while (!frames_.empty() &&
           (frames_.size() >= limits_.maxFramesInFlight || bytesHeld_ + cost > limits_.maxBytes)) {
        auto stalest = std::min_element(frames_.begin(), frames_.end(),
                                        [](const Partial &a, const Partial &b) { return a.lastUs < b.lastUs; });
        ++stats_.evictedByCap;
        giveUp(size_t(stalest - frames_.begin()));
    }
    return limits_.maxFramesInFlight > 0 && bytesHeld_ + cost <= limits_.maxBytes;
}

void Reassembler::feed(const Source &source, std::span<const uint8_t> datagram, int64_t nowUs) {
    ++stats_.datagrams;
    ParsedDatagram d;
    if (parseDatagram(datagram, d) != DatagramError::None) {
        sink_.countMalformed();
        return;
    }
    const WireHeader &h = d.header;
    const FragmentFields &f = d.fragment;
    const uint64_t bitmapWords = (uint64_t(f.count) + 63) / 64;
    const uint64_t cost = uint64_t(h.payloadSize) + bitmapWords * 8;
    if (cost > limits_.maxBytes) {
        sink_.countMalformed();
        return;
    }

    Sender &sender = senderFor(source, h.sessionId, nowUs);
    sender.lastSeenUs = nowUs;
    if (sender.hasLastDone && !newer(h.frameNumber, sender.lastDone)) {
        ++stats_.late;
        return;
    }

    auto it = std::find_if(frames_.begin(), frames_.end(), [&](const Partial &p) {
        return p.header.frameNumber == h.frameNumber && p.header.sessionId == h.sessionId && p.source == source;
    });
    size_t index;
    if (it == frames_.end()) {
        if (!makeRoom(cost)) {
            sink_.countMalformed();
            return;
        }
        Partial p;
        p.source = source;
        p.header = h;
        p.layout = f;
        p.cost = cost;
        p.bitmap.assign(bitmapWords, 0);
        p.payload = sink_.takeBuffer();
        frames_.push_back(std::move(p));
        bytesHeld_ += cost;
        index = frames_.size() - 1;
    } else {
        index = size_t(it - frames_.begin());
        if (!sameLayout(it->header, it->layout, h, f)) {
            sink_.countMalformed();
            return;
        }
    }

    Partial &p = frames_[index];
    uint64_t &word = p.bitmap[f.index / 64];
    const uint64_t bit = uint64_t{1} << (f.index % 64);
    if (word & bit) {
        ++stats_.duplicates;
        return;
    }
    word |= bit;
    p.lastUs = nowUs;
    ++p.received;
    if (!p.materialized) {
        const bool complete = p.received == p.layout.count;
        if (!complete && (p.early.size() + d.data.size()) * kProofShare < h.payloadSize) {
            p.earlyPieces.emplace_back(f.offset, uint32_t(d.data.size()));
            p.early.insert(p.early.end(), d.data.begin(), d.data.end());
            return;
        }
        materialize(p);
    }
    if (!d.data.empty()) std::memcpy(p.payload.data() + f.offset, d.data.data(), d.data.size());
    if (p.received < p.layout.count) return;

    // Complete: older partial frames of this sender can no longer be shown in order.
    Partial done = std::move(p);
    bytesHeld_ -= done.cost;
    if (index + 1 != frames_.size()) std::swap(frames_[index], frames_.back());
    frames_.pop_back();
    markDone(source, h.sessionId, h.frameNumber);
    for (size_t i = 0; i < frames_.size();) {
        const Partial &o = frames_[i];
        if (o.source == source && o.header.sessionId == h.sessionId && newer(h.frameNumber, o.header.frameNumber)) {
            ++stats_.evictedByNewer;
            giveUp(i);
        } else {
            ++i;
        }
    }
    sink_.deliver(done.header, std::move(done.payload));
}

void Reassembler::materialize(Partial &p) {
    // Every byte is written before the frame is handed on, so stale contents may stay.
    p.payload.resize(p.header.payloadSize);
    size_t at = 0;
    for (const auto &[offset, length] : p.earlyPieces) {
        std::memcpy(p.payload.data() + offset, p.early.data() + at, length);
        at += length;
    }
    p.early = {};
    p.earlyPieces = {};
    p.materialized = true;
}

void Reassembler::expire(int64_t nowUs) {
    for (size_t i = 0; i < frames_.size();) {
        if (nowUs - frames_[i].lastUs > limits_.timeoutUs) {
            ++stats_.evictedByTimeout;
            giveUp(i);
        } else {
            ++i;
        }
    }
}

} // namespace kiv::udp
