// SPDX-License-Identifier: MIT
// UDP sending end: kivEncode leaves the frame in a one-frame queue; a thread
// of our own compresses it when asked to, cuts it into datagrams, adds parity and paces them out over most
// of the time until the caller's next frame, with GSO where the route takes
// it. The same thread answers receivers' repair requests from a ring of the
// frames it sent, and raises parity when they report loss.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "../errors.hpp"
#include "../util/unique_fd.hpp"
#include "udp.hpp"
#include "udp_control.hpp"
#include "udp_fec.hpp"
#include "udp_pacing.hpp"
#include "udp_socket.hpp"

namespace kiv::udp {
namespace {

using namespace std::chrono_literals;

// The largest number of segments one GSO send may carry on older kernels.
constexpr size_t kMaxGsoSegments = 64;
constexpr size_t kMaxBatchMessages = 64;
// The rhythm of frames further apart than this is no guide: such a frame is
// spread over kSpread of this instead.
constexpr int64_t kLongestIntervalUs = 1'000'000;
// Until a second frame shows the caller's rhythm: 32 Mbit/s, which a modest
// link carries, for the few milliseconds a fast caller takes to send it.
constexpr uint64_t kFirstFrameBytesPerSecond = 4'000'000;
// A datagram sent again on one request is not sent again for another within
// this time: several receivers that lost it to one drop cost one repair.
constexpr int64_t kResendGapUs = 4'000;
// Resends may use a third of the stream's own rate, and never less than this.
constexpr double kResendShare = 1.0 / 3;
constexpr double kMinResendBytesPerSecond = 256'000;
// Loss reports older than this no longer raise the parity.
constexpr int64_t kReportLifetimeUs = 3'000'000;
constexpr size_t kMaxReporters = 16;
// Frames tell receivers that the way back works while something came back within this time.
constexpr int64_t kHeardLifetimeUs = 1'000'000;

// The parity percent in use: the caller's floor, raised by what receivers' loss
// reports want, up to KIV_FEC_MAX_ADAPTIVE_PERCENT (or the floor, if higher).
int combinedPercent(int floor, int wanted) {
    const int percent = floor > 0 ? std::max(floor, wanted) : floor;
    return std::min(percent, std::max(floor, int(KIV_FEC_MAX_ADAPTIVE_PERCENT)));
}

// A raw frame is protected where kivEncode copies it: its parity and checksum
// follow its bytes in the same buffer, then this record. The sending thread
// only cuts it into datagrams.
struct ProtectionTrailer {
    static constexpr uint32_t kMagic = 0x5450564b; // "KVPT"
    uint32_t checksum = 0;
    uint32_t percent = 0;
    uint32_t chunk = 0;
    uint32_t magic = 0;
};

struct CarriedProtection {
    Protection protection;
    int percent = 0;
};

// The protection `frame` carries for datagrams of `chunk` bytes, if any.
std::optional<CarriedProtection> carriedProtection(const OutgoingFrame &frame, size_t chunk) {
    if (frame.header.compressed()) return std::nullopt; // compressed on the sending thread
    const ByteBuffer &b = frame.pixels;
    const size_t size = frame.header.payloadSize;
    if (b.size() < size + sizeof(ProtectionTrailer)) return std::nullopt;
    ProtectionTrailer t;
    std::memcpy(&t, b.data() + b.size() - sizeof t, sizeof t);
    if (t.magic != ProtectionTrailer::kMagic || t.chunk != chunk) return std::nullopt;
    Protection p;
    p.layout = chooseLayout(uint32_t(fragmentCount(size, chunk)), int(t.percent));
    p.checksum = t.checksum;
    const size_t parity = size_t(p.layout.parityCount()) * chunk;
    if (b.size() != size + parity + sizeof t) return std::nullopt;
    p.parity = std::span<const uint8_t>(b.data() + size, parity);
    return CarriedProtection{p, int(t.percent)};
}

// A frame on the wire and afterwards, kept to answer repair requests.
struct SentFrame {
    WireHeader header;
    ByteBuffer payload;
    FramePacker packer;
    std::vector<int64_t> resentUs; // per datagram: when it was last sent again
    int64_t sentUs = 0;
    uint64_t bytes() const { return payload.size() + packer.parityBytesHeld(); }
};

// Messages for one sendmmsg call and what they point into.
struct Batch {
    std::vector<mmsghdr> msgs;
    std::vector<iovec> iov;
    std::vector<uint8_t> control, headers;
    size_t messages = 0;
};

// Bytes of UDP payload, refilled at a rate; may run into debt.
struct TokenBucket {
    double tokens = 0, rate = 0, cap = 0; // bytes, bytes per microsecond, bytes
    int64_t lastUs = 0;
    void refill(int64_t nowUs) {
        tokens = std::min(cap, tokens + double(nowUs - lastUs) * rate);
        lastUs = nowUs;
    }
};

class UdpSender final : public UdpSenderTransport {
public:
    explicit UdpSender(SenderOptions options) : options_(std::move(options)) {
        // No larger than our receivers take, or every frame would be refused.
        options_.maxDatagram = std::clamp(options_.maxDatagram, kDatagramHeaderSize + 1, kMaxReceivedDatagram);
        if (!options_.controls) options_.controls = std::make_shared<SenderControls>();
    }
    ~UdpSender() override { stop(); }

