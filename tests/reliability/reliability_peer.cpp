// A second process for the fault tests and the soak script, on the public API.
//   reliability_peer send <udp|tcp|memory> <address> <stream> <seed> <width> <height> <fps>
//       sends self-checking 24-bit frames until stdin closes or 120 s pass
//   reliability_peer receive <udp|tcp|memory> <stream> <seconds>
//       prints "intact <n>" after each of the first 3 intact frames and then every 100th;
//       exits 2 at the first corrupt frame, 0 when the time is up
//   reliability_peer soak <udp|tcp|memory> <stream> <seconds> <fps> <width> <height>
//       sends and receives in one process, one status line per second:
//       "<second> sent <n> received <n> corrupt <n>"; exits 2 if a frame was corrupt
#include <kivVidStreamLib2.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frames.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool stdinClosed() {
    pollfd p{0, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP)) != 0;
}

int usage() {
    std::fprintf(stderr, "usage: reliability_peer send <proto> <address> <stream> <seed> <w> <h> <fps>\n"
                         "       reliability_peer receive <proto> <stream> <seconds>\n"
                         "       reliability_peer soak <proto> <stream> <seconds> <fps> <w> <h>\n");
    return 64;
}

kivEncoder *openEncoder(int protocol, const char *address, int stream, const kivStreamFormat &fmt) {
    kivEncoder *enc = kivGetEncoder(protocol, &fmt);
    if (!enc) return nullptr;
    if (kivSetDestAddress(enc, address, stream) != KIV_OK) {
        std::fprintf(stderr, "reliability_peer: cannot send to %s:%d: %s\n", address, stream, kivLastErrorDetail());
        kivDeleteEncoder(enc);
        return nullptr;
    }
    return enc;
}

int send(int protocol, const char *address, int stream, uint64_t seed, const kivStreamFormat &fmt, int fps) {
    kivEncoder *enc = openEncoder(protocol, address, stream, fmt);
    if (!enc) return 1;
    std::vector<uint8_t> frame(kivGetByteSize(&fmt));
    const auto period = std::chrono::microseconds(1000000 / std::max(fps, 1));
    const auto deadline = Clock::now() + 120s;
    auto next = Clock::now();
    for (uint32_t n = 0; Clock::now() < deadline && !stdinClosed(); ++n) {
        reltest::fill(frame.data(), frame.size(), seed, n);
        if (kivEncode(enc, frame.data()) != KIV_OK) {
            std::fprintf(stderr, "reliability_peer: encode: %s\n", kivLastErrorDetail());
            kivDeleteEncoder(enc);
            return 1;
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
    kivDeleteEncoder(enc);
    return 0;
}

int receive(int protocol, int stream, int seconds) {
    kivDecoder *dec = kivGetDecoder(protocol, nullptr);
    if (!dec || kivSetSourceAddress(dec, stream) != KIV_OK) {
        std::fprintf(stderr, "reliability_peer: cannot receive %d: %s\n", stream, kivLastErrorDetail());
        return 1;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    uint64_t intact = 0;
    while (Clock::now() < deadline) {
        const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec, 100));
        if (!p) continue;
        kivFrameInfo info{};
        kivGetRecvFrameInfo(dec, &info);
        reltest::Stamp stamp;
        const bool ok = reltest::check(p, info.imageBytes, stamp);
        kivUnlockReadBuffer(dec);
        if (!ok) {
            std::printf("corrupt\n");
            std::fflush(stdout);
            return 2;
        }
        if (++intact <= 3 || intact % 100 == 0) {
            std::printf("intact %llu\n", static_cast<unsigned long long>(intact));
            std::fflush(stdout);
        }
    }
    kivDeleteDecoder(dec);
    return 0;
}

int soak(int protocol, int stream, int seconds, int fps, const kivStreamFormat &fmt) {
    kivDecoder *dec = kivGetDecoder(protocol, nullptr);
    if (!dec || kivSetSourceAddress(dec, stream) != KIV_OK) {
        std::fprintf(stderr, "reliability_peer: cannot receive %d: %s\n", stream, kivLastErrorDetail());
        return 1;
    }
    kivEncoder *enc = openEncoder(protocol, "127.0.0.1", stream, fmt);
    if (!enc) return 1;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0}, corrupt{0};
    std::thread reader([&] {
        while (!stop) {
            const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec, 100));
            if (!p) continue;
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec, &info);
            reltest::Stamp stamp;
            const bool ok = reltest::check(p, info.imageBytes, stamp);
            kivUnlockReadBuffer(dec);
            ++(ok ? received : corrupt);
        }
    });
    std::vector<uint8_t> frame(kivGetByteSize(&fmt));
    const auto period = std::chrono::microseconds(1000000 / std::max(fps, 1));
    const auto start = Clock::now();
    auto next = start;
    auto report = start + 1s;
    int second = 0;
    uint64_t sent = 0;
    for (uint32_t n = 0; second < seconds; ++n) {
        reltest::fill(frame.data(), frame.size(), 99, n);
        if (kivEncode(enc, frame.data()) == KIV_OK) ++sent;
        next += period;
        std::this_thread::sleep_until(next);
        if (Clock::now() >= report) {
            ++second;
            report += 1s;
            std::printf("%d sent %llu received %llu corrupt %llu\n", second, static_cast<unsigned long long>(sent),
                        static_cast<unsigned long long>(received.load()),
                        static_cast<unsigned long long>(corrupt.load()));
            std::fflush(stdout);
        }
    }
    stop = true;
    reader.join();
    kivDeleteEncoder(enc);
    kivDeleteDecoder(dec);
    return corrupt == 0 ? 0 : 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    const int protocol = reltest::protocolByName(argv[2]);
    if (protocol == 0) return usage();
    auto fmt = [](const char *w, const char *h) {
        return kivStreamFormat{uint16_t(std::atoi(w)), uint16_t(std::atoi(h)), KIV_DEPTH_24, 1};
    };
    if (mode == "send" && argc == 9)
        return send(protocol, argv[3], std::atoi(argv[4]), std::strtoull(argv[5], nullptr, 10), fmt(argv[6], argv[7]),
                    std::atoi(argv[8]));
    if (mode == "receive" && argc == 5) return receive(protocol, std::atoi(argv[3]), std::atoi(argv[4]));
    if (mode == "soak" && argc == 8)
        return soak(protocol, std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), fmt(argv[6], argv[7]));
    return usage();
}
