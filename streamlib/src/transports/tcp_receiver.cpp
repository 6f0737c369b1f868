// SPDX-License-Identifier: MIT
// TCP receiving end: listens on the stream number, one thread polls the
// listener and every connection. A connection is "pending" until it has sent a
// whole valid frame; then it becomes the one that delivers, replacing the older
// one. A header alone proves nothing: it costs a forger 48 bytes.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <new>
#include <thread>

#include "../errors.hpp"
#include "../util/clock.hpp"
#include "tcp.hpp"
#include "tcp_framing.hpp"
#include "tcp_socket.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kReadsPerTurn = 16; // then the other connections get their turn
constexpr auto kMaxPollWait = 1000ms;
constexpr auto kAcceptPause = 100ms; // after running out of descriptors

struct Connection {
    Connection(UniqueFd socket, FrameQueue &queue)
        // Only the sender that delivers takes the queue's recycled buffers; a
        // stranger's would be thrown away with its connection.
        : fd(std::move(socket)), parser([this, &queue] { return proven ? queue.takeBuffer() : std::vector<uint8_t>{}; }),
          accepted(Clock::now()) {}
    UniqueFd fd;
    FrameParser parser;
    Clock::time_point accepted;
    Clock::time_point headerStarted;
    Clock::time_point lastByte;
    uint64_t received = 0; // bytes
    bool proven = false;   // has sent a whole valid frame
};

enum class Verdict { Keep, Closed, Malformed };

UniqueFd listenOn(int port, int &error) {
    UniqueFd fd = tcp::listenOn(AF_INET6, port, error);
    // No IPv6 on this machine: IPv4 alone. A taken port or a missing right is final.
    if (!fd && error != EADDRINUSE && error != EACCES) fd = tcp::listenOn(AF_INET, port, error);
    return fd;
}

class TcpReceiver final : public QueuedReceiverTransport {
public:
    explicit TcpReceiver(const TcpReceiverLimits &limits) : limits_(limits) {}

    ~TcpReceiver() override {
        if (thread_.joinable()) {
            thread_.request_stop();
            wake_.signal();
            thread_.join();
        }
    }

    int start(int stream) override {
        if (thread_.joinable()) return fail(KIV_ERROR_STATE, "receiver already started");
        if (!wake_.valid()) return failErrno(KIV_ERROR_IO, "eventfd");
        int error = 0;
        listener_ = listenOn(stream, error);
        if (!listener_) {
            if (error == EADDRINUSE) return fail(KIV_ERROR_BUSY, "port " + std::to_string(stream) + " is already in use");
            if (error == EACCES)
                return fail(KIV_ERROR_PERMISSION, "port " + std::to_string(stream) + " needs privileges");
            errno = error;
            return failErrno(KIV_ERROR_IO, "listen on port " + std::to_string(stream));
        }
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        return KIV_OK;
    }

private:
    void run(std::stop_token stop) {
        std::vector<pollfd> fds;
        std::vector<Connection *> polled;
        while (!stop.stop_requested()) {
            fds.clear();
            polled.clear();
            fds.push_back({wake_.fd(), POLLIN, 0});
            const bool accepting = Clock::now() >= acceptPausedUntil_;
            fds.push_back({accepting ? listener_.get() : -1, POLLIN, 0});
            if (active_) {
                fds.push_back({active_->fd.get(), POLLIN, 0});
                polled.push_back(active_.get());
            }
            for (auto &c : pending_) {
                fds.push_back({c->fd.get(), POLLIN, 0});
                polled.push_back(c.get());
            }
            const int rc = ::poll(fds.data(), fds.size(), waitMs());
            if (stop.stop_requested()) break;
            if (rc > 0) {
                if (fds[0].revents) wake_.drain();
                for (size_t i = 0; i < polled.size(); ++i)
                    if (fds[i + 2].revents) serviceAndSettle(polled[i]);
                if (fds[1].revents) acceptAll();
            }
            enforceDeadlines();
        }
    }

