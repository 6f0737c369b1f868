// UDP sending end: kivEncode leaves the frame in a one-frame mailbox; a thread
// of our own cuts it into datagrams, adds parity and paces them out, with GSO
// where the route takes it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "../errors.hpp"
#include "../util/mailbox.hpp"
#include "../util/unique_fd.hpp"
#include "udp.hpp"
#include "udp_socket.hpp"

namespace kiv::udp {
namespace {

using namespace std::chrono_literals;

// The largest number of segments one GSO send may carry on older kernels.
constexpr size_t kMaxGsoSegments = 64;

struct OutgoingFrame {
    WireHeader header;
    std::vector<uint8_t> payload;
};


class UdpSender final : public SenderTransport {
public:
    explicit UdpSender(const SenderOptions &options) : options_(options) {
        // No larger than our receivers take, or every frame would be refused.
        options_.maxDatagram = std::clamp(options_.maxDatagram, kDatagramHeaderSize + 1, kMaxReceivedDatagram);
    }
    ~UdpSender() override { stop(); }

    int open(const std::string &address, int stream) override {
        in_addr addr{};
        if (inet_pton(AF_INET, address.c_str(), &addr) != 1)
            return fail(KIV_ERROR_ADDRESS, "'" + address + "' is not an IPv4 address");
        const uint32_t host = ntohl(addr.s_addr);
        if (host == INADDR_ANY || host == INADDR_BROADCAST)
            return fail(KIV_ERROR_ADDRESS, "'" + address + "' is not a destination");

        stop();
        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) return failErrno(KIV_ERROR_IO, "UDP socket");
        bool capped = false;
        growBuffer(fd.get(), SO_SNDBUF, SO_SNDBUFFORCE, options_.sendBufferBytes, capped);
        // Receivers on this host get a multicast stream too: Linux loops it back by default.
        const int ttl = options_.multicastTtl;
        if (IN_MULTICAST(host) && setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
            return failErrno(KIV_ERROR_IO, "multicast TTL");
        int probe = 0;
        socklen_t len = sizeof probe;
        gso_ = options_.allowGso && getsockopt(fd.get(), SOL_UDP, UDP_SEGMENT, &probe, &len) == 0;

        dest_ = {};
        dest_.sin_family = AF_INET;
        dest_.sin_addr = addr;
        dest_.sin_port = htons(uint16_t(stream));
        fd_ = std::move(fd);
        outbox_.clear(); // meant for the old destination
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        return KIV_OK;
    }

    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override {
        if (!thread_.joinable()) return fail(KIV_ERROR_STATE, "no destination set");
        if (payload.size() != header.payloadSize) return fail(KIV_ERROR_INVALID_ARGUMENT, "payload size mismatch");
        OutgoingFrame frame = outbox_.spare();
        frame.header = header;
        frame.payload.assign(payload.begin(), payload.end()); // outside any lock the sending thread takes
        outbox_.put(std::move(frame));
        return KIV_OK;
    }

    bool gso() const { return gso_.load(); }

    int setProtection(int percent) override {
        protection_ = std::clamp(percent, 0, 100);
        return KIV_OK;
    }

    int setImpairment(const kivImpairment &impairment) override {
        std::lock_guard lock(mutex_);
        impairment_ = impairment;
        impairmentChanged_ = true;
        return KIV_OK;
    }

private:
    void stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
        fd_.reset();
    }

    void run(std::stop_token stop) {
        // Pacing sleeps are tens of microseconds: the default 50 us timer slack
        // would stretch each one and halve the rate.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        OutgoingFrame work;
        while (outbox_.take(work, stop)) {
            if (transmit(stop, work.header, work.payload)) {
                ++counters.sent;
                counters.bytes += work.header.payloadSize;
            } else if (!stop.stop_requested()) {
                ++counters.dropped;
            }
        }
    }

