// SPDX-License-Identifier: MIT
// Sender and receiver in one process for scripts/soak.sh, on the public API:
//   reliability_peer soak <udp|tcp|memory> <stream> <seconds> <fps> <width> <height>
// prints one line a second, "<second> sent <n> received <n> corrupt <n>"; exits 2 if a frame was corrupt.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "peer.hpp"

using namespace reltest;

int main(int argc, char **argv) {
    const std::string name = argc == 8 && std::string(argv[1]) == "soak" ? argv[2] : "";
    const int protocol = name == "udp" ? KIV_PROTOCOL_UDP : name == "tcp" ? KIV_PROTOCOL_TCP : name == "memory" ? KIV_PROTOCOL_MEMORY : 0;
    if (!protocol) {
        std::fprintf(stderr, "usage: reliability_peer soak <udp|tcp|memory> <stream> <seconds> <fps> <w> <h>\n");
        return 64;
    }
    const int stream = std::atoi(argv[3]), seconds = std::atoi(argv[4]);
    kivDecoder *dec = kivGetDecoder(protocol, nullptr);
    if (!dec || kivSetSourceAddress(dec, stream) != KIV_OK) {
        std::fprintf(stderr, "reliability_peer: cannot receive %d: %s\n", stream, kivLastErrorDetail());
        return 1;
    }
    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> received{0}, corrupt{0};
    std::thread reader([&] {
        while (!stop)
            if (const int64_t seed = readOne(dec, 100); seed >= 0) ++(seed ? received : corrupt);
    });
    unsigned long long sent = 0;
    int second = 0;
    auto report = Clock::now() + 1s;
    const kivStreamFormat fmt{uint16_t(std::atoi(argv[6])), uint16_t(std::atoi(argv[7])), KIV_DEPTH_24, 1};
    const int failed = sendFrames(protocol, stream, 99, fmt, std::max(std::atoi(argv[5]), 1), [&](bool ok) {
        sent += ok;
        if (Clock::now() < report) return true;
        report += 1s;
        std::printf("%d sent %llu received %llu corrupt %llu\n", ++second, sent, received.load(), corrupt.load());
        std::fflush(stdout);
        return second < seconds;
    });
    stop = true;
    reader.join();
    kivDeleteDecoder(dec);
    if (failed) std::fprintf(stderr, "reliability_peer: cannot send to %d: %s\n", stream, kivLastErrorDetail());
    return failed ? 1 : corrupt == 0 ? 0 : 2;
}
