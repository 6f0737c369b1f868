// SPDX-License-Identifier: MIT
#include "udp_reassembler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../util/clock.hpp"

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
           fa.chunk == fb.chunk && fa.blockData == fb.blockData && fa.parityPerBlock == fb.parityPerBlock &&
           fa.checksum == fb.checksum;
}
} // namespace

struct Reassembler::Partial {
    Source source;
    WireHeader header;
    FragmentFields layout; // shared by every fragment
    FecLayout fec;
    uint32_t dataReceived = 0; // arrived or rebuilt
    uint32_t recovered = 0;    // rebuilt from parity
    int64_t lastUs{};
    uint64_t cost{}; // bytes charged against maxBytes
    std::vector<uint64_t> bitmap; // data fragments, then parity
    std::vector<uint16_t> blockData, blockParity; // fragments held per block
    std::vector<uint8_t> payload;
    std::vector<uint8_t> parity; // allocated with the first parity fragment needed
    // Until a frame has shown a share of its bytes, its fragments wait here,
    // so that a datagram claiming a huge frame costs what it carries.
    bool materialized = false;
    // The checksum of the data fragments before `checkedUpTo`, all in place:
    // taken as each one lands, while its bytes are still in cache.
    uint32_t checkedUpTo = 0;
    uint32_t checksum = kChecksumStart;
    std::vector<uint8_t> early;
    std::vector<std::pair<uint32_t, uint32_t>> earlyPieces; // fragment index, length
    // Repair: first sendings seen, the highest index among them, and when the
    // frame's datagrams stopped coming (0 while they still come).
    int64_t firstUs = 0, maxGapUs = 0;
    uint32_t arrivals = 0, highest = 0;
    uint64_t counted = 0; // datagrams of it counted as due in its sender's loss report
    int64_t overUs = 0, nextAskUs = 0, askedUs = 0;
    bool repairable = false;