    // Waits until `bytes` may go out without exceeding the pace.
    bool pace(std::stop_token &stop, size_t bytes) {
        const double rate = double(options_.paceBytesPerSecond) / 1e6; // bytes per microsecond
        const double cap = double(std::max<uint64_t>(options_.burstBytes, bytes));
        for (;;) {
            const int64_t now = monotonicUs();
            tokens_ = std::min(cap, tokens_ + double(now - lastRefillUs_) * rate);
            lastRefillUs_ = now;
            if (tokens_ >= double(bytes)) {
                tokens_ -= double(bytes);
                return true;
            }
            const auto waitUs = std::chrono::microseconds(int64_t((double(bytes) - tokens_) / rate) + 1);
            std::unique_lock lock(paceMutex_);
            const bool woken = paceWake_.wait_for(lock, stop, waitUs, [] { return false; });
            if (woken || stop.stop_requested()) return false;
        }
    }

    // Which datagrams go out, in order: all of them, unless the impairment drops
    // or repeats some.
    void planDatagrams(size_t total) {
        {
            std::lock_guard lock(mutex_);
            if (impairmentChanged_) {
                run_ = {impairment_, std::mt19937_64(impairment_.seed)};
                impairmentChanged_ = false;
            }
        }
        const kivImpairment &im = run_.settings;
        const uint32_t burst = std::max<uint32_t>(im.burstLength, 1);
        plan_.clear();
        for (size_t i = 0; i < total; ++i) {
            if (im.lossPerMillion) {
                if (run_.lossRunLeft == 0 && run_.rng() % (1'000'000ull * burst) < im.lossPerMillion) run_.lossRunLeft = burst;
                if (run_.lossRunLeft > 0) {
                    --run_.lossRunLeft;
                    continue;
                }
            }
            plan_.push_back(uint32_t(i));
            if (im.duplicatePerMillion && run_.rng() % 1'000'000 < im.duplicatePerMillion) plan_.push_back(uint32_t(i));
        }
    }

