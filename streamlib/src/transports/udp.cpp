#include "udp.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "../errors.hpp"
#include "../util/unique_fd.hpp"

namespace kiv::udp {
namespace {

using namespace std::chrono_literals;

int64_t monotonicUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sets a socket buffer as close to `wanted` as the kernel allows. SO_*BUFFORCE
// passes net.core.[rw]mem_max for a privileged process; others get the cap.
// Returns the size granted (the kernel reports twice what it accounts for).
int growBuffer(int fd, int option, int forceOption, int wanted, bool &capped) {
    auto granted = [&] {
        int v = 0;
        socklen_t len = sizeof v;
        getsockopt(fd, SOL_SOCKET, option, &v, &len);
        return v / 2;
    };
    setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted);
    if (granted() < wanted) setsockopt(fd, SOL_SOCKET, forceOption, &wanted, sizeof wanted);
    const int got = granted();
    capped = got < wanted;
    return got;
}

// The largest number of segments one GSO send may carry on older kernels.
constexpr size_t kMaxGsoSegments = 64;

// ---------------------------------------------------------------- sender

class UdpSender final : public SenderTransport {
public:
    explicit UdpSender(const SenderOptions &options) : options_(options) {
        options_.maxDatagram = std::clamp(options_.maxDatagram, kDatagramHeaderSize + 1, kMaxDatagram);
    }
    ~UdpSender() override { stop(); }

    int open(const std::string &address, int stream) override {
        in_addr addr{};
        if (inet_pton(AF_INET, address.c_str(), &addr) != 1)
            return fail(KIV_ERROR_ADDRESS, "'" + address + "' is not an IPv4 address");
        const uint32_t host = ntohl(addr.s_addr);
        if (host == INADDR_ANY || host == INADDR_BROADCAST)
            return fail(KIV_ERROR_ADDRESS, "'" + address + "' is not a destination");
        if (stream < 1 || stream > 65535) return fail(KIV_ERROR_INVALID_ARGUMENT, "stream must be 1..65535");

        stop();
        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) return failErrno(KIV_ERROR_IO, "UDP socket");
        bool capped = false;
        growBuffer(fd.get(), SO_SNDBUF, SO_SNDBUFFORCE, options_.sendBufferBytes, capped);
        if (IN_MULTICAST(host)) {
            const int ttl = options_.multicastTtl;
            const int loop = 1; // receivers on this host get the stream too
            if (setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
                setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
                return failErrno(KIV_ERROR_IO, "multicast options");
        }
        int probe = 0;
        socklen_t len = sizeof probe;
        gso_ = options_.allowGso && getsockopt(fd.get(), SOL_UDP, UDP_SEGMENT, &probe, &len) == 0;

        dest_ = {};
        dest_.sin_family = AF_INET;
        dest_.sin_addr = addr;
        dest_.sin_port = htons(uint16_t(stream));
        fd_ = std::move(fd);
        {
            std::lock_guard lock(mutex_);
            hasPending_ = false;
        }
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        return KIV_OK;
    }

    int sendFrame(const WireHeader &header, std::span<const uint8_t> payload) override {
        if (!thread_.joinable()) return fail(KIV_ERROR_STATE, "no destination set");
        if (payload.size() != header.payloadSize) return fail(KIV_ERROR_INVALID_ARGUMENT, "payload size mismatch");
        // Copied before taking the lock: the sending thread needs it between bursts.
        callerSpare_.assign(payload.begin(), payload.end());
        {
            std::lock_guard lock(mutex_);
            if (hasPending_) ++counters.dropped;
            pendingHeader_ = header;
            std::swap(pending_, callerSpare_);
            hasPending_ = true;
        }
        ready_.notify_one();
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
        WireHeader header;
        std::vector<uint8_t> work;
        tokens_ = double(options_.burstBytes);
        lastRefillUs_ = monotonicUs();
        while (!stop.stop_requested()) {
            {
                std::unique_lock lock(mutex_);
                if (!ready_.wait_for(lock, stop, 200ms, [&] { return hasPending_; })) continue;
                std::swap(work, pending_); // both allocations stay for reuse
                header = pendingHeader_;
                hasPending_ = false;
            }
            if (transmit(stop, header, work)) {
                ++counters.sent;
                counters.bytes += header.payloadSize;
            } else if (!stop.stop_requested()) {
                ++counters.dropped;
            }
        }
    }

