#include "transport.hpp"

#include "errors.hpp"
#include "transports/memory.hpp"
#include "transports/tcp.hpp"
#include "transports/udp.hpp"

namespace kiv {

int SenderTransport::setProtection(int) { return fail(KIV_ERROR_UNSUPPORTED, "only UDP encoders carry parity"); }

int SenderTransport::setImpairment(const kivImpairment &) {
    return fail(KIV_ERROR_UNSUPPORTED, "only UDP encoders can impair their datagrams");
}

std::unique_ptr<SenderTransport> makeSender(int protocol) {
    switch (protocol) {
    case KIV_PROTOCOL_UDP: return makeUdpSender();
    case KIV_PROTOCOL_TCP: return makeTcpSender();
    case KIV_PROTOCOL_MEMORY: return makeMemorySender();
    default: return nullptr;
    }
}

std::unique_ptr<ReceiverTransport> makeReceiver(int protocol, FrameSink &sink) {
    switch (protocol) {
    case KIV_PROTOCOL_UDP: return makeUdpReceiver(sink);
    case KIV_PROTOCOL_TCP: return makeTcpReceiver(sink);
    case KIV_PROTOCOL_MEMORY: return makeMemoryReceiver(sink);
    default: return nullptr;
    }
}

} // namespace kiv
