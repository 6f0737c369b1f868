// SPDX-License-Identifier: MIT
#pragma once

#include "../transport.hpp"

namespace kiv {
std::unique_ptr<SenderTransport> makeMemorySender();
std::unique_ptr<ReceiverTransport> makeMemoryReceiver();
} // namespace kiv
