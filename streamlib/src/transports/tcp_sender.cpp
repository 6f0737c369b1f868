// SPDX-License-Identifier: MIT
// TCP sending end: kivEncode leaves the frame in a one-frame queue; a thread of
// our own owns the connection, connects, reconnects, compresses and writes.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "../errors.hpp"
#include "tcp.hpp"
#include "tcp_address.hpp"
#include "tcp_socket.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Reconnect pacing: the first retry comes at once after a working connection
// broke, then 50 ms, doubling up to a cap that keeps a returning receiver
// waiting less than a second.
constexpr auto kFirstBackoff = 50ms;
constexpr auto kMaxBackoff = 800ms;
constexpr auto kConnectTimeout = 2s;
constexpr auto kResolveTimeout = 10s;
constexpr auto kPollSlice = 100ms;
constexpr auto kHealthyConnection = 1s;
// A link that takes no byte for this long is dead: given up and redialled.
// Without it TCP retransmits for many minutes, backing off, and a sender
// whose receiver came back after an outage found it only tens of seconds later.
constexpr auto kDeadLink = 2s;

std::chrono::milliseconds nextBackoff(std::chrono::milliseconds now) {
    return now < kFirstBackoff ? kFirstBackoff : std::min<std::chrono::milliseconds>(now * 2, kMaxBackoff);
}

// With nothing listening on a port in the ephemeral range, TCP's simultaneous
// open can connect a socket to itself; it would then swallow our frames.
bool connectedToItself(int fd) {
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof local, peerLen = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) != 0)
        return true;
    return localLen == peerLen && std::memcmp(&local, &peer, localLen) == 0;
}

// On failure `why` says what went wrong, for kivGetEncoderLink().
UniqueFd connectOne(const SocketAddress &address, std::stop_token stop, std::string &why) {
    const std::string peer = addressText(address);
    UniqueFd fd(::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return why = std::string("socket: ") + std::strerror(errno), UniqueFd{};
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    tcp::requestLargeBuffer(fd.get(), SO_SNDBUF);
    // Data unacknowledged for kDeadLink ends the connection; so does an idle
    // one whose keepalive probes go unanswered (the user timeout bounds those too).
    const int deadMs = int(std::chrono::milliseconds(kDeadLink).count()), idle = 1, interval = 1, probes = 2;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_USER_TIMEOUT, &deadMs, sizeof deadMs);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    auto connected = [&] {
        if (!connectedToItself(fd.get())) return std::move(fd);
        why = "nothing listens on " + peer;
        return UniqueFd{};
    };
    if (::connect(fd.get(), address.get(), address.length) == 0) return connected();
    if (errno != EINPROGRESS) return why = "connect to " + peer + ": " + std::strerror(errno), UniqueFd{};
    const auto deadline = Clock::now() + kConnectTimeout;
    while (!stop.stop_requested() && Clock::now() < deadline) {
        if (tcp::waitFor(fd.get(), POLLOUT, kPollSlice) == 0) continue;
        int error{};
        socklen_t len = sizeof error;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
        if (error == ETIMEDOUT) break; // the user timeout ran out first
        if (error != 0) return why = "connect to " + peer + ": " + std::strerror(error), UniqueFd{};
        return connected();
    }
    why = "no answer from " + peer + " within 2 s";
    return {};
}

// True when the receiver closed or reset the connection. It never sends, so
// anything readable is the end of the connection (or junk we ignore).
bool peerGone(int fd) {
    uint8_t scratch[256];
    for (;;) {
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n == 0) return true;
        if (errno == EINTR) continue;
        return !wouldBlock(errno);
    }
}

class TcpSender final : public SenderTransport {
public:
    ~TcpSender() override { stopWorker(); }

    int open(const std::string &address, int stream) override {
        stopWorker();
        Destination destination;
        std::string why;
        if (!parseDestination(address, stream, destination, why))
            return fail(KIV_ERROR_ADDRESS, "malformed address \"" + address + "\": " + why);
        if (!wake_.valid()) return failErrno(KIV_ERROR_IO, "eventfd");
        setLink(KIV_LINK_CONNECTING);
        queue_.clear(); // meant for the old destination
        worker_ = std::jthread([this, destination = std::move(destination)](std::stop_token stop) {
            run(stop, destination);
        });
        return KIV_OK;
    }

    int send(OutgoingFrame &&frame) override {
        if (!worker_.joinable()) return fail(KIV_ERROR_STATE, "no destination set");
        queue_.put(std::move(frame));
        wake_.signal();
        return KIV_OK;
    }

    int link() const override {
        std::lock_guard lock(linkMutex_);
        if (linkState_ == KIV_LINK_DOWN) fail(KIV_ERROR_IO, linkReason_);
        return linkState_;
    }

private:
    void setLink(int state, std::string reason = {}) {
        std::lock_guard lock(linkMutex_);
        linkState_ = state;
        linkReason_ = std::move(reason);
    }

