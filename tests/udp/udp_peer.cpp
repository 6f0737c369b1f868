// A second process for the UDP tests, using the public API only.
//   udp_peer send <address> <stream> <seed>   sends 320x240x24 frames at ~100 fps
//       until stdin closes or 30 s pass
//   udp_peer listen <stream>                  starts one decoder and stops it again
//   udp_peer multicast-pair <stream>          two decoders and one encoder on the
//       multicast group (KIVSTREAM_MULTICAST_GROUP if set); exits 0 once both got frames byte for byte
#include <kivVidStreamLib2.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "pattern.hpp"

namespace {

using Clock = std::chrono::steady_clock;
const kivStreamFormat kFormat{320, 240, KIV_DEPTH_24, 1};

bool stdinClosed() {
    pollfd p{0, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0; // readable means data or EOF: either way, stop
}

int send(const char *address, int stream, uint64_t seed) {
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_UDP, &kFormat);
    if (!enc || kivSetDestAddress(enc, address, stream) != KIV_OK) {
        std::fprintf(stderr, "udp_peer: cannot send to %s:%d: %s\n", address, stream, kivLastErrorDetail());
        return 1;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    const size_t size = kivGetByteSize(&kFormat);
    for (uint32_t n = 0; Clock::now() < deadline && !stdinClosed(); ++n) {
        kivEncode(enc, kivtest::pattern(seed, n, size).data());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kivDeleteEncoder(enc);
    return 0;
}

// Counts frames on `dec` that match what the encoder sent; -1 on a wrong byte.
int take(kivDecoder *dec, uint64_t seed) {
    int good = 0;
    while (const void *p = kivLockReadBuffer(dec, 0)) {
        kivFrameInfo info{};
        kivGetRecvFrameInfo(dec, &info);
        const bool same = std::memcmp(p, kivtest::pattern(seed, info.frameNumber, info.imageBytes).data(),
                                      info.imageBytes) == 0;
        kivUnlockReadBuffer(dec);
        if (!same) return -1;
        ++good;
    }
    return good;
}

// The group the decoders join, so the encoder sends there.
const char *group() {
    const char *env = std::getenv("KIVSTREAM_MULTICAST_GROUP");
    return env && *env ? env : KIV_MULTICAST_GROUP;
}

int multicastPair(int stream) {
    kivDecoder *a = kivGetDecoder(KIV_PROTOCOL_UDP, nullptr);
    kivDecoder *b = kivGetDecoder(KIV_PROTOCOL_UDP, nullptr);
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_UDP, &kFormat);
    if (!a || !b || !enc || kivSetSourceAddress(a, stream) != KIV_OK || kivSetSourceAddress(b, stream) != KIV_OK ||
        kivSetDestAddress(enc, group(), stream) != KIV_OK) {
        std::printf("setup failed: %s\n", kivLastErrorDetail());
        return 1;
    }
    const size_t size = kivGetByteSize(&kFormat);
    int gotA = 0, gotB = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    for (uint32_t n = 0; (gotA < 5 || gotB < 5) && Clock::now() < deadline; ++n) {
        kivEncode(enc, kivtest::pattern(7, n, size).data());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int ta = take(a, 7), tb = take(b, 7);
        if (ta < 0 || tb < 0) {
            std::printf("a receiver got a frame with wrong bytes\n");
            return 2;
        }
        gotA += ta;
        gotB += tb;
    }
    std::printf("receiver A got %d frames, receiver B got %d frames\n", gotA, gotB);
    kivDeleteEncoder(enc);
    kivDeleteDecoder(a);
    kivDeleteDecoder(b);
    return gotA >= 5 && gotB >= 5 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "send") == 0)
        return send(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10));
    if (argc == 3 && std::strcmp(argv[1], "multicast-pair") == 0) return multicastPair(std::atoi(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "listen") == 0) {
        kivDecoder *dec = kivGetDecoder(KIV_PROTOCOL_UDP, nullptr);
        const int rc = kivSetSourceAddress(dec, std::atoi(argv[2]));
        kivDeleteDecoder(dec);
        return rc == KIV_OK ? 0 : 1;
    }
    std::fprintf(stderr, "usage: udp_peer send <address> <stream> <seed> | listen <stream> | multicast-pair <stream>\n");
    return 64;
}
