// A second process for the shared-memory tests.
//   send <stream> <interval us> <w,h,d>...  sends frames cycling through the
//        formats until SIGTERM (or a minute), then exits cleanly.
//   die-mid-frame <stream> <good> <w,h,d>  publishes <good> frames, then writes
//        half of the next one and kills itself with SIGKILL.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "support.hpp"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

int send(int stream, long intervalUs, const std::vector<kivStreamFormat> &formats) {
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_MEMORY, &formats[0]);
    if (kivSetDestAddress(enc, nullptr, stream) != KIV_OK) return 3;
    const timespec pause{0, intervalUs * 1000};
    const time_t end = time(nullptr) + 60;
    for (uint32_t frame = 0; !stopRequested && time(nullptr) < end; ++frame) {
        const kivStreamFormat &f = formats[frame % formats.size()];
        if (formats.size() > 1 && kivSetDestFormat(enc, &f, 0, 0) != KIV_OK) return 4;
        if (kivEncode(enc, kivtest::makeFrame(frame, f).data()) != KIV_OK) return 5;
        if (intervalUs > 0) nanosleep(&pause, nullptr);
    }
    return kivDeleteEncoder(enc) == KIV_OK ? 0 : 6;
}

int dieMidFrame(int stream, uint32_t good, const kivStreamFormat &f) {
    kiv::shm::SegmentOwner owner;
    if (owner.open(stream) != KIV_OK) return 3;
    const size_t size = kivGetByteSize(&f);
    for (uint32_t frame = 0; frame <= good; ++frame) {
        const kiv::WireHeader h{.format = f, .frameNumber = frame, .sessionId = 0x5eed, .payloadSize = uint32_t(size)};
        std::span<uint8_t> slot = owner.beginFrame(kiv::kWireHeaderSize + size);
        if (slot.empty()) return 4;
        kiv::encodeHeader(h, slot.first<kiv::kWireHeaderSize>());
        kivtest::pattern(slot.data() + kiv::kWireHeaderSize, frame == good ? size / 2 : size, frame, f);
        if (frame == good) std::raise(SIGKILL);
        owner.commitFrame();
    }
    return 5;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<kivStreamFormat> formats;
    for (int i = 4; i < argc; ++i) {
        unsigned w = 0, h = 0, d = 99;
        std::sscanf(argv[i], "%u,%u,%u", &w, &h, &d);
        formats.push_back({uint16_t(w), uint16_t(h), uint16_t(d), 1});
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "send" && !formats.empty()) return send(std::atoi(argv[2]), std::atol(argv[3]), formats);
    if (mode == "die-mid-frame" && argc == 5) return dieMidFrame(std::atoi(argv[2]), uint32_t(std::atoi(argv[3])), formats[0]);
    std::fprintf(stderr, "usage: see the top of memory_helper.cpp\n");
    return 2;
}
