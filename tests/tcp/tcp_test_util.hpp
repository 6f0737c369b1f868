// Plain-socket peers for the TCP tests. Loopback only.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "../net_support/net_test.hpp"
#include "format.hpp"
#include "util/unique_fd.hpp"
#include "wire.hpp"

namespace tcptest {

using namespace nettest;
using Socket = kiv::UniqueFd;

inline sockaddr_in loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// Connects to 127.0.0.1:port, retrying while the listener comes up.
inline Socket connectTo(int port) {
    Socket s;
    waitUntil([&] {
        s.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in sa = loopback(port);
        return ::connect(s.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    });
    return s;
}

inline Socket listenOn(int port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = loopback(port);
    if (::bind(s.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 || ::listen(s.get(), 4) != 0) s.reset();
    return s;
}

// A frame as a sender puts it on the connection, carrying pattern(session, number)
// or, compressed, `jpegSize` such bytes.
inline std::vector<uint8_t> wireFrame(const kivStreamFormat &format, uint64_t session, uint32_t number,
                                      uint32_t jpegSize = 0) {
    kiv::WireHeader h{.flags = uint16_t(jpegSize ? kiv::kWireFlagJpeg : 0), .format = format, .frameNumber = number,
                      .sessionId = session, .sendTimeUs = 0,
                      .payloadSize = jpegSize ? jpegSize : uint32_t(kiv::frameBytes64(format))};
    std::vector<uint8_t> out(kiv::kWireHeaderSize);
    kiv::encodeHeader(h, std::span<uint8_t, kiv::kWireHeaderSize>(out.data(), kiv::kWireHeaderSize));
    const std::vector<uint8_t> payload = pattern(session, number, h.payloadSize);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

} // namespace tcptest
