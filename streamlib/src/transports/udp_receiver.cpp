// SPDX-License-Identifier: MIT
// UDP receiving end: one thread drains the socket in batches (with GRO where
// the kernel offers it) into the Reassembler, which leaves complete frames in
// the reader's queue.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "../errors.hpp"
#include "../util/event_fd.hpp"
#include "../util/unique_fd.hpp"
#include "udp.hpp"
#include "udp_socket.hpp"

namespace kiv::udp {
namespace {


class UdpReceiver final : public UdpReceiverTransport {
public:
    explicit UdpReceiver(ReceiverOptions options)
        : options_(withControls(std::move(options))), reassembler_(queue_, options_.limits, options_.controls.get()) {}
    ~UdpReceiver() override {
        if (thread_.joinable()) {
            thread_.request_stop();
            raiseEvent(wake_.get());
            thread_.join();
        }
    }

    int start(int stream) override {
        if (thread_.joinable()) return fail(KIV_ERROR_STATE, "UDP receiver already started");
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
        joinEverywhere(fd.get(), group);

        wake_ = makeEventFd();
        if (!wake_) return failErrno(KIV_ERROR_IO, "eventfd");
        fd_ = std::move(fd);
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        return KIV_OK;
    }

    ReceiverInfo info() const override { return info_; }
    ReceiveBuffer receiveBuffer() const override {
        return {uint32_t(options_.receiveBufferBytes), uint32_t(info_.receiveBufferBytes)};
    }

private:
    static ReceiverOptions withControls(ReceiverOptions options) {
        if (!options.controls) options.controls = std::make_shared<ReceiverControls>();
        return options;
    }

    // Requests and reports go back from the stream's own port to the sender's.
    void sendFeedback() {
        auto send = [&](const Source &to, std::span<const uint8_t> bytes) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(to.address);
            a.sin_port = htons(to.port);
            ::sendto(fd_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&a), sizeof a);
        };
        std::array<uint8_t, kMaxControlSize> buffer;
        for (const auto &[to, request] : feedback_.requests) send(to, std::span(buffer).first(encodeRequest(request, buffer)));
        for (const auto &[to, report] : feedback_.reports) send(to, std::span(buffer).first(encodeReport(report, buffer)));
        feedback_.clear();
    }

    // Joins on every interface that is up and can do multicast.
    static void joinEverywhere(int fd, in_addr group) {
        ifaddrs *list = nullptr;
        if (getifaddrs(&list) != 0) return;
        const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
        std::vector<unsigned> done;
        for (ifaddrs *a = list; a; a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
            if (!(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_MULTICAST)) continue;
            const unsigned index = if_nametoindex(a->ifa_name);
            if (index == 0 || std::find(done.begin(), done.end(), index) != done.end()) continue;
            done.push_back(index);
            ip_mreqn req{};
            req.imr_multiaddr = group;
            req.imr_ifindex = int(index);
            setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req);
        }
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

        while (!stop.stop_requested()) {
            pollfd p[2]{{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            const int64_t waitUs = std::clamp<int64_t>(feedback_.nextUs - monotonicUs(), 0, 999'999);
            const timespec ts{0, long(waitUs) * 1000};
            ::ppoll(p, 2, &ts, nullptr);
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
                            segment = size_t(v); // a nonsensical size is caught below
                        }
                    }
                    if (h.msg_flags & MSG_TRUNC) {
                        ++counters.malformed;
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
                            ++counters.malformed;
                        else
                            reassembler_.feed(source, one, now);
                        off += segment;
                    } while (off < bytes.size());
                }
                if (size_t(n) < slots) break;
            }
            reassembler_.service(monotonicUs(), feedback_); // a look at the few frames in flight
            sendFeedback();
        }
    }

    const ReceiverOptions options_;
    Reassembler reassembler_; // used by the receiving thread only
    Feedback feedback_;
    UniqueFd fd_;
    UniqueFd wake_; // raised to stop the thread
    ReceiverInfo info_;
    std::jthread thread_; // last: stopped before the members it uses go
};


} // namespace

std::unique_ptr<UdpReceiverTransport> makeReceiver(ReceiverOptions options) {
    return std::make_unique<UdpReceiver>(std::move(options));
}

} // namespace kiv::udp