    // Waits until `bytes` may go out without exceeding the pace.
    bool pace(std::stop_token &stop, size_t bytes) {
        if (options_.paceBytesPerSecond == 0) return true;
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
                activeImpairment_ = impairment_;
                rng_.seed(impairment_.seed);
                lossRunLeft_ = 0;
                impairmentChanged_ = false;
            }
        }
        const kivImpairment &im = activeImpairment_;
        const uint32_t burst = std::max<uint32_t>(im.burstLength, 1);
        plan_.clear();
        for (size_t i = 0; i < total; ++i) {
            if (im.lossPerMillion) {
                if (lossRunLeft_ == 0 && rng_() % (1'000'000ull * burst) < im.lossPerMillion) lossRunLeft_ = burst;
                if (lossRunLeft_ > 0) {
                    --lossRunLeft_;
                    continue;
                }
            }
            plan_.push_back(uint32_t(i));
            if (im.duplicatePerMillion && rng_() % 1'000'000 < im.duplicatePerMillion) plan_.push_back(uint32_t(i));
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
            const size_t burstDatagrams = std::max<size_t>(
                1, options_.paceBytesPerSecond ? options_.burstBytes / options_.maxDatagram : plan_.size());
            const size_t batch = std::min({plan_.size() - next, burstDatagrams, kMaxBatchMessages * perMessage});
            const auto [messages, taken] = build(next, batch, perMessage, gso);
            size_t bytes = 0;
            for (size_t m = 0; m < messages; ++m)
                for (size_t k = 0; k < msgs_[m].msg_hdr.msg_iovlen; ++k) bytes += msgs_[m].msg_hdr.msg_iov[k].iov_len;
            if (!pace(stop, bytes)) return false;

            size_t sentMessages = 0;
            while (sentMessages < messages) {
                const int r = ::sendmmsg(fd_.get(), msgs_.data() + sentMessages, unsigned(messages - sentMessages), 0);
                if (r > 0) {
                    sentMessages += size_t(r);
                    deadline = monotonicUs() + kStallUs;
                    continue;
                }
                const int err = errno;
                if (err == EINTR) continue;
                if (stop.stop_requested() || monotonicUs() > deadline) return false;
                if (err == EAGAIN || err == EWOULDBLOCK) {
                    pollfd p{fd_.get(), POLLOUT, 0};
                    ::poll(&p, 1, 50);
                    continue;
                }
                if (err == ENOBUFS) {
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                if (gso && (err == EIO || err == EINVAL || err == EOPNOTSUPP || err == ENOPROTOOPT)) {
                    // The route cannot segment for us: send datagram by datagram from here on.
                    gso_ = false;
                    break;
                }
                return false; // unreachable network and the like: the frame is lost
            }
            if (sentMessages < messages) {
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

    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::mutex paceMutex_;
    std::condition_variable_any paceWake_; // never notified: an interruptible sleep
    std::vector<uint8_t> callerSpare_;      // sendFrame's, called by one thread at a time
    bool hasPending_ = false;
    WireHeader pendingHeader_;
    std::vector<uint8_t> pending_;

    // Owned by the sending thread.
    double tokens_ = 0;
    int64_t lastRefillUs_ = 0;
    std::vector<mmsghdr> msgs_;
    std::vector<iovec> iov_;
    std::vector<uint8_t> control_;
    FramePacker packer_;
    std::vector<uint32_t> plan_;
    kivImpairment activeImpairment_{};
    std::mt19937_64 rng_;
    uint32_t lossRunLeft_ = 0;

    std::atomic<int> protection_{KIV_FEC_DEFAULT_PERCENT};
    kivImpairment impairment_{}; // guarded by mutex_
    bool impairmentChanged_ = false;

    std::jthread thread_; // last: stopped before the members it uses go
};

// ---------------------------------------------------------------- receiver

class UdpReceiver final : public ReceiverTransport {
public:
    UdpReceiver(FrameSink &sink, const ReceiverOptions &options)
        : sink_(sink), options_(options), reassembler_(sink, options.limits) {}
    ~UdpReceiver() override {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }

    int start(int stream) override {
        if (thread_.joinable()) return fail(KIV_ERROR_STATE, "UDP receiver already started");
        if (stream < 1 || stream > 65535) return fail(KIV_ERROR_INVALID_ARGUMENT, "stream must be 1..65535");
        const std::string groupText = multicastGroup();
        in_addr group{};
        if (inet_pton(AF_INET, groupText.c_str(), &group) != 1 || !IN_MULTICAST(ntohl(group.s_addr)))
            return fail(KIV_ERROR_ADDRESS, "multicast group '" + groupText + "' is not an IPv4 multicast address");

        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) return failErrno(KIV_ERROR_IO, "UDP socket");
        const int on = 1, off = 0;
        // Several receivers of one stream may share a host, but only of this user:
        // SO_REUSEPORT is tied to the user id, where SO_REUSEADDR would let any
        // other user bind the port too and take the unicast datagrams.
        if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
            return failErrno(KIV_ERROR_IO, "SO_REUSEPORT");
        // Only the group joined here, not every group some other socket joined on this port.
        setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
        info_.receiveBufferBytes = growBuffer(fd.get(), SO_RCVBUF, SO_RCVBUFFORCE, options_.receiveBufferBytes,
                                              info_.receiveBufferCapped);
        info_.groActive = options_.allowGro && setsockopt(fd.get(), SOL_UDP, UDP_GRO, &on, sizeof on) == 0;

        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(uint16_t(stream));
        if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            const int code = errno == EADDRINUSE ? KIV_ERROR_BUSY : errno == EACCES ? KIV_ERROR_PERMISSION : KIV_ERROR_IO;
            return failErrno(code, "bind UDP port " + std::to_string(stream));
        }
        info_.groupsJoined = joinEverywhere(fd.get(), group);

        fd_ = std::move(fd);
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        return KIV_OK;
    }

    ReceiverInfo info() const { return info_; }
    ReceiveBuffer receiveBuffer() const override {
        return {uint32_t(options_.receiveBufferBytes), uint32_t(info_.receiveBufferBytes)};
    }

private:
    // Joins on every interface that is up and can do multicast; returns how many took it.
    static int joinEverywhere(int fd, in_addr group) {
        ifaddrs *list = nullptr;
        if (getifaddrs(&list) != 0) return 0;
        std::vector<unsigned> done;
        int joined = 0;
        for (ifaddrs *a = list; a; a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
            if (!(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_MULTICAST)) continue;
            const unsigned index = if_nametoindex(a->ifa_name);
            if (index == 0 || std::find(done.begin(), done.end(), index) != done.end()) continue;
            done.push_back(index);
            ip_mreqn req{};
            req.imr_multiaddr = group;
            req.imr_ifindex = int(index);
            if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0) ++joined;
        }
        freeifaddrs(list);
        return joined;
    }