    // Until the nearest deadline of any connection, within bounds.
    int waitMs() const {
        const auto now = Clock::now();
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kMaxPollWait);
        auto consider = [&](Clock::time_point when) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now);
            wait = std::clamp(left, 0ms, wait);
        };
        auto deadlines = [&](const Connection &c) {
            if (c.parser.headerStarted()) consider(c.headerStarted + limits_.headerTimeout);
            else if (c.parser.state() == FrameParser::State::Payload) consider(c.lastByte + limits_.stallTimeout);
            else if (!c.proven) consider(c.accepted + limits_.idleTimeout);
        };
        if (active_) deadlines(*active_);
        for (const auto &c : pending_) deadlines(*c);
        if (Clock::now() < acceptPausedUntil_) consider(acceptPausedUntil_);
        return int(wait.count());
    }

    void acceptAll() {
        for (;;) {
            UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    acceptPausedUntil_ = Clock::now() + kAcceptPause; // else the listener stays readable and we spin
                return;
            }
            pending_.push_back(std::make_unique<Connection>(std::move(fd), queue_));
            // Room for a newcomer: of the others, the one that sent least (the
            // oldest of equals) goes, so neither silent peers nor forgers of
            // headers can fill the slots and push out a sender mid-frame.
            while (pending_.size() > limits_.maxPending) {
                const auto victim = std::min_element(pending_.begin(), pending_.end() - 1, [](const auto &a, const auto &b) {
                    return a->received < b->received;
                });
                if ((*victim)->parser.midFrame()) ++counters.malformed;
                pending_.erase(victim);
            }
        }
    }

    // Reads what `c` has, then promotes or closes it.
    void serviceAndSettle(Connection *c) {
        const Verdict v = service(*c);
        if (v == Verdict::Malformed) ++counters.malformed;
        const bool isActive = c == active_.get();
        if (v != Verdict::Keep) {
            if (isActive) active_.reset();
            else std::erase_if(pending_, [c](const auto &p) { return p.get() == c; });
            return;
        }
        if (!isActive && c->proven) {
            // A newer sender replaces the older one; the older one's partial frame is lost.
            if (active_ && active_->parser.midFrame()) ++counters.incomplete;
            for (auto it = pending_.begin(); it != pending_.end(); ++it)
                if (it->get() == c) {
                    active_ = std::move(*it);
                    pending_.erase(it);
                    break;
                }
        }
    }

    Verdict service(Connection &c) {
        try {
            for (int reads = 0; reads < kReadsPerTurn; ++reads) {
                const std::span<uint8_t> room = c.parser.writable();
                const ssize_t n = ::recv(c.fd.get(), room.data(), room.size(), MSG_DONTWAIT);
                if (n > 0) {
                    const auto now = Clock::now();
                    if (c.parser.state() == FrameParser::State::Header && !c.parser.headerStarted())
                        c.headerStarted = now;
                    c.lastByte = now;
                    c.received += uint64_t(n);
                    const FrameParser::State s = c.parser.commit(size_t(n));
                    if (s == FrameParser::State::Failed) return Verdict::Malformed;
                    if (s == FrameParser::State::Ready) {
                        c.proven = true;
                        const WireHeader header = c.parser.header();
                        queue_.put(header, c.parser.takePayload(), wallClockUs());
                    }
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && wouldBlock(errno)) return Verdict::Keep;
                // End of stream or reset: harmless between frames, a truncated frame otherwise.
                return c.parser.midFrame() ? Verdict::Malformed : Verdict::Closed;
            }
            return Verdict::Keep;
        } catch (const std::bad_alloc &) {
            return Verdict::Closed; // the frame is lost, the receiver lives on
        }
    }

    void enforceDeadlines() {
        const auto now = Clock::now();
        // Malformed for a peer that started a header or frame and stalled; a silent
        // newcomer that never started one is just closed.
        auto expired = [&](const Connection &c) -> Verdict {
            if (c.parser.headerStarted()) return now >= c.headerStarted + limits_.headerTimeout ? Verdict::Malformed : Verdict::Keep;
            if (c.parser.state() == FrameParser::State::Payload)
                return now >= c.lastByte + limits_.stallTimeout ? Verdict::Malformed : Verdict::Keep;
            if (!c.proven) return now >= c.accepted + limits_.idleTimeout ? Verdict::Closed : Verdict::Keep;
            return Verdict::Keep;
        };
        if (active_) {
            const Verdict v = expired(*active_);
            if (v == Verdict::Malformed) ++counters.malformed;
            if (v != Verdict::Keep) active_.reset();
        }
        std::erase_if(pending_, [&](const auto &c) {
            const Verdict v = expired(*c);
            if (v == Verdict::Malformed) ++counters.malformed;
            return v != Verdict::Keep;
        });
    }

    const TcpReceiverLimits limits_;
    tcp::Wakeup wake_;
    UniqueFd listener_;
    Clock::time_point acceptPausedUntil_{};
    std::unique_ptr<Connection> active_;
    std::deque<std::unique_ptr<Connection>> pending_;
    std::jthread thread_; // last: joined before the members it uses go
};

} // namespace

std::unique_ptr<ReceiverTransport> makeTcpReceiver() { return makeTcpReceiver(TcpReceiverLimits{}); }

std::unique_ptr<ReceiverTransport> makeTcpReceiver(const TcpReceiverLimits &limits) {
    return std::make_unique<TcpReceiver>(limits);
}

} // namespace kiv
