// SPDX-License-Identifier: MIT
// Helpers shared by the UDP sender and receiver.
#pragma once

#include <cstdint>

namespace kiv::udp {

int64_t monotonicUs();

// Sets a socket buffer as close to `wanted` as the kernel allows. SO_*BUFFORCE
// passes net.core.[rw]mem_max for a privileged process; others get the cap.
// Returns the size granted (the kernel reports twice what it accounts for).
int growBuffer(int fd, int option, int forceOption, int wanted, bool &capped);

// KIVSTREAM_UDP_OFFLOAD=0 turns GSO and GRO off, for a driver that mishandles them.
bool offloadAllowed();

} // namespace kiv::udp
