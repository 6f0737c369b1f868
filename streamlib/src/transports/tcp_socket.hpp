// SPDX-License-Identifier: MIT
// Small socket helpers shared by the TCP sender and receiver.
#pragma once

#include <chrono>

#include "../util/unique_fd.hpp"

namespace kiv::tcp {

// Asks for a 4 MiB socket buffer (SO_SNDBUF or SO_RCVBUF), but only where the
// system grants it in full: a smaller fixed size would switch off the kernel's
// buffer autotuning, which then does better than anything we could ask for.
void requestLargeBuffer(int fd, int option);

// A non-blocking socket listening on `port` of every address of `family`
// (AF_INET6 takes IPv4 as well), or none with `error` set to the errno.
UniqueFd listenOn(int family, int port, int &error);

// An eventfd that wakes a thread sleeping in poll().
class Wakeup {
public:
    Wakeup();
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    void signal() const;
    void drain() const;

private:
    UniqueFd fd_;
};

// poll() on one descriptor; the revents, 0 on timeout. EINTR counts as a timeout.
short waitFor(int fd, short events, std::chrono::milliseconds timeout);

} // namespace kiv::tcp
