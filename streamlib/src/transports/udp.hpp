#pragma once

#include "../transport.hpp"

namespace kiv {
std::unique_ptr<SenderTransport> makeUdpSender();
std::unique_ptr<ReceiverTransport> makeUdpReceiver(FrameSink &sink);
} // namespace kiv
