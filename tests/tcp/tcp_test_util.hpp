// Plain-socket peers for the TCP tests. Loopback only.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "../net_support/net_test.hpp"
#include "util/unique_fd.hpp"

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

} // namespace tcptest
