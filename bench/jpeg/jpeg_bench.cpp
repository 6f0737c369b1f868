// 1920x1080x32 JPEG end to end (encode call -> compress thread -> transport ->
// decode -> lock) against TurboJPEG's own rate on the same picture, measured in
// the same run. Prints the figures; sets no pass or fail.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <turbojpeg.h>

#include "decoder.hpp"
#include "encoder.hpp"
#include "loopback.hpp"
#include "picture.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

struct Rate {
    double fps = 0;
    double cpuMs = 0; // CPU time per call
};

// Runs `step` until `minSeconds` have passed.
template <class F> Rate rate(double minSeconds, F &&step) {
    step(); // warm-up: allocations, caches
    const auto start = Clock::now();
    const double cpu0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    int n = 0;
    do {
        step();
        ++n;
    } while (seconds(Clock::now() - start) < minSeconds);
    return {n / seconds(Clock::now() - start), 1000.0 * (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / n};
}

struct TurboRate {
    Rate compress, decompress;
    size_t jpegBytes;
};

// TurboJPEG called directly, with the parameters the library uses at this level.
TurboRate turboRate(const kivStreamFormat &f, const std::vector<uint8_t> &pixels, int quality, double secs) {
    tjhandle c = tjInitCompress(), d = tjInitDecompress();
    const int subsamp = quality >= 90 ? TJSAMP_444 : TJSAMP_420;
    const unsigned long bound = tjBufSize(f.width, f.height, subsamp);
    unsigned char *jpeg = tjAlloc(int(bound));
    unsigned long size = 0;
    std::vector<uint8_t> out(pixels.size());
    TurboRate r{};
    r.compress = rate(secs, [&] {
        size = bound;
        if (tjCompress2(c, pixels.data(), f.width, int(kiv::rowPitch(f)), f.height, TJPF_BGRX, &jpeg, &size, subsamp,
                        quality, TJFLAG_NOREALLOC) != 0)
            std::abort();
    });
    r.decompress = rate(secs, [&] {
        if (tjDecompress2(d, jpeg, size, out.data(), f.width, int(kiv::rowPitch(f)), f.height, TJPF_BGRA,
                          TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING) != 0)
            std::abort();
    });
    r.jpegBytes = size;
    tjFree(jpeg);
    tjDestroy(c);
    tjDestroy(d);
    return r;
}

struct EndToEnd {
    double fps;
    double cpuMs; // process CPU time per frame handed out
    double encodeCallMs; // mean time of the caller's encode call
    uint64_t delivered, dropped;
    uint32_t jpegBytes;
    double psnr;
};

// Keeps a few frames in flight so that the compress and decode threads both stay
// busy, as a sender at a high frame rate would.
EndToEnd endToEnd(const kivStreamFormat &f, const std::vector<uint8_t> &pixels, int level, double secs,
                  uint64_t window) {
    using namespace kiv;
    auto decoder = std::make_unique<Decoder>([](FrameSink &) { return std::make_unique<testing::InertReceiver>(); });
    decoder->setSource(27001);
    decoder->setAdaptive(getenv("KIV_BENCH_QUEUED") == nullptr);
    auto loopback = std::make_unique<testing::LoopbackSender>(*decoder);
    testing::LoopbackSender &sender = *loopback;
    auto encoder = std::make_unique<Encoder>(std::move(loopback), f);
    encoder->setDestination("", 27001);
    encoder->setFormat(f, 1, level);

    uint64_t encoded = 0;
    Clock::duration encodeTime{};
    EndToEnd r{};
    std::vector<uint8_t> last(pixels.size());
    // A new frame goes in when the compressor has at most one left (so it never
    // waits and none is replaced unsent) and the pipeline holds fewer than `window`.
    auto mayEncode = [&] {
        const kivDecoderStats ds = decoder->stats();
        const kivEncoderStats es = encoder->stats();
        const uint64_t senderDrops = es.framesDropped - sender.counters.dropped.load();
        const uint64_t uncompressed = encoded - sender.handed.load() - senderDrops;
        const uint64_t inFlight = encoded - ds.framesDelivered - ds.framesDropped - es.framesDropped;
        return uncompressed < 2 && inFlight < window;
    };
    bool gotOne = false;
    auto pump = [&](bool measure) {
        while (mayEncode()) {
            const auto t0 = Clock::now();
            encoder->encode(pixels.data());
            if (measure) encodeTime += Clock::now() - t0;
            ++encoded;
        }
        if (const void *frame = decoder->lock(1)) {
            r.jpegBytes = decoder->lastTransferBytes();
            if (!measure) std::memcpy(last.data(), frame, last.size()), gotOne = true;
            decoder->unlock();
        }
    };
    for (int i = 0; i < 5 || !gotOne; ++i) pump(false); // warm-up
    r.psnr = testpic::psnr(f, pixels.data(), last.data());
    const uint64_t delivered0 = decoder->stats().framesDelivered, encoded0 = encoded;
    const uint64_t dropped0 = decoder->stats().framesDropped + encoder->stats().framesDropped;
    const auto start = Clock::now();
    const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    while (seconds(Clock::now() - start) < secs) pump(true);
    const double elapsed = seconds(Clock::now() - start);
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    r.delivered = decoder->stats().framesDelivered - delivered0;
    r.dropped = decoder->stats().framesDropped + encoder->stats().framesDropped - dropped0;
    r.fps = r.delivered / elapsed;
    r.cpuMs = 1000.0 * cpu / double(r.delivered);
    r.encodeCallMs = 1000.0 * seconds(encodeTime) / double(encoded - encoded0);
    encoder.reset();
    return r;
}

} // namespace