    void run(std::stop_token stop) {
        const size_t slots = info_.groActive ? 16 : 64;
        const size_t slotBytes = info_.groActive ? 65536 : kMaxReceivedDatagram + 1;
        std::vector<uint8_t> buffers(slots * slotBytes);
        std::vector<mmsghdr> msgs(slots);
        std::vector<iovec> iov(slots);
        std::vector<sockaddr_in> from(slots);
        constexpr size_t kControl = CMSG_SPACE(sizeof(int)) + 64;
        std::vector<uint8_t> control(slots * kControl);
        int64_t lastExpire = monotonicUs();

        while (!stop.stop_requested()) {
            pollfd p{fd_.get(), POLLIN, 0};
            ::poll(&p, 1, 50);
            // Drain what is there, but come back to the clock and the stop flag now and then.
            for (int round = 0; round < 64 && !stop.stop_requested(); ++round) {
                for (size_t i = 0; i < slots; ++i) {
                    iov[i] = {buffers.data() + i * slotBytes, slotBytes};
                    msghdr &h = msgs[i].msg_hdr;
                    h = {};
                    h.msg_name = &from[i];
                    h.msg_namelen = sizeof from[i];
                    h.msg_iov = &iov[i];
                    h.msg_iovlen = 1;
                    h.msg_control = control.data() + i * kControl;
                    h.msg_controllen = kControl;
                }
                const int n = ::recvmmsg(fd_.get(), msgs.data(), unsigned(slots), MSG_DONTWAIT, nullptr);
                if (n <= 0) break;
                const int64_t now = monotonicUs();
                for (int i = 0; i < n; ++i) {
                    msghdr &h = msgs[size_t(i)].msg_hdr;
                    size_t segment = 0;
                    for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
                        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                            int v = 0;
                            std::memcpy(&v, CMSG_DATA(c), sizeof v);
                            segment = v > 0 ? size_t(v) : 0;
                        }
                    }
                    if (h.msg_flags & MSG_TRUNC) {
                        sink_.countMalformed();
                        continue;
                    }
                    const Source source{ntohl(from[size_t(i)].sin_addr.s_addr), ntohs(from[size_t(i)].sin_port)};
                    const std::span<const uint8_t> bytes(static_cast<const uint8_t *>(iov[size_t(i)].iov_base),
                                                         msgs[size_t(i)].msg_len);
                    if (segment == 0 || segment > bytes.size()) segment = std::max<size_t>(bytes.size(), 1);
                    // A GRO batch holds several datagrams of one sender, each `segment` long but the last.
                    size_t off = 0;
                    do {
                        const auto one = bytes.subspan(off, std::min(segment, bytes.size() - off));
                        if (one.size() > kMaxReceivedDatagram)
                            sink_.countMalformed();
                        else
                            reassembler_.feed(source, one, now);
                        off += segment;
                    } while (off < bytes.size());
                }
                if (size_t(n) < slots) break;
            }
            const int64_t now = monotonicUs();
            if (now - lastExpire >= 50'000) {
                reassembler_.expire(now);
                lastExpire = now;
            }
        }
    }

    FrameSink &sink_;
    const ReceiverOptions options_;
    Reassembler reassembler_; // used by the receiving thread only
    UniqueFd fd_;
    ReceiverInfo info_;
    std::jthread thread_; // last: stopped before the members it uses go
};

} // namespace

