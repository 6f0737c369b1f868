// A second process for the shared-memory tests.
//   send <stream> <interval us> <max ms> <w,h,d>...  sends frames cycling through
//        the formats until SIGTERM or max ms, then exits cleanly; prints "ready"
//        once the stream is open, or "busy <detail>" and exits 3.
//   die-mid-frame <stream> <good> <w,h,d>  publishes <good> frames, then writes
//        half of the next one and kills itself with SIGKILL.
#include <kivVidStreamLib2.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "pattern.hpp"
#include "transports/shm_segment.hpp"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

bool parseFormat(const char *text, kivStreamFormat &f) {
    unsigned w, h, d;
    if (std::sscanf(text, "%u,%u,%u", &w, &h, &d) != 3) return false;
    f = {uint16_t(w), uint16_t(h), uint16_t(d), 1};
    return true;
}

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int send(int stream, long intervalUs, long maxMs, const std::vector<kivStreamFormat> &formats) {
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_MEMORY, &formats[0]);
    if (!enc) return 2;
    if (const int rc = kivSetDestAddress(enc, nullptr, stream); rc != KIV_OK) {
        std::printf("busy %d %s\n", rc, kivLastErrorDetail());
        std::fflush(stdout);
        kivDeleteEncoder(enc);
        return 3;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<std::vector<uint8_t>> pixels(formats.size());
    const long long end = nowMs() + maxMs;
    for (uint32_t frame = 0; !stopRequested && nowMs() < end; ++frame) {
        const size_t which = frame % formats.size();
        const kivStreamFormat &f = formats[which];
        if (formats.size() > 1 && kivSetDestFormat(enc, &f, 0, 0) != KIV_OK) return 4;
        pixels[which].resize(kivGetByteSize(&f));
        kivtest::fillFrame(pixels[which].data(), pixels[which].size(), frame, f);
        if (kivEncode(enc, pixels[which].data()) != KIV_OK) return 5;
        if (intervalUs > 0) {
            timespec ts{intervalUs / 1000000, (intervalUs % 1000000) * 1000};
            nanosleep(&ts, nullptr);
        }
    }
    return kivDeleteEncoder(enc) == KIV_OK ? 0 : 6;
}

int dieMidFrame(int stream, uint32_t good, const kivStreamFormat &f) {
    kiv::shm::SegmentOwner owner;
    if (owner.open(stream) != KIV_OK) return 3;
    const size_t size = kivGetByteSize(&f);
    for (uint32_t frame = 0; frame <= good; ++frame) {
        kiv::WireHeader h;
        h.format = f;
        h.frameNumber = frame;
        h.sessionId = 0x5eed;
        h.payloadSize = uint32_t(size);
        std::span<uint8_t> slot = owner.beginFrame(kiv::kWireHeaderSize + size);
        if (slot.empty()) return 4;
        kiv::encodeHeader(h, slot.first<kiv::kWireHeaderSize>());
        if (frame == good) {
            kivtest::fillFrame(slot.data() + kiv::kWireHeaderSize, size / 2, frame, f);
            std::raise(SIGKILL);
        }
        kivtest::fillFrame(slot.data() + kiv::kWireHeaderSize, size, frame, f);
        owner.commitFrame();
    }
    return 5;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 6 && std::strcmp(argv[1], "send") == 0) {
        std::vector<kivStreamFormat> formats;
        for (int i = 5; i < argc; ++i) {
            kivStreamFormat f;
            if (!parseFormat(argv[i], f)) return 2;
            formats.push_back(f);
        }
        return send(std::atoi(argv[2]), std::atol(argv[3]), std::atol(argv[4]), formats);
    }
    kivStreamFormat f;
    if (argc == 5 && std::strcmp(argv[1], "die-mid-frame") == 0 && parseFormat(argv[4], f))
        return dieMidFrame(std::atoi(argv[2]), uint32_t(std::atoi(argv[3])), f);
    std::fprintf(stderr, "usage: see the top of memory_helper.cpp\n");
    return 2;
}
