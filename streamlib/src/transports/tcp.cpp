#include "tcp.hpp"

namespace kiv {
// Not carried by this build yet.
std::unique_ptr<SenderTransport> makeTcpSender() { return nullptr; }
std::unique_ptr<ReceiverTransport> makeTcpReceiver(FrameSink &) { return nullptr; }
} // namespace kiv