    int open(const std::string &address, int stream) override {
        stop(); // like every transport: a failed open leaves no destination
        in_addr addr{};
        if (inet_pton(AF_INET, address.c_str(), &addr) != 1)
            return fail(KIV_ERROR_ADDRESS, "'" + address + "' is not an IPv4 address");
        const uint32_t host = ntohl(addr.s_addr);
        if (host == INADDR_ANY || host == INADDR_BROADCAST)
            return fail(KIV_ERROR_ADDRESS, "'" + address + "' is not a destination");

        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!fd || !wake) return failErrno(KIV_ERROR_IO, "UDP socket");
        bool capped = false;
        growBuffer(fd.get(), SO_SNDBUF, SO_SNDBUFFORCE, options_.sendBufferBytes, capped);
        // Receivers on this host get a multicast stream too: Linux loops it back by default.
        const int ttl = options_.multicastTtl;
        if (IN_MULTICAST(host) && setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
            return failErrno(KIV_ERROR_IO, "multicast TTL");
        // Bound now, so that receivers' requests to our source port find us.
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0)
            return failErrno(KIV_ERROR_IO, "bind UDP sender");
        int probe = 0;
        socklen_t len = sizeof probe;
        const bool gso = options_.allowGso && getsockopt(fd.get(), SOL_UDP, UDP_SEGMENT, &probe, &len) == 0;

        gso_ = gso;
        dest_ = {};
        dest_.sin_family = AF_INET;
        dest_.sin_addr = addr;
        dest_.sin_port = htons(uint16_t(stream));
        fd_ = std::move(fd);
        wake_ = std::move(wake);
        queue_.clear(); // meant for the old destination
        ring_.clear();
        ringBytes_ = 0;
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        return KIV_OK;
    }

    int send(OutgoingFrame &&frame) override {
        if (!thread_.joinable()) return fail(KIV_ERROR_STATE, "no destination set");
        const int64_t now = monotonicUs();
        if (lastHandedUs_ != 0) {
            const int64_t gap = now - lastHandedUs_;
            intervalUs_.store(nextCallerIntervalUs(intervalUs_.load(std::memory_order_relaxed), gap, lastGapUs_), std::memory_order_relaxed);
            lastGapUs_ = gap;
        }
        lastHandedUs_ = now;
        handedUs_.store(now, std::memory_order_relaxed);
        queue_.put(std::move(frame));
        signal();
        return KIV_OK;
    }

