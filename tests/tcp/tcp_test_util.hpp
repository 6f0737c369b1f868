// Plain-socket peers and waiting helpers for the TCP tests. Loopback only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace tcptest {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `limit` passes.
inline bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Socket &operator=(Socket &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Socket() { close(); }
    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Closes with a reset instead of a FIN.
    void reset() {
        const linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
    bool writeAll(std::span<const uint8_t> bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes = bytes.subspan(size_t(n));
        }
        return true;
    }

private:
    int fd_ = -1;
};

inline sockaddr_in loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// Connects to 127.0.0.1:port, retrying while the listener comes up.
inline Socket connectTo(int port) {
    Socket result;
    waitUntil([&] {
        Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in sa = loopback(port);
        if (::connect(s.fd(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) return false;
        result = std::move(s);
        return true;
    });
    return result;
}

inline Socket listenOn(int port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = loopback(port);
    if (::bind(s.fd(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 || ::listen(s.fd(), 4) != 0) return {};
    return s;
}

// The 48-byte frame header, written field by field from its documented layout.
struct RawHeader {
    uint32_t magic = 0x4656494b;
    uint16_t version = 1, headerSize = 48, flags = 0, orientation = 1;
    uint16_t width = 0, height = 0, depth = 0;
    uint32_t frameNumber = 0;
    uint64_t sessionId = 42;
    int64_t sendTimeUs = 0;
    uint32_t payloadSize = 0;

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out(48, 0);
        auto put = [&](size_t at, uint64_t v, int n) {
            for (int i = 0; i < n; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
        };
        put(0, magic, 4);
        put(4, version, 2);
        put(6, headerSize, 2);
        put(8, flags, 2);
        put(10, orientation, 2);
        put(12, width, 2);
        put(14, height, 2);
        put(16, depth, 2);
        put(20, frameNumber, 4);
        put(24, sessionId, 8);
        put(32, uint64_t(sendTimeUs), 8);
        put(40, payloadSize, 4);
        return out;
    }
};

// Deterministic picture bytes, padding included.
inline std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return out;
}

} // namespace tcptest
