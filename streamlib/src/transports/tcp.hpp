#pragma once

#include "../transport.hpp"

namespace kiv {
std::unique_ptr<SenderTransport> makeTcpSender();
std::unique_ptr<ReceiverTransport> makeTcpReceiver(FrameSink &sink);
} // namespace kiv
