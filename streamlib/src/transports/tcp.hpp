// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>

#include "../transport.hpp"

namespace kiv {

// Limits that keep idle, slow or hostile peers from holding a TCP receiver.
struct TcpReceiverLimits {
    std::chrono::milliseconds idleTimeout{5000};   // a new connection must start a header by then
    std::chrono::milliseconds headerTimeout{2000}; // a started header must be complete by then
    std::chrono::milliseconds stallTimeout{10000}; // a frame with no new byte for this long is given up
    size_t maxPending = 4;                         // connections that have not yet sent a header
};

std::unique_ptr<SenderTransport> makeTcpSender();
std::unique_ptr<ReceiverTransport> makeTcpReceiver();
std::unique_ptr<ReceiverTransport> makeTcpReceiver(const TcpReceiverLimits &limits);

} // namespace kiv