    size_t chunk() const { return layout.chunk; }
    bool has(uint32_t index) const { return (bitmap[index / 64] >> (index % 64)) & 1; }
    void set(uint32_t index) { bitmap[index / 64] |= uint64_t{1} << (index % 64); }
    uint64_t parityBytes() const { return uint64_t(fec.parityCount()) * chunk(); }
    uint64_t total() const { return uint64_t(layout.count) + fec.parityCount(); }
    // Silence after which no more first sendings are expected: well past the
    // gaps seen so far between them (a paced sender's bursts), and longer
    // while the frame came in one burst so far. A sender moving on to its next
    // frame says so sooner.
    int64_t quietUs() const {
        if (maxGapUs < 1'000) return 50'000;
        const int64_t meanGap = (lastUs - firstUs) / (arrivals - 1);
        return std::clamp<int64_t>(std::max(8 * meanGap, 3 * maxGapUs), 10'000, 100'000);
    }
};

Reassembler::Reassembler(FrameQueue &queue, ReassemblerLimits limits, RepairCounters *repair)
    : queue_(queue), limits_(limits), repair_(repair ? *repair : ownRepair_), asks_(repair != nullptr),
      jitter_(std::random_device{}()) {
    frames_.reserve(limits_.maxFramesInFlight);
}

Reassembler::~Reassembler() = default;

Reassembler::Sender *Reassembler::findSender(const Source &source, uint64_t session) {
    for (Sender &s : senders_)
        if (s.session == session && s.source == source) return &s;
    return nullptr;
}

Reassembler::Sender &Reassembler::senderFor(const Source &source, uint64_t session) {
    if (Sender *s = findSender(source, session)) return *s;
    if (senders_.size() >= std::max<size_t>(limits_.maxSenders, 1)) {
        // The source with the most sessions forgets its quietest one: a flood of
        // new session ids from one socket cannot make others forget theirs.
        auto sessionsOf = [&](const Source &src) {
            return std::count_if(senders_.begin(), senders_.end(), [&](const Sender &s) { return s.source == src; }) +
                   (src == source ? 1 : 0);
        };
        const auto sparedBefore = [&](const Sender &a, const Sender &b) {
            const auto na = sessionsOf(a.source), nb = sessionsOf(b.source);
            return na < nb || (na == nb && a.lastSeenUs > b.lastSeenUs);
        };
        const auto victim = std::max_element(senders_.begin(), senders_.end(), sparedBefore);
        senders_.erase(victim);
    }
    Sender s;
    s.source = source;
    s.session = session;
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

// Buffers of frames that will not be delivered are kept for the next ones:
// a fresh 8 MiB buffer costs a clear and a page fault per 4 KiB.
void Reassembler::keepSpare(std::vector<uint8_t> &&buffer, std::vector<std::vector<uint8_t>> &spares) {
    if (buffer.capacity() != 0 && spares.empty()) spares.push_back(std::move(buffer));
}

std::vector<uint8_t> Reassembler::takeSpare(std::vector<std::vector<uint8_t>> &spares, bool fromQueue, size_t size) {
    // A spare of ours, else one the reader handed back (for frames), else a new one.
    std::vector<uint8_t> b = !spares.empty() ? std::move(spares.back()) : fromQueue ? queue_.takeBuffer() : std::vector<uint8_t>{};
    if (!spares.empty()) spares.pop_back();
    b.resize(size);
    return b;
}

std::unique_ptr<Reassembler::Partial> Reassembler::take(size_t index) {
    std::unique_ptr<Partial> p = std::move(frames_[index]);
    bytesHeld_ -= p->cost;
    std::swap(frames_[index], frames_.back());
    frames_.pop_back();
    return p;
}

void Reassembler::remove(size_t index) {
    const std::unique_ptr<Partial> p = take(index);
    keepSpare(std::move(p->payload), spareFrames_);
    keepSpare(std::move(p->parity), spareParity_);
}

// A frame is given up: whatever of it has not come is due, for the loss report.
void Reassembler::countDue(Partial &p) {
    if (Sender *s = findSender(p.source, p.header.sessionId)) s->expected += p.total() - p.counted;
    p.counted = p.total();
}

void Reassembler::giveUp(size_t index) {
    Partial &p = *frames_[index];
    countDue(p);
    markDone(p.source, p.header.sessionId, p.header.frameNumber);
    queue_.countLoss(p.layout.count - p.dataReceived + p.recovered, p.recovered, 0);
    remove(index);
    queue_.countIncomplete();
}

// Room for `extra` more bytes (and a new frame when `newFrame`), taken from the
// source that holds the most; `keep` is never given up.
bool Reassembler::makeRoom(const Source &source, uint64_t extra, bool newFrame, const Partial *keep) {
    auto overFrames = [&] { return newFrame && frames_.size() >= limits_.maxFramesInFlight; };
    auto overBytes = [&] { return bytesHeld_ + extra > limits_.maxBytes; };
    while (overFrames() || overBytes()) {
        const bool byCount = overFrames();
        auto load = [&](const Source &src) {
            uint64_t n = 0;
            for (const auto &f : frames_)
                if (f->source == src) n += byCount ? 1 : f->cost;
            if (src == source) n += byCount ? 1 : extra;
            return n;
        };
        size_t victim = frames_.size();
        uint64_t heaviest = 0;
        for (size_t i = 0; i < frames_.size(); ++i) {
            const Partial &f = *frames_[i];
            if (&f == keep) continue;
            const uint64_t l = load(f.source);
            if (victim == frames_.size() || l > heaviest ||
                (f.source == frames_[victim]->source && f.lastUs < frames_[victim]->lastUs)) {
                heaviest = l;
                victim = i;
            }
        }
        // Never push out a lighter source's frame to make room for the heaviest.
        if (victim == frames_.size() || (frames_[victim]->source != source && load(source) > heaviest)) return false;
        giveUp(victim);
    }
    return true; // the loop ends only once there is room
}

bool Reassembler::charge(Partial &p, uint64_t extra) {
    if (!makeRoom(p.source, extra, false, &p)) return false;
    p.cost += extra;
    bytesHeld_ += extra;
    return true;
}

void Reassembler::feed(const Source &source, std::span<const uint8_t> datagram, int64_t nowUs) {
    ParsedDatagram d;
    if (parseDatagram(datagram, d) != DatagramError::None) {
        queue_.countMalformed();
        return;
    }
    const WireHeader &h = d.header;
    const FragmentFields &f = d.fragment;
    const uint64_t fragments = uint64_t(f.count) + d.layout.parityCount();
    const uint64_t bookkeeping = (fragments + 63) / 64 * 8 + uint64_t(d.layout.blocks) * 4;
    if (uint64_t(h.payloadSize) + d.layout.parityCount() * uint64_t(f.chunk) + bookkeeping > limits_.maxBytes) {
        queue_.countMalformed();
        return;
    }

    Sender &sender = senderFor(source, h.sessionId);
    sender.lastSeenUs = nowUs;
    sender.repairable = (f.flags & kFlagRepairable) != 0;
    if (!(f.flags & kFlagResent)) sender.heard = (f.flags & kFlagHeard) != 0;
    const bool resent = (f.flags & kFlagResent) != 0;
    if (!resent) ++sender.seen;
    if (sender.hasLastDone && !newer(h.frameNumber, sender.lastDone)) {
        // Late. The parity that follows a frame complete without it is still
        // due, as it comes; what never comes of it is not counted as lost.
        if (!resent && sender.hasTail && h.frameNumber == sender.tailFrame && f.index + 1ull > sender.tailCounted) {
            sender.expected += f.index + 1ull - sender.tailCounted;
            sender.tailCounted = f.index + 1ull;
        }
        return;
    }

    auto it = std::find_if(frames_.begin(), frames_.end(), [&](const auto &p) {
        return p->header.frameNumber == h.frameNumber && p->header.sessionId == h.sessionId && p->source == source;
    });
    size_t index;
    if (it == frames_.end()) {
        if (!makeRoom(source, bookkeeping, true, nullptr)) {
            queue_.countMalformed();
            return;
        }
        // The sender has moved on: what older frames miss will not come unasked.
        for (auto &o : frames_)
            if (o->source == source && o->header.sessionId == h.sessionId && o->overUs == 0 &&
                newer(h.frameNumber, o->header.frameNumber))
                o->overUs = nowUs;
        auto p = std::make_unique<Partial>();
        p->source = source;
        p->firstUs = nowUs;
        p->header = h;
        p->layout = f;
        p->fec = d.layout;
        p->cost = bookkeeping;
        p->bitmap.assign(size_t((fragments + 63) / 64), 0);
        p->blockData.assign(d.layout.blocks, 0);
        p->blockParity.assign(d.layout.blocks, 0);
        frames_.push_back(std::move(p));
        bytesHeld_ += bookkeeping;
        index = frames_.size() - 1;
    } else {
        index = size_t(it - frames_.begin());
        if (!sameLayout((*it)->header, (*it)->layout, h, f)) {
            queue_.countMalformed();
            return;
        }
    }

    Partial &p = *frames_[index];
    p.repairable = (f.flags & kFlagRepairable) != 0;
    if (!resent) {
        if (p.arrivals++ != 0) p.maxGapUs = std::max(p.maxGapUs, nowUs - p.lastUs);
        p.highest = std::max(p.highest, f.index);
        // Datagrams go out in index order: those up to the highest seen are due by now.
        if (p.highest + 1ull > p.counted) {
            sender.expected += p.highest + 1ull - p.counted;
            p.counted = p.highest + 1ull;
        }
        // Still coming: what is missing may come yet, unasked.
        p.overUs = p.highest + 1 == p.total() ? nowUs : 0;
        p.nextAskUs = 0;
        p.lastUs = nowUs;
    }
    if (p.has(f.index)) return; // duplicate
    if (d.parity()) {
        // Parity for a block whose data are all here is not needed.
        const uint32_t block = p.fec.blockOfParity(f.index - f.count);
        if (p.blockData[block] == p.fec.dataInBlock(block)) return;
    }
    p.lastUs = nowUs;
    const bool wasMaterialized = p.materialized;
    const bool stored = store(p, d);
    if (stored && resent) {
        ++repair_.datagramsRepaired;
        if (!d.parity()) ++p.recovered;
        if (p.askedUs != 0) repairDelayUs_ = (repairDelayUs_ * 3 + (nowUs - p.askedUs)) / 4;
        lastAnswerUs_ = nowUs;
        unanswered_ = 0;
    }
    // Making room above may have moved the frame in the list.
    index = size_t(std::find_if(frames_.begin(), frames_.end(), [&](const auto &q) { return q.get() == &p; }) -
                   frames_.begin());
    if (!stored) {
        // No room for its bytes: the frame cannot complete.
        giveUp(index);
        return;
    }
    if (p.fec.protectedFrame()) {
        const uint32_t block = d.parity() ? p.fec.blockOfParity(f.index - f.count) : p.fec.blockOfData(f.index);
        if (!rebuildReady(p, wasMaterialized ? int64_t(block) : -1)) {
            queue_.countMalformed();
            giveUp(index);
            return;
        }
    }
    advanceChecksum(p);
    if (p.dataReceived < p.layout.count) return;
    if (p.checksum != p.layout.checksum) {
        // Forged or damaged fragments, or a rebuild from them: never hand on wrong bytes.
        queue_.countMalformed();
        giveUp(index);
        return;
    }

    // Complete.
    std::unique_ptr<Partial> done = take(index);
    sender.hasTail = true;
    sender.tailFrame = h.frameNumber;
    sender.tailCounted = done->counted;
    markDone(source, h.sessionId, h.frameNumber);
    // Older partial frames of this sender can no longer be shown in order.
    for (size_t i = 0; i < frames_.size();) {
        const Partial &o = *frames_[i];
        if (o.source == source && o.header.sessionId == h.sessionId && newer(h.frameNumber, o.header.frameNumber)) {
            giveUp(i);
        } else {
            ++i;
        }
    }
    if (done->recovered) queue_.countLoss(done->recovered, done->recovered, 1);
    keepSpare(std::move(done->parity), spareParity_);
    queue_.put(done->header, std::move(done->payload), wallClockUs());
}

// Keeps one fragment's bytes; false when there is no room for them.
bool Reassembler::store(Partial &p, const ParsedDatagram &d) {
    const FragmentFields &f = d.fragment;
    const bool parity = d.parity();
    p.set(f.index);
    if (parity) {
        ++p.blockParity[p.fec.blockOfParity(f.index - f.count)];
    } else {
        ++p.dataReceived;
        if (p.fec.protectedFrame()) ++p.blockData[p.fec.blockOfData(f.index)];
    }
    if (!p.materialized) {
        const bool complete = p.dataReceived == p.layout.count;
        if (!complete && (p.early.size() + d.data.size()) * kProofShare < p.header.payloadSize) {
            if (!charge(p, d.data.size() + sizeof(p.earlyPieces[0]))) return false;
            p.earlyPieces.emplace_back(f.index, uint32_t(d.data.size()));
            p.early.insert(p.early.end(), d.data.begin(), d.data.end());
            return true;
        }
        materialize(p);
        if (!p.materialized) return false;
    }
    if (parity) {
        if (p.parity.empty()) {
            if (!charge(p, p.parityBytes())) return false;
            p.parity = takeSpare(spareParity_, false, size_t(p.parityBytes()));
        }
        std::memcpy(p.parity.data() + d.offset(), d.data.data(), d.data.size());
    } else if (!d.data.empty()) {
        std::memcpy(p.payload.data() + d.offset(), d.data.data(), d.data.size());
    }
    return true;
}

void Reassembler::advanceChecksum(Partial &p) {
    if (!p.materialized) return;
    const size_t chunk = p.chunk();
    for (; p.checkedUpTo < p.layout.count && p.has(p.checkedUpTo); ++p.checkedUpTo) {
        const size_t offset = size_t(p.checkedUpTo) * chunk;
        p.checksum = frameChecksum(std::span(p.payload).subspan(offset, std::min(chunk, p.payload.size() - offset)),
                                   p.checksum);
    }
}

void Reassembler::materialize(Partial &p) {
    const uint64_t earlyBytes = p.early.size();
    bool needParity = false;
    for (const auto &piece : p.earlyPieces) needParity |= piece.first >= p.layout.count;
    const uint64_t extra = p.header.payloadSize + (needParity ? p.parityBytes() : 0);
    // The early bytes are already charged and are about to move into place.
    if (!charge(p, extra - earlyBytes)) return;
    // Every byte is written before the frame is handed on, so stale contents may stay.
    p.payload = takeSpare(spareFrames_, true, p.header.payloadSize);
    if (needParity) p.parity = takeSpare(spareParity_, false, size_t(p.parityBytes()));
    size_t at = 0;
    for (const auto &[index, length] : p.earlyPieces) {
        uint8_t *to = index >= p.layout.count ? p.parity.data() + size_t(index - p.layout.count) * p.chunk()
                                              : p.payload.data() + size_t(index) * p.chunk();
        std::memcpy(to, p.early.data() + at, length);
        at += length;
    }
    const uint64_t pieceBytes = p.earlyPieces.size() * sizeof(p.earlyPieces[0]);
    p.early = {};
    p.earlyPieces = {};
    p.cost -= pieceBytes;
    bytesHeld_ -= pieceBytes;
    p.materialized = true;
}

// Rebuilds `block` (every block when -1) if it has enough fragments; false if
// a block could not be rebuilt.
bool Reassembler::rebuildReady(Partial &p, int64_t block) {
    if (!p.materialized) return true;
    const uint32_t first = block < 0 ? 0 : uint32_t(block);
    const uint32_t end = block < 0 ? p.fec.blocks : first + 1;
    for (uint32_t b = first; b < end; ++b) {
        const unsigned k = p.fec.dataInBlock(b);
        if (p.blockData[b] < k && p.blockData[b] + p.blockParity[b] >= k && !rebuildBlock(p, b)) return false;
    }
    return true;
}

bool Reassembler::rebuildBlock(Partial &p, uint32_t block) {
    const FecLayout &l = p.fec;
    const unsigned k = l.dataInBlock(block), m = l.parityPerBlock;
    const size_t chunk = p.chunk();
    const uint32_t last = l.dataCount - 1;
    const size_t lastOffset = size_t(last) * chunk;
    const size_t lastLength = p.payload.size() > lastOffset ? p.payload.size() - lastOffset : 0;
    std::vector<uint8_t> lastRow(chunk, 0); // the short last fragment, padded as the sender coded it
    std::vector<uint8_t *> rows(k + m);
    const std::unique_ptr<bool[]> present(new bool[k + m]); // not vector<bool>: the coder takes a span
    for (unsigned r = 0; r < k; ++r) {
        const uint32_t i = r * l.blocks + block;
        present[r] = p.has(i);
        if (i == last) {
            // Missing, it is rebuilt over whatever this copies.
            if (lastLength) std::memcpy(lastRow.data(), p.payload.data() + lastOffset, lastLength);
            rows[r] = lastRow.data();
        } else {
            rows[r] = p.payload.data() + size_t(i) * chunk;
        }
    }
    for (unsigned j = 0; j < m; ++j) {
        const uint32_t parity = j * l.blocks + block;
        present[k + j] = p.has(l.dataCount + parity);
        rows[k + j] = present[k + j] ? p.parity.data() + size_t(parity) * chunk : nullptr;
    }
    if (!coder_.rebuild(k, m, chunk, rows, std::span<const bool>(present.get(), k + m))) return false;

    for (unsigned r = 0; r < k; ++r) {
        const uint32_t i = r * l.blocks + block;
        if (present[r]) continue;
        // Only the bytes under the payload: a wrong rebuild, padding or not, fails the frame checksum.
        if (i == last && lastLength) std::memcpy(p.payload.data() + lastOffset, lastRow.data(), lastLength);
        p.set(i);
        ++p.dataReceived;
        ++p.recovered;
    }
    p.blockData[block] = uint16_t(k);
    return true;
}

void Reassembler::service(int64_t nowUs, Feedback &out) {
    const int64_t budgetUs = int64_t(repair_.budgetMs.load()) * 1000;
    // Frames in flight are looked at often; with none, the receiver may sleep.
    out.nextUs = nowUs + (frames_.empty() ? kIdleServiceUs : 50'000);
    auto soon = [&](int64_t t) { out.nextUs = std::min(out.nextUs, t); };
    for (size_t i = 0; i < frames_.size();) {
        Partial &p = *frames_[i];
        if (nowUs - p.lastUs > limits_.timeoutUs) {
            giveUp(i);
            continue;
        }
        ++i;
        if (p.overUs == 0) {
            if (nowUs - p.lastUs < p.quietUs()) {
                soon(p.lastUs + p.quietUs());
                continue;
            }
            p.overUs = nowUs;
        }
        if (!asks_ || budgetUs == 0 || !p.repairable) continue;
        if (nowUs - p.overUs >= budgetUs) {
            giveUp(--i);
            continue;
        }
        if (p.nextAskUs == 0) p.nextAskUs = p.overUs + std::uniform_int_distribution<int64_t>(0, 2'000)(jitter_);
        if (nowUs >= p.nextAskUs) {
            request(p, nowUs, out);
            p.nextAskUs = nowUs + std::clamp<int64_t>(2 * repairDelayUs_ + 2'000, 4'000, 250'000);
        }
        soon(std::min(p.nextAskUs, p.overUs + budgetUs));
    }

    // Loss reports, a few a second, to senders that take them.
    for (Sender &s : senders_) {
        if (!s.repairable || s.expected == 0) continue;
        if (nowUs - s.reportedUs < 100'000) {
            soon(s.reportedUs + 100'000);
            continue;
        }
        const uint64_t expected = std::min<uint64_t>(s.expected, UINT32_MAX);
        const uint64_t lost = expected > s.seen ? expected - s.seen : 0;
        out.reports.push_back({s.source, LossReport{s.session, uint32_t(expected), uint32_t(lost), budgetUs == 0}});
        const double weight = std::min(1.0, double(expected) / 500.0) * 0.5;
        loss_ = loss_ * (1 - weight) + double(lost) / double(expected) * weight;
        repair_.lossPerMillion = uint32_t(loss_ * 1e6);
        s.expected = s.seen = 0;
        s.reportedUs = nowUs;
        if (s.firstReportUs == 0) s.firstReportUs = nowUs;
    }

    // Whether requests can work: the sender says whether our reports reach it,
    // and requests that go unanswered say so too.
    if (!asks_) return;
    bool repairable = false, heard = false, deaf = false;
    for (const Sender &s : senders_) {
        if (!s.repairable) continue;
        repairable = true;
        heard |= s.heard;
        deaf |= !s.heard && s.firstReportUs != 0 && nowUs - s.firstReportUs > 1'000'000;
    }
    const bool unanswered = unanswered_ >= 8 && nowUs - lastAnswerUs_ > 1'000'000;
    if (budgetUs == 0 || (!senders_.empty() && !repairable) || (!heard && (unanswered || deaf)))
        repair_.state = KIV_REPAIR_UNAVAILABLE;
    else
        repair_.state = lastAnswerUs_ != 0 || heard ? KIV_REPAIR_WORKING : KIV_REPAIR_UNKNOWN;
}

// Names, per block that parity cannot rebuild, the missing data fragments that
// would complete it, with a margin for the loss the repairs meet on the way.
void Reassembler::request(Partial &p, int64_t nowUs, Feedback &out) {
    missing_.clear();
    const FecLayout &l = p.fec;
    if (l.protectedFrame()) {
        for (uint32_t b = 0; b != l.blocks; ++b) {
            const uint32_t k = l.dataInBlock(b), have = p.blockData[b] + p.blockParity[b];
            if (have >= k) continue;
            const uint32_t shortfall = k - have;
            uint32_t want = shortfall + uint32_t(std::ceil(double(shortfall) * loss_ * 2));
            for (uint32_t r = 0; r != k && want != 0; ++r) {
                const uint32_t index = r * l.blocks + b;
                if (!p.has(index)) {
                    missing_.push_back(index);
                    --want;
                }
            }
        }
        std::sort(missing_.begin(), missing_.end());
    } else {
        for (uint32_t index = 0; index != p.layout.count; ++index)
            if (!p.has(index)) missing_.push_back(index);
    }
    if (missing_.empty()) return;
    constexpr size_t kMaxMessages = 16; // a round's requests stay small however much is missing
    RepairRequest request{p.header.sessionId, p.header.frameNumber};
    size_t messages = 0, named = 0;
    for (const uint32_t index : missing_) {
        if (!request.add(index)) {
            out.requests.push_back({p.source, request});
            if (++messages == kMaxMessages) break;
            request.rangeCount = 0;
            request.add(index);
        }
        ++named;
    }
    if (messages < kMaxMessages) {
        out.requests.push_back({p.source, request});
        ++messages;
    }
    repair_.requestsSent += messages;
    repair_.datagramsRequested += named;
    p.askedUs = nowUs;
    ++unanswered_;
}

} // namespace kiv::udp
