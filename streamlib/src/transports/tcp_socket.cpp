// SPDX-License-Identifier: MIT
#include "tcp_socket.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <fstream>

namespace kiv::tcp {
namespace {
constexpr int kWantedBuffer = 4 << 20;
constexpr int kBacklog = 16;

long readSysctl(const char *path) {
    std::ifstream in(path);
    long value = 0;
    in >> value;
    return in ? value : 0;
}
} // namespace

void requestLargeBuffer(int fd, int option) {
    static const long sendMax = readSysctl("/proc/sys/net/core/wmem_max");
    static const long receiveMax = readSysctl("/proc/sys/net/core/rmem_max");
    const long max = option == SO_SNDBUF ? sendMax : receiveMax;
    if (max < kWantedBuffer) return;
    const int size = kWantedBuffer;
    ::setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
}

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void Wakeup::signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

void Wakeup::drain() const {
    uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(fd_.get(), &count, sizeof count);
}

UniqueFd listenOn(int family, int port, int &error) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = errno;
        return {};
    }
    const int one = 1, zero = 0;
    // Lets a restarted decoder take its port back while old connections linger in TIME_WAIT;
    // on Linux it never lets two listeners share a port.
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    requestLargeBuffer(fd.get(), SO_RCVBUF); // inherited by accepted connections
    int rc;
    if (family == AF_INET6) {
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        const sockaddr_in6 sa{AF_INET6, htons(uint16_t(port)), {}, in6addr_any, {}};
        rc = ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } else {
        const sockaddr_in sa{AF_INET, htons(uint16_t(port)), {htonl(INADDR_ANY)}, {}};
        rc = ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    }
    if (rc != 0 || ::listen(fd.get(), kBacklog) != 0) {
        error = errno;
        return {};
    }
    return fd;
}

short waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, int(timeout.count()));
    return rc > 0 ? p.revents : 0;
}

} // namespace kiv::tcp
