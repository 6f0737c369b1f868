// SPDX-License-Identifier: MIT
// An eventfd used as a level: readable while raised. -1 stands for no fd.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "unique_fd.hpp"

namespace kiv {

inline UniqueFd makeEventFd() { return UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

inline void raiseEvent(int fd) {
    const uint64_t one = 1;
    if (fd >= 0) (void)!::write(fd, &one, sizeof one);
}

// Non-blocking: reading an unraised eventfd fails with EAGAIN, which is fine.
inline void lowerEvent(int fd) {
    uint64_t value = 0;
    if (fd >= 0) (void)!::read(fd, &value, sizeof value);
}

} // namespace kiv
