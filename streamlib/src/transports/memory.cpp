#include "memory.hpp"

namespace kiv {
// Not carried by this build yet.
std::unique_ptr<SenderTransport> makeMemorySender() { return nullptr; }
std::unique_ptr<ReceiverTransport> makeMemoryReceiver(FrameSink &) { return nullptr; }
} // namespace kiv