    // Hands every datagram of one frame to the kernel; false if it could not.
    bool transmit(std::stop_token &stop, const WireHeader &header, const std::vector<uint8_t> &payload) {
        packer_.pack(header, payload, options_.maxDatagram, protection_.load(std::memory_order_relaxed));
        planDatagrams(packer_.count());

        // A frame is abandoned once the socket has taken nothing for this long.
        constexpr int64_t kStallUs = 2'000'000;
        int64_t deadline = monotonicUs() + kStallUs;
        size_t next = 0;
        while (next < plan_.size()) {
            if (stop.stop_requested()) return false;
            const bool gso = gso_.load(std::memory_order_relaxed);
            const size_t perMessage = gso ? std::min(kMaxGsoSegments, kMaxDatagram / options_.maxDatagram) : 1;
            // One batch: as many datagrams as the burst allows, at least one.
            const size_t burstDatagrams = std::max<size_t>(1, options_.burstBytes / options_.maxDatagram);
            const size_t batch = std::min({plan_.size() - next, burstDatagrams, kMaxBatchMessages * perMessage});
            const auto [messages, taken] = build(next, batch, perMessage, gso);
            size_t bytes = 0;
            for (size_t m = 0; m < messages; ++m)
                for (size_t k = 0; k < msgs_[m].msg_hdr.msg_iovlen; ++k) bytes += msgs_[m].msg_hdr.msg_iov[k].iov_len;
            if (!pace(stop, bytes)) return false;

            std::span<mmsghdr> unsent(msgs_.data(), messages);
            while (!unsent.empty()) {
                const int r = ::sendmmsg(fd_.get(), unsent.data(), unsigned(unsent.size()), 0);
                if (r > 0) {
                    unsent = unsent.subspan(size_t(r));
                    deadline = monotonicUs() + kStallUs;
                    continue;
                }
                const int err = errno;
                if (err == EINTR) continue;
                if (stop.stop_requested() || monotonicUs() > deadline) return false;
                if (wouldBlock(err)) {
                    pollfd p{fd_.get(), POLLOUT, 0};
                    ::poll(&p, 1, 50);
                    continue;
                }
                if (err == ENOBUFS) {
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                if (gso && (err == EIO || err == EINVAL || err == EMSGSIZE || err == EOPNOTSUPP || err == ENOPROTOOPT)) {
                    // The route cannot segment for us (EMSGSIZE: its MTU is below our datagrams,
                    // which the IP layer still fragments): send datagram by datagram from here on.
                    gso_ = false;
                    break;
                }
                return false; // unreachable network and the like: the frame is lost
            }
            if (!unsent.empty()) {
                // Resend this batch without GSO; a receiver ignores any duplicates.
                continue;
            }
            next += taken;
        }
        return true;
    }

    // Fills msgs_ for up to n planned datagrams from plan_[first]; returns the
    // number of messages and of datagrams they carry. A GSO message ends after
    // a short datagram: only the last segment may be shorter.
    std::pair<size_t, size_t> build(size_t first, size_t n, size_t perMessage, bool gso) {
        msgs_.assign(n, mmsghdr{});
        iov_.resize(n * 2);
        control_.assign(n * CMSG_SPACE(sizeof(uint16_t)), 0);
        size_t messages = 0, taken = 0;
        while (taken < n) {
            iovec *iov = iov_.data() + taken * 2;
            size_t segs = 0;
            while (taken < n && segs < perMessage) {
                const size_t i = plan_[first + taken];
                const auto bytes = packer_.body(i);
                iov[2 * segs] = {const_cast<uint8_t *>(packer_.header(i).data()), kDatagramHeaderSize};
                iov[2 * segs + 1] = {const_cast<uint8_t *>(bytes.data()), bytes.size()};
                ++segs;
                ++taken;
                if (bytes.size() + kDatagramHeaderSize < options_.maxDatagram) break;
            }
            msghdr &h = msgs_[messages].msg_hdr;
            h.msg_name = &dest_;
            h.msg_namelen = sizeof dest_;
            h.msg_iov = iov;
            h.msg_iovlen = segs * 2;
            if (gso && segs > 1) {
                h.msg_control = control_.data() + messages * CMSG_SPACE(sizeof(uint16_t));
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
        return {messages, taken};
    }

    static constexpr size_t kMaxBatchMessages = 64;

    SenderOptions options_;
    UniqueFd fd_;
    sockaddr_in dest_{};
    std::atomic<bool> gso_{false};

    Mailbox<OutgoingFrame> outbox_{counters.dropped};
    std::mutex mutex_; // guards the impairment settings
    std::mutex paceMutex_;
    std::condition_variable_any paceWake_; // never notified: an interruptible sleep

    // Owned by the sending thread.
    double tokens_ = 0;
    int64_t lastRefillUs_ = 0; // long ago: the first refill fills the bucket
    std::vector<mmsghdr> msgs_;
    std::vector<iovec> iov_;
    std::vector<uint8_t> control_;
    FramePacker packer_;
    std::vector<uint32_t> plan_;
    // The impairment in force and where its random losses stand; a new one starts afresh.
    struct ImpairmentRun {
        kivImpairment settings{};
        std::mt19937_64 rng;
        uint32_t lossRunLeft = 0;
    } run_;

    std::atomic<int> protection_{KIV_FEC_DEFAULT_PERCENT};
    kivImpairment impairment_{}; // guarded by mutex_
    bool impairmentChanged_ = false;

    std::jthread thread_; // last: stopped before the members it uses go
};

} // namespace

std::unique_ptr<SenderTransport> makeSender(const SenderOptions &options) {
    return std::make_unique<UdpSender>(options);
}

bool gsoActive(const SenderTransport &sender) {
    const auto *s = dynamic_cast<const UdpSender *>(&sender);
    return s && s->gso();
}

} // namespace kiv::udp
