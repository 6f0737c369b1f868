#include "tcp_socket.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cstdint>
#include <fstream>

namespace kiv::tcp {
namespace {
constexpr int kWantedBuffer = 4 << 20;

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

short waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, int(timeout.count()));
    return rc > 0 ? p.revents : 0;
}

} // namespace kiv::tcp