std::string multicastGroup() {
    const char *env = std::getenv("KIVSTREAM_MULTICAST_GROUP");
    return env && *env ? std::string(env) : std::string(KIV_MULTICAST_GROUP);
}

std::unique_ptr<SenderTransport> makeSender(const SenderOptions &options) {
    return std::make_unique<UdpSender>(options);
}

std::unique_ptr<ReceiverTransport> makeReceiver(FrameSink &sink, const ReceiverOptions &options) {
    return std::make_unique<UdpReceiver>(sink, options);
}

ReceiverInfo receiverInfo(const ReceiverTransport &receiver) {
    const auto *r = dynamic_cast<const UdpReceiver *>(&receiver);
    return r ? r->info() : ReceiverInfo{};
}

bool gsoActive(const SenderTransport &sender) {
    const auto *s = dynamic_cast<const UdpSender *>(&sender);
    return s && s->gso();
}

} // namespace kiv::udp

namespace kiv {
namespace {
// KIVSTREAM_UDP_OFFLOAD=0 turns GSO and GRO off, for a driver that mishandles them.
bool offloadAllowed() {
    const char *env = std::getenv("KIVSTREAM_UDP_OFFLOAD");
    return !(env && std::strcmp(env, "0") == 0);
}
} // namespace

std::unique_ptr<SenderTransport> makeUdpSender() {
    udp::SenderOptions options;
    options.allowGso = offloadAllowed();
    return udp::makeSender(options);
}

std::unique_ptr<ReceiverTransport> makeUdpReceiver(FrameSink &sink) {
    udp::ReceiverOptions options;
    options.allowGro = offloadAllowed();
    return udp::makeReceiver(sink, options);
}
} // namespace kiv