    // While the caller is ahead of the sending thread (its last frame still
    // waits), a raw frame is copied, checksummed and protected in one pass on
    // the caller's thread, which leaves the sending thread only the sending:
    // the caller's core helps a transport that cannot keep up. A sending thread
    // that keeps up does that work itself, and kivEncode stays a plain copy.
    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override {
        if (!queue_.frameWaiting()) return SenderTransport::sendFrame(header, payload);
        if (!thread_.joinable()) return fail(KIV_ERROR_STATE, "no destination set");
        if (payload.size() != header.payloadSize) return fail(KIV_ERROR_INVALID_ARGUMENT, "payload size differs from header");
        const size_t chunk = chunkFor(options_.maxDatagram);
        ProtectionTrailer t;
        t.percent = uint32_t(combinedPercent(controls().protectionPercent.load(), wantedPercent_.load()));
        t.chunk = uint32_t(chunk);
        t.magic = ProtectionTrailer::kMagic;
        const FecLayout layout = chooseLayout(uint32_t(fragmentCount(payload.size(), chunk)), int(t.percent));
        const size_t parity = size_t(layout.parityCount()) * chunk;
        OutgoingFrame frame = spare();
        frame.header = header;
        frame.pixels.resize(0); // nothing of the buffer's last frame is kept
        frame.pixels.resize(payload.size() + parity + sizeof t);
        uint8_t *bytes = frame.pixels.data();
        t.checksum = callerCoder_.encode(layout, chunk, payload, {bytes + payload.size(), parity}, bytes);
        std::memcpy(bytes + payload.size() + parity, &t, sizeof t);
        return send(std::move(frame));
    }

    bool gsoActive() const override { return gso_.load(); }

private:
    SenderControls &controls() { return *options_.controls; }

    void signal() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