int main(int argc, char **argv) {
    const double secs = argc > 1 ? std::atof(argv[1]) : 1.0;
    // Rounds of every measurement, interleaved; the best of each is kept, which
    // is what a shared, busy machine lets through most faithfully.
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    // Frames in flight. Two keep the slower of the compress and decode threads
    // busy all the time; more only let the faster one outrun it and be dropped.
    const uint64_t window = argc > 3 ? uint64_t(std::atoi(argv[3])) : 2;
    const kivStreamFormat f{1920, 1080, KIV_DEPTH_32, 1};
    // The tester's picture after a few hundred frames: grey with many random lines.
    const auto pixels = kiv::testpic::linesPicture(f, 300);
    const double imageBytes = double(kiv::frameBytes64(f));

    std::printf("1920x1080x32, tester-like picture (300 random lines on grey)\n"
                "best of %d interleaved rounds of %.1f s, %llu frames in flight\n",
                rounds, secs, static_cast<unsigned long long>(window));
    std::printf("%5s %7s %9s %6s %7s | %8s %8s | %8s %8s | %7s %8s %8s\n", "level", "quality", "jpeg B", "ratio",
                "PSNR", "tj comp", "tj dec", "e2e fps", "e2e/tj", "drops", "tj CPU", "e2e CPU");
    for (int level : {0, 10, 50, 90}) {
        const int quality = kiv::jpeg::qualityForLevel(level);
        TurboRate tj{};
        EndToEnd e{};
        for (int round = 0; round < rounds; ++round) {
            const TurboRate t = turboRate(f, pixels, quality, secs);
            const EndToEnd x = endToEnd(f, pixels, level, secs, window);
            if (t.compress.fps > tj.compress.fps) tj.compress = t.compress;
            if (t.decompress.fps > tj.decompress.fps) tj.decompress = t.decompress;
            if (x.fps > e.fps) e = x;
        }
        const double ceiling = std::min(tj.compress.fps, tj.decompress.fps);
        std::printf("%5d %7d %9u %6.1f %7.2f | %8.1f %8.1f | %8.1f %7.1f%% | %7llu %5.1f ms %5.1f ms\n", level,
                    quality, e.jpegBytes, imageBytes / e.jpegBytes, e.psnr, tj.compress.fps, tj.decompress.fps, e.fps,
                    100.0 * e.fps / ceiling, static_cast<unsigned long long>(e.dropped),
                    tj.compress.cpuMs + tj.decompress.cpuMs, e.cpuMs);
        if (level == 0) std::printf("      encode call (copy only): %.2f ms per frame\n", e.encodeCallMs);
    }
    std::printf("tj CPU: compress + decompress per frame; e2e CPU: whole process per frame handed out\n");
    return 0;
}
