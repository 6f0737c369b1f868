// What the UDP sender and receiver share: socket buffers, the multicast
// group, the offload switch and the factories.
#include "udp.hpp"

#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "udp_socket.hpp"

namespace kiv::udp {

int64_t monotonicUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int growBuffer(int fd, int option, int forceOption, int wanted, bool &capped) {
    auto granted = [&] {
        int v = 0;
        socklen_t len = sizeof v;
        getsockopt(fd, SOL_SOCKET, option, &v, &len);
        return v / 2;
    };
    setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted);
    if (granted() < wanted) setsockopt(fd, SOL_SOCKET, forceOption, &wanted, sizeof wanted);
    const int got = granted();
    capped = got < wanted;
    return got;
}

bool offloadAllowed() {
    const char *env = std::getenv("KIVSTREAM_UDP_OFFLOAD");
    return !(env && std::strcmp(env, "0") == 0);
}

std::string multicastGroup() {
    const char *env = std::getenv("KIVSTREAM_MULTICAST_GROUP");
    return env && *env ? std::string(env) : std::string(KIV_MULTICAST_GROUP);
}

} // namespace kiv::udp

namespace kiv {

std::unique_ptr<SenderTransport> makeUdpSender() {
    udp::SenderOptions options;
    options.allowGso = udp::offloadAllowed();
    return udp::makeSender(options);
}

std::unique_ptr<ReceiverTransport> makeUdpReceiver() {
    udp::ReceiverOptions options;
    options.allowGro = udp::offloadAllowed();
    return udp::makeReceiver(options);
}

} // namespace kiv