    void stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            signal();
            thread_.join();
        }
        fd_.reset();
        wake_.reset();
    }

    void run(std::stop_token stop) {
        // Pacing sleeps are tens of microseconds: the default 50 us timer slack
        // would stretch each one and halve the rate.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        OutgoingFrame work;
        while (!stop.stop_requested()) {
            if (!queue_.tryTake(work)) {
                waitUntil(stop, monotonicUs() + 100'000);
                continue;
            }
            if (transmit(stop, work)) {
                ++counters.sent;
                counters.bytes += work.header.payloadSize;
            } else if (!stop.stop_requested()) {
                ++counters.dropped;
            }
        }
    }

    // Sleeps until `untilUs` or a wake-up, answering what receivers send
    // meanwhile; false once stopping.
    bool waitUntil(std::stop_token &stop, int64_t untilUs) {
        for (;;) {
            pollfd p[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            const int64_t left = std::max<int64_t>(untilUs - monotonicUs(), 0);
            const timespec ts{time_t(left / 1'000'000), long(left % 1'000'000) * 1000};
            const int r = ::ppoll(p, 2, &ts, nullptr);
            if (stop.stop_requested()) return false;
            if (r > 0 && (p[1].revents & POLLIN)) {
                uint64_t v;
                [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &v, sizeof v);
                return true; // a new frame may be waiting
            }
            if (r > 0 && (p[0].revents & POLLIN)) serveReceivers();
            if (monotonicUs() >= untilUs) return true;
        }
    }

    // ---- Pacing -----------------------------------------------------------

    // Waits until `bytes` may go out at the pace; false once stopping. A frame
    // that fell behind its schedule (the thread was held up) speeds up to end
    // on time, up to the fastest pace and the caller's cap: losing the next
    // frame to the drop rule would cost more.
    bool pace(std::stop_token &stop, size_t bytes) {
        for (;;) {
            const int64_t now = monotonicUs();
            pacer_.refill(now);
            if (const int64_t handed = handedUs_.load(std::memory_order_relaxed); handed > frameStartUs_ && frameDeadlineUs_ != 0)
                frameDeadlineUs_ = deadlineOnceOvertakenUs(frameDeadlineUs_, handed, intervalUs_.load(std::memory_order_relaxed), now);
            if (frameDeadlineUs_ != 0) {
                const double left = double(frameDeadlineUs_ - now);
                const double needed = left > 1000 ? double(frameBytesLeft_) / left : fastest_;
                pacer_.rate = std::clamp(needed, scheduled_, fastest_);
            }
            // A batch built before the burst shrank goes once the bucket is full.
            const double due = std::min(double(bytes), pacer_.cap);
            if (pacer_.tokens >= due) {
                pacer_.tokens -= double(bytes);
                frameBytesLeft_ -= std::min<uint64_t>(frameBytesLeft_, bytes);
                return true;
            }
            const int64_t waitUs = int64_t((due - pacer_.tokens) / pacer_.rate) + 1;
            if (!waitUntil(stop, now + waitUs)) return false;
            // A frame handed over meanwhile shows the rhythm the first one lacked:
            // what is left of it goes at the rate of the frames to come.
            if (const int64_t interval = intervalUs_.load(std::memory_order_relaxed); firstFrame_ && interval != 0) {
                const double spreadUs = setPace(wireBytes_, interval);
                frameDeadlineUs_ = monotonicUs() + int64_t(spreadUs * double(frameBytesLeft_) / double(wireBytes_));
                // That frame set the pace; it did not overtake this one.
                frameStartUs_ = handedUs_.load(std::memory_order_relaxed);
            }
        }
    }

    // The rate for a frame of `wireBytes` when frames come every `intervalUs`;
    // returns the time it is spread over (0: as fast as it goes).
    double setPace(uint64_t wireBytes, int64_t intervalUs) {
        double rate = double(options_.paceBytesPerSecond);
        double spreadUs = 0;
        frameDeadlineUs_ = 0;
        if (intervalUs > 0) {
            spreadUs = kSpread * double(std::min(intervalUs, kLongestIntervalUs));
            rate = std::min(rate, double(wireBytes) / spreadUs * 1e6);
            frameDeadlineUs_ = frameStartUs_ + int64_t(spreadUs);
        } else {
            rate = std::min(rate, double(kFirstFrameBytesPerSecond));
        }
        fastest_ = double(options_.paceBytesPerSecond);
        if (const uint64_t cap = controls().maxRateBytesPerSecond.load(); cap != 0) {
            rate = std::min(rate, double(cap));
            fastest_ = std::min(fastest_, double(cap));
        }
        rate = std::max(rate, 1000.0);
        fastest_ = std::max(fastest_, rate) / 1e6;
        firstFrame_ = intervalUs <= 0;
        pacer_.rate = scheduled_ = rate / 1e6;
        // Bursts of about 2 ms at this rate: a slow link's queue takes them.
        pacer_.cap = std::clamp(rate * 0.002, 2.0 * double(options_.maxDatagram), double(options_.burstBytes));
        controls().paceBytesPerSecond = uint64_t(rate);
        // Resends: a share of the stream's own rate, averaged over frames.
        const double streamRate = intervalUs > 0 ? double(wireBytes) / double(intervalUs) * 1e6 : rate;
        resendRate_ = resendRate_ == 0 ? streamRate : (resendRate_ * 7 + streamRate) / 8;
        resends_.rate = std::max(resendRate_ * kResendShare, kMinResendBytesPerSecond) / 1e6;
        resends_.cap = resends_.rate * 200'000; // 200 ms worth
        return spreadUs;
    }

    // ---- Sending a frame --------------------------------------------------

    // The parity in use: the caller's floor, raised by the worst loss that
    // receivers reported lately.
    int parityPercent() {
        int wanted = 0;
        const int64_t now = monotonicUs();
        for (const Reporter &r : reporters_) {
            if (now - r.lastUs > kReportLifetimeUs) continue;
            wanted = std::max(wanted, parityPercentForLoss(r.loss, r.parityOnly));
        }
        wantedPercent_ = wanted; // for the frames the caller protects
        return combinedPercent(controls().protectionPercent.load(), wanted);
    }

    // Ring of sent frames, bounded by bytes and by age; the newest stays.
    SentFrame &nextSlot() {
        const int64_t now = monotonicUs();
        while (!ring_.empty() && (ringBytes_ > options_.repairRingBytes || now - ring_.front()->sentUs > options_.repairRingUs)) {
            ringBytes_ -= ring_.front()->bytes();
            spare_ = std::move(ring_.front());
            ring_.pop_front();
        }
        std::unique_ptr<SentFrame> slot = spare_ ? std::move(spare_) : std::make_unique<SentFrame>();
        ring_.push_back(std::move(slot));
        return *ring_.back();
    }

    // Hands every datagram of one frame to the kernel; false if it could not.
    bool transmit(std::stop_token &stop, OutgoingFrame &work) {
        updateImpairments();
        SentFrame &f = nextSlot();
        f.header = work.header;
        const std::optional<CarriedProtection> carried = carriedProtection(work, chunkFor(options_.maxDatagram));
        std::swap(f.payload, work.payloadBuffer()); // the ring's old buffer goes back to the encoder's pool
        f.sentUs = monotonicUs();
        const bool heard = heardUs_ != 0 && f.sentUs - heardUs_ < kHeardLifetimeUs;
        const uint16_t flags = kFlagRepairable | (heard ? kFlagHeard : 0);
        const std::span<const uint8_t> payload(f.payload.data(), f.header.payloadSize);
        // A frame protected as it was copied keeps the percent chosen then.
        const int current = parityPercent(); // also brings the caller's view of the reports up to date
        const int percent = carried ? carried->percent : current;
        if (carried)
            f.packer.pack(f.header, payload, options_.maxDatagram, carried->protection, flags);
        else
            f.packer.pack(f.header, payload, options_.maxDatagram, percent, flags);
        controls().parityPercent = uint64_t(percent);
        f.resentUs.assign(f.packer.count(), 0);
        ringBytes_ += f.bytes();
        session_ = f.header.sessionId;

        plan_.clear();
        uint64_t wireBytes = 0;
        for (size_t i = 0; i != f.packer.count(); ++i) {
            const size_t bytes = kDatagramHeaderSize + f.packer.body(i).size();
            wireBytes += bytes;
            for (int n = forward_.next(); n > 0; --n) plan_.push_back(uint32_t(i));
        }
        wireBytes_ = frameBytesLeft_ = wireBytes;
        frameStartUs_ = monotonicUs();
        // The caller's rhythm as of the newest frame, which this one is.
        setPace(wireBytes, intervalUs_.load(std::memory_order_relaxed));
        return sendPlanned(stop, f);
    }

    bool sendPlanned(std::stop_token &stop, const SentFrame &f) {
        // A frame is abandoned once the socket has taken nothing for this long.
        constexpr int64_t kStallUs = 2'000'000;
        int64_t deadline = monotonicUs() + kStallUs;
        size_t next = 0;
        while (next < plan_.size()) {
            unsentFrom_ = plan_[next];
            if (stop.stop_requested()) return false;
            const bool gso = gso_.load(std::memory_order_relaxed);
            const size_t perMessage = gso ? std::min(kMaxGsoSegments, kMaxDatagram / options_.maxDatagram) : 1;
            // One batch: as many datagrams as the burst allows, at least one.
            const size_t burstDatagrams = std::max<size_t>(1, size_t(pacer_.cap) / options_.maxDatagram);
            const size_t batch = std::min({plan_.size() - next, burstDatagrams, kMaxBatchMessages * perMessage});
            const size_t taken = build(frameBatch_, f.packer, std::span(plan_).subspan(next, batch), perMessage, gso, 0);
            if (!pace(stop, batchBytes(frameBatch_))) return false;

            const int rc = sendBatch(frameBatch_, deadline);
            if (rc < 0) return false;
            if (rc == 0) continue; // GSO refused: the same datagrams again, one by one
            next += taken;
            // A frame catching up never sleeps: requests are answered between its batches all the same.
            serveReceivers();
        }
        unsentFrom_ = f.packer.count();
        return true;
    }

    static size_t batchBytes(const Batch &b) {
        size_t bytes = 0;
        for (size_t m = 0; m < b.messages; ++m)
            for (size_t k = 0; k < b.msgs[m].msg_hdr.msg_iovlen; ++k) bytes += b.msgs[m].msg_hdr.msg_iov[k].iov_len;
        return bytes;
    }

    // Sends the messages build() prepared: 1 when all went, 0 when GSO must be
    // turned off and the batch built again, -1 when the frame is lost.
    int sendBatch(Batch &b, int64_t &deadline) {
        std::span<mmsghdr> unsent(b.msgs.data(), b.messages);
        while (!unsent.empty()) {
            const int r = ::sendmmsg(fd_.get(), unsent.data(), unsigned(unsent.size()), 0);
            if (r > 0) {
                unsent = unsent.subspan(size_t(r));
                deadline = monotonicUs() + 2'000'000;
                continue;
            }
            const int err = errno;
            if (err == EINTR) continue;
            if (monotonicUs() > deadline) return -1;
            if (wouldBlock(err)) {
                pollfd p{fd_.get(), POLLOUT, 0};
                ::poll(&p, 1, 50);
                continue;
            }
            if (err == ENOBUFS) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            if (gso_.load() && (err == EIO || err == EINVAL || err == EMSGSIZE || err == EOPNOTSUPP || err == ENOPROTOOPT)) {
                // The route cannot segment for us (EMSGSIZE: its MTU is below our datagrams,
                // which the IP layer still fragments): send datagram by datagram from here on.
                // A receiver ignores any duplicates of what went already.
                gso_ = false;
                return 0;
            }
            return -1; // unreachable network and the like
        }
        return 1;
    }

    // Fills `b` for the datagrams `indices` of `packer`; returns the number of
    // datagrams its messages carry. A GSO message ends after a short datagram:
    // only the last segment may be shorter. With `flags`, each datagram gets a
    // header of its own with them added.
    size_t build(Batch &b, const FramePacker &packer, std::span<const uint32_t> indices, size_t perMessage, bool gso,
                 uint16_t flags) {
        const size_t n = indices.size();
        b.msgs.assign(n, mmsghdr{});
        b.iov.resize(n * 2);
        b.control.assign(n * CMSG_SPACE(sizeof(uint16_t)), 0);
        if (flags) b.headers.resize(n * kDatagramHeaderSize);
        size_t messages = 0, taken = 0;
        while (taken < n) {
            iovec *iov = b.iov.data() + taken * 2;
            size_t segs = 0;
            while (taken < n && segs < perMessage) {
                const size_t i = indices[taken];
                const auto bytes = packer.body(i);
                const uint8_t *header = packer.header(i).data();
                if (flags) {
                    uint8_t *own = b.headers.data() + taken * kDatagramHeaderSize;
                    std::memcpy(own, header, kDatagramHeaderSize);
                    own[6] |= uint8_t(flags); // the flags field, little-endian
                    header = own;
                }
                iov[2 * segs] = {const_cast<uint8_t *>(header), kDatagramHeaderSize};
                iov[2 * segs + 1] = {const_cast<uint8_t *>(bytes.data()), bytes.size()};
                ++segs;
                ++taken;
                if (bytes.size() + kDatagramHeaderSize < options_.maxDatagram) break;
            }
            msghdr &h = b.msgs[messages].msg_hdr;
            h.msg_name = &dest_;
            h.msg_namelen = sizeof dest_;
            h.msg_iov = iov;
            h.msg_iovlen = segs * 2;
            if (gso && segs > 1) {
                h.msg_control = b.control.data() + messages * CMSG_SPACE(sizeof(uint16_t));
                h.msg_controllen = CMSG_SPACE(sizeof(uint16_t));
                cmsghdr *c = CMSG_FIRSTHDR(&h);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const uint16_t segment = uint16_t(options_.maxDatagram);
                std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
            }
            ++messages;
        }
        b.messages = messages;
        return taken;
    }

    void updateImpairments() {
        kivImpairment i;
        if (controls().takeImpairment(false, i)) forward_.reset(i);
        if (controls().takeImpairment(true, i)) back_.reset(i);
    }

    // ---- What receivers send back ----------------------------------------

    void serveReceivers() {
        updateImpairments();
        uint8_t buffer[kMaxControlSize + 1];
        for (int round = 0; round < 64; ++round) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = ::recvfrom(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr *>(&from), &fromLen);
            if (n < 0) return;
            const std::span<const uint8_t> bytes(buffer, size_t(n));
            for (int copies = back_.next(); copies > 0; --copies) {
                RepairRequest request;
                LossReport report;
                if (parseRequest(bytes, request) == ControlError::None && session_ != 0 && request.session == session_) {
                    heardUs_ = monotonicUs();
                    answer(request);
                } else if (parseReport(bytes, report) == ControlError::None && session_ != 0 &&
                           report.session == session_) {
                    heardUs_ = monotonicUs();
                    note(from, report);
                } else {
                    ++controls().requestsRefused;
                }
            }
        }
    }

    void answer(const RepairRequest &request) {
        SentFrame *frame = nullptr;
        for (const auto &f : ring_)
            if (f->header.frameNumber == request.frameNumber) frame = f.get();
        if (!frame) {
            ++controls().requestsRefused;
            return;
        }
        ++controls().requestsAccepted;
        const int64_t now = monotonicUs();
        resends_.refill(now);
        resendPlan_.clear();
        // Of the frame going out, only what went already: the rest is on its way.
        const size_t count = frame == ring_.back().get() ? unsentFrom_ : frame->packer.count();
        for (const FragmentRange &r : request.used()) {
            const uint64_t end = std::min<uint64_t>(uint64_t(r.first) + r.count, count);
            for (uint64_t i = r.first; i < end; ++i) {
                if (frame->resentUs[i] != 0 && now - frame->resentUs[i] < kResendGapUs) continue;
                const double bytes = double(kDatagramHeaderSize + frame->packer.body(i).size());
                if (resends_.tokens < bytes) {
                    ++controls().resendsOverBudget;
                    continue;
                }
                resends_.tokens -= bytes;
                frame->resentUs[i] = now;
                for (int n = forward_.next(); n > 0; --n) resendPlan_.push_back(uint32_t(i));
                ++controls().datagramsResent;
            }
        }
        // Repairs go to the stream's own destination, never to the requester.
        for (size_t next = 0; next < resendPlan_.size();) {
            const size_t batch = std::min(resendPlan_.size() - next, kMaxBatchMessages);
            next += build(repairBatch_, frame->packer, std::span(resendPlan_).subspan(next, batch), 1, false, kFlagResent);
            int64_t deadline = monotonicUs() + 100'000;
            if (sendBatch(repairBatch_, deadline) < 0) return;
        }
    }

    void note(const sockaddr_in &from, const LossReport &report) {
        ++controls().reportsAccepted;
        const Source source{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
        const int64_t now = monotonicUs();
        auto it = std::find_if(reporters_.begin(), reporters_.end(), [&](const Reporter &r) { return r.source == source; });
        if (it == reporters_.end()) {
            if (reporters_.size() == kMaxReporters) {
                // The one heard from longest ago makes way.
                it = std::min_element(reporters_.begin(), reporters_.end(),
                                      [](const Reporter &a, const Reporter &b) { return a.lastUs < b.lastUs; });
                *it = Reporter{source};
            } else {
                it = reporters_.insert(reporters_.end(), Reporter{source});
            }
        }
        // A report of few datagrams weighs little.
        const double loss = double(report.lost) / double(report.expected);
        const double weight = std::min(1.0, double(report.expected) / 500.0) * 0.5;
        it->loss = it->lastUs == 0 ? loss : it->loss * (1 - weight) + loss * weight;
        it->lastUs = now;
        it->parityOnly = report.parityOnly;
    }

    SenderOptions options_;
    UniqueFd fd_;
    UniqueFd wake_; // eventfd: a frame was handed over, or stop
    sockaddr_in dest_{};
    std::atomic<bool> gso_{false};

    // The caller's thread.
    int64_t lastHandedUs_ = 0; // when the caller last handed a frame over
    int64_t lastGapUs_ = 0;
    std::atomic<int64_t> intervalUs_{0}; // the caller's rhythm; read by the sending thread while a frame goes out
    std::atomic<int64_t> handedUs_{0};
    BlockCoder callerCoder_;            // frames protected as they are copied
    std::atomic<int> wantedPercent_{0}; // parity receivers' reports ask for, set by the sending thread

    // Owned by the sending thread.
    TokenBucket pacer_, resends_;
    double resendRate_ = 0; // bytes per second
    uint64_t wireBytes_ = 0; // of the frame going out
    size_t unsentFrom_ = 0;  // its first datagram not yet handed to the kernel
    int64_t heardUs_ = 0;    // when a receiver's request or report last came
    uint64_t frameBytesLeft_ = 0;
    int64_t frameStartUs_ = 0, frameDeadlineUs_ = 0; // when it should be out, 0 for no schedule
    double scheduled_ = 0, fastest_ = 0;             // its rate, and the most it may catch up at (bytes/us)
    bool firstFrame_ = false;
    std::deque<std::unique_ptr<SentFrame>> ring_;
    std::unique_ptr<SentFrame> spare_;
    uint64_t ringBytes_ = 0;
    uint64_t session_ = 0; // of the frames sent; 0 (never a session id) before the first
    Batch frameBatch_, repairBatch_; // repairs go out between a frame's batches
    std::vector<uint32_t> plan_, resendPlan_;
    Impairer forward_, back_;
    struct Reporter {
        Source source;
        double loss = 0;
        int64_t lastUs = 0;
        bool parityOnly = false;
    };
    std::vector<Reporter> reporters_;

    std::jthread thread_; // last: stopped before the members it uses go
};

} // namespace

std::unique_ptr<UdpSenderTransport> makeSender(SenderOptions options) {
    return std::make_unique<UdpSender>(std::move(options));
}

} // namespace kiv::udp