    void stopWorker() {
        if (!worker_.joinable()) return;
        worker_.request_stop();
        wake_.signal();
        worker_.join();
    }

    // Sleeps for `delay` unless asked to stop; frames that come meanwhile wait in the slot.
    void pause(std::chrono::milliseconds delay, std::stop_token stop) {
        const auto until = Clock::now() + delay;
        while (!stop.stop_requested()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left <= 0ms) return;
            tcp::waitFor(wake_.fd(), POLLIN, std::min<std::chrono::milliseconds>(left, kPollSlice));
            wake_.drain();
        }
    }

    UniqueFd connect(const Destination &destination, std::stop_token stop) {
        std::vector<SocketAddress> addresses = destination.literal;
        if (!destination.isLiteral()) {
            addresses = PendingResolution(destination.host, destination.port).wait(kResolveTimeout, stop);
            if (addresses.empty() && !stop.stop_requested()) setLink(KIV_LINK_DOWN, "cannot resolve " + destination.host);
        }
        std::string why;
        for (const SocketAddress &address : addresses) {
            if (stop.stop_requested()) break;
            if (UniqueFd fd = connectOne(address, stop, why)) {
                setLink(KIV_LINK_UP);
                return fd;
            }
        }
        if (!why.empty() && !stop.stop_requested()) setLink(KIV_LINK_DOWN, why);
        return {};
    }

    // Header and payload in one gathered write, straight from the frame's buffer.
    // False when the connection broke or took no byte for kDeadLink.
    bool write(int fd, const OutgoingFrame &frame, std::stop_token stop) {
        std::array<uint8_t, kWireHeaderSize> header;
        encodeHeader(frame.header, header);
        const std::span<const uint8_t> payload = frame.payload();
        const size_t total = kWireHeaderSize + payload.size();
        size_t done = 0;
        auto progressed = Clock::now();
        while (done < total) {
            iovec iov[2];
            int count = 0;
            if (done < kWireHeaderSize)
                iov[count++] = {header.data() + done, kWireHeaderSize - done};
            const size_t payloadDone = done < kWireHeaderSize ? 0 : done - kWireHeaderSize;
            if (payloadDone < payload.size())
                iov[count++] = {const_cast<uint8_t *>(payload.data()) + payloadDone, payload.size() - payloadDone};
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = size_t(count);
            // MSG_NOSIGNAL: a receiver that vanishes gives EPIPE, not a dead process.
            const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += size_t(n);
                progressed = Clock::now();
            } else if (n < 0 && wouldBlock(errno)) {
                if (stop.stop_requested() || Clock::now() - progressed >= kDeadLink) return false;
                tcp::waitFor(fd, POLLOUT, kPollSlice);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }

    void run(std::stop_token stop, const Destination &destination) {
        struct Connection {
            UniqueFd socket;
            Clock::time_point since = Clock::now();
            bool delivered = false; // has carried a whole frame
        } link;
        OutgoingFrame inflight;
        std::chrono::milliseconds backoff = 0ms;
        while (!stop.stop_requested()) {
            if (!link.socket) {
                pause(backoff, stop);
                if (stop.stop_requested()) break;
                link = {connect(destination, stop)};
                if (!link.socket) {
                    backoff = nextBackoff(backoff);
                    continue;
                }
            }

            bool broken = false;
            if (queue_.tryTake(inflight)) {
                if (write(link.socket.get(), inflight, stop)) {
                    ++counters.sent;
                    counters.bytes += inflight.header.payloadSize;
                    link.delivered = true;
                } else {
                    ++counters.dropped;
                    broken = true;
                }
            } else {
                pollfd fds[2] = {{wake_.fd(), POLLIN, 0}, {link.socket.get(), POLLIN | POLLRDHUP, 0}};
                if (::poll(fds, 2, 1000) > 0) {
                    if (fds[0].revents) wake_.drain();
                    if (fds[1].revents && peerGone(link.socket.get())) broken = true;
                }
            }
            if (broken) {
                link.socket.reset();
                setLink(KIV_LINK_DOWN, "connection to the receiver lost");
                // A connection that worked, or lived a while before an idle
                // timeout, says the receiver is there: try again at once. One
                // refused or cut at once backs off, so a peer that accepts and
                // hangs up is not hammered.
                backoff = link.delivered || Clock::now() - link.since > kHealthyConnection ? 0ms : nextBackoff(backoff);
            }
        }
    }

    tcp::Wakeup wake_;
    mutable std::mutex linkMutex_;
    int linkState_ = KIV_LINK_IDLE;
    std::string linkReason_;
    std::jthread worker_; // last: stopped before the members it uses go
};

} // namespace

std::unique_ptr<SenderTransport> makeTcpSender() { return std::make_unique<TcpSender>(); }

} // namespace kiv
