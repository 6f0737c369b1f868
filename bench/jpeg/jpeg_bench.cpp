// SPDX-License-Identifier: MIT
// 1920x1080x32 JPEG end to end (encode call, in stripes -> transport ->
// decode -> lock) against TurboJPEG's own rate on the same picture, measured in
// the same run. Prints the figures; sets no pass or fail.
//
// `jpeg_bench paced [seconds]`: frames paced at 0.75 x this machine's
// TurboJPEG bound over Local (Memory), and JPEG against raw sizes at every depth.
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
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

// TurboJPEG alone as a two-thread pipeline: one thread compressing and one
// decompressing at the same time, so that it meets the same competition for
// cores as the library's compress and decode threads. Frames per second of the
// slower thread.
double turboPairRate(const kivStreamFormat &f, const std::vector<uint8_t> &pixels, int quality, double secs) {
    const int subsamp = quality >= 90 ? TJSAMP_444 : TJSAMP_420;
    const unsigned long bound = tjBufSize(f.width, f.height, subsamp);
    tjhandle c = tjInitCompress();
    unsigned char *jpeg = tjAlloc(int(bound));
    unsigned long size = bound;
    if (tjCompress2(c, pixels.data(), f.width, int(kiv::rowPitch(f)), f.height, TJPF_BGRX, &jpeg, &size, subsamp,
                    quality, TJFLAG_NOREALLOC) != 0)
        std::abort();
    const std::vector<uint8_t> source(jpeg, jpeg + size);
    std::atomic<bool> stop{false};
    std::atomic<int> decoded{0};
    std::thread decompressor([&] {
        tjhandle d = tjInitDecompress();
        std::vector<uint8_t> out(pixels.size());
        while (!stop) {
            if (tjDecompress2(d, source.data(), source.size(), out.data(), f.width, int(kiv::rowPitch(f)), f.height,
                              TJPF_BGRA, TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING) != 0)
                std::abort();
            ++decoded;
        }
        tjDestroy(d);
    });
    const auto start = Clock::now();
    int compressed = 0;
    const int decoded0 = decoded;
    while (seconds(Clock::now() - start) < secs) {
        size = bound;
        tjCompress2(c, pixels.data(), f.width, int(kiv::rowPitch(f)), f.height, TJPF_BGRX, &jpeg, &size, subsamp,
                    quality, TJFLAG_NOREALLOC);
        ++compressed;
    }
    const int decodedInTime = decoded - decoded0;
    const double elapsed = seconds(Clock::now() - start);
    stop = true;
    decompressor.join();
    tjFree(jpeg);
    tjDestroy(c);
    return std::min(compressed, decodedInTime) / elapsed;
}

struct EndToEnd {
    double fps;
    double cpuMs; // process CPU time per frame handed out
    double encodeCallMs; // mean time of the caller's encode call
    uint64_t delivered, dropped;
    uint32_t jpegBytes;
    double psnr;
};

// One sending and one receiving end, seen the same way whether they are the
// internal objects joined in-process or the public API on a real transport.
struct Pipe {
    virtual ~Pipe() = default;
    virtual bool ok() const = 0;
    virtual void encode(const uint8_t *pixels) = 0;
    virtual const void *lock(int timeoutMs) = 0;
    virtual void unlock() = 0;
    virtual uint32_t transferBytes() = 0;
    virtual kivDecoderStats decoderStats() = 0;
    virtual kivEncoderStats encoderStats() = 0;
    // Frames the compressor has not finished with yet.
    virtual uint64_t uncompressed(uint64_t encoded) = 0;
};

struct InternalPipe final : Pipe {
    InternalPipe(const kivStreamFormat &f, int level) {
        using namespace kiv;
        testing::LoopbackReceiver *receiver = nullptr;
        decoder = testing::loopbackDecoder(receiver);
        auto loopback = std::make_unique<testing::LoopbackSender>(*receiver);
        sender = loopback.get();
        encoder = std::make_unique<Encoder>(std::move(loopback), f);
        encoder->setDestination("", 27001);
        encoder->setFormat(f, 1, level);
    }
    ~InternalPipe() override { encoder.reset(); }
    bool ok() const override { return true; }
    void encode(const uint8_t *pixels) override { encoder->encode(pixels); }
    const void *lock(int timeoutMs) override { return decoder->lock(timeoutMs); }
    void unlock() override { decoder->unlock(); }
    uint32_t transferBytes() override { return decoder->lastTransferBytes(); }
    kivDecoderStats decoderStats() override { return decoder->stats(); }
    kivEncoderStats encoderStats() override { return encoder->stats(); }
    uint64_t uncompressed(uint64_t encoded) override {
        return encoded - sender->counters.sent.load() - encoder->stats().framesDropped;
    }

    std::unique_ptr<kiv::Decoder> decoder;
    kiv::testing::LoopbackSender *sender = nullptr;
    std::unique_ptr<kiv::Encoder> encoder;
};

struct PublicPipe final : Pipe {
    PublicPipe(int protocol, const kivStreamFormat &f, int level, int stream) {
        e = kivGetEncoder(protocol, &f);
        d = kivGetDecoder(protocol, &f);
        if (!e || !d || kivSetSourceAddress(d, stream) != KIV_OK || kivSetDestAddress(e, "127.0.0.1", stream) != KIV_OK ||
            kivSetDestFormat(e, &f, 1, level) != KIV_OK) {
            kivDeleteEncoder(e);
            kivDeleteDecoder(d);
            e = nullptr;
            d = nullptr;
        }
    }
    ~PublicPipe() override {
        if (e) kivDeleteEncoder(e);
        if (d) kivDeleteDecoder(d);
    }
    bool ok() const override { return e && d; }
    void encode(const uint8_t *pixels) override { kivEncode(e, pixels); }
    const void *lock(int timeoutMs) override { return kivLockReadBuffer(d, timeoutMs); }
    void unlock() override { kivUnlockReadBuffer(d); }
    uint32_t transferBytes() override { return kivGetCompressedFrameSize(d); }
    kivDecoderStats decoderStats() override {
        kivDecoderStats s{};
        kivGetDecoderStats(d, &s);
        return s;
    }
    kivEncoderStats encoderStats() override {
        kivEncoderStats s{};
        kivGetEncoderStats(e, &s);
        return s;
    }
    uint64_t uncompressed(uint64_t encoded) override {
        const kivEncoderStats s = encoderStats();
        return encoded > s.framesSent + s.framesDropped ? encoded - s.framesSent - s.framesDropped : 0;
    }

    kivEncoder *e = nullptr;
    kivDecoder *d = nullptr;
};

// Keeps frames in flight so that the compress and decode threads both stay
// busy, as a sender at a high frame rate would.
EndToEnd endToEnd(Pipe &pipe, const kivStreamFormat &f, const std::vector<uint8_t> &pixels, double secs,
                  uint64_t window) {
    uint64_t encoded = 0;
    Clock::duration encodeTime{};
    EndToEnd r{};
    std::vector<uint8_t> last(pixels.size());
    // A new frame goes in when the compressor has at most one left (so it never
    // waits and none is replaced unsent) and the pipeline holds fewer than `window`.
    auto mayEncode = [&] {
        const kivDecoderStats ds = pipe.decoderStats();
        const kivEncoderStats es = pipe.encoderStats();
        const uint64_t inFlight = encoded - ds.framesDelivered - ds.framesDropped - es.framesDropped;
        return pipe.uncompressed(encoded) < 2 && inFlight < window;
    };
    bool gotOne = false;
    auto pump = [&](bool measure) {
        while (mayEncode()) {
            const auto t0 = Clock::now();
            pipe.encode(pixels.data());
            if (measure) encodeTime += Clock::now() - t0;
            ++encoded;
        }
        if (const void *frame = pipe.lock(20)) { // a frame handed out is what frees a place
            r.jpegBytes = pipe.transferBytes();
            if (!measure) std::memcpy(last.data(), frame, last.size()), gotOne = true;
            pipe.unlock();
        }
    };
    const auto warmUpEnd = Clock::now() + std::chrono::seconds(10);
    for (int i = 0; (i < 5 || !gotOne) && Clock::now() < warmUpEnd; ++i) pump(false);
    if (!gotOne) return r;
    r.psnr = kiv::testpic::psnr(f, pixels.data(), last.data());
    const uint64_t delivered0 = pipe.decoderStats().framesDelivered, encoded0 = encoded;
    const uint64_t dropped0 = pipe.decoderStats().framesDropped + pipe.encoderStats().framesDropped;
    const auto start = Clock::now();
    const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    while (seconds(Clock::now() - start) < secs) pump(true);
    const double elapsed = seconds(Clock::now() - start);
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    r.delivered = pipe.decoderStats().framesDelivered - delivered0;
    r.dropped = pipe.decoderStats().framesDropped + pipe.encoderStats().framesDropped - dropped0;
    r.fps = r.delivered / elapsed;
    r.cpuMs = 1000.0 * cpu / double(r.delivered);
    r.encodeCallMs = 1000.0 * seconds(encodeTime) / double(encoded - encoded0);
    return r;
}

// What fraction of frames paced at 0.75 x the machine's TurboJPEG bound
// (cores / (1/compress + 1/decompress), each measured on one core) arrive
// through the public API on the memory transport.
void pacedRow(const kivStreamFormat &f, int level, double secs, int stream) {
    const auto pixels = kiv::testpic::linesPicture(f, 0); // smooth: a faint gradient
    const int quality = kiv::jpeg::qualityForLevel(level);
    const TurboRate tj = turboRate(f, pixels, quality, 1.0);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const double bound = cores / (1.0 / tj.compress.fps + 1.0 / tj.decompress.fps);
    const double pace = 0.75 * bound;

    PublicPipe pipe(KIV_PROTOCOL_MEMORY, f, level, stream);
    if (!pipe.ok()) {
        std::printf("%4ux%-4u level %3d: memory transport not in this build\n", f.width, f.height, level);
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> arrived{0};
    std::atomic<uint32_t> transfer{0};
    std::thread reader([&] {
        while (!stop)
            if (pipe.lock(50)) {
                transfer = pipe.transferBytes();
                ++arrived;
                pipe.unlock();
            }
    });
    // Warm-up: pool threads, buffers and the segment come up before counting.
    for (int i = 0; i < 10; ++i) {
        pipe.encode(pixels.data());
        std::this_thread::sleep_for(std::chrono::duration<double>(1.0 / pace));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t arrived0 = arrived;
    const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto start = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / pace));
    uint64_t sent = 0;
    for (auto next = start; seconds(Clock::now() - start) < secs; next += period) {
        std::this_thread::sleep_until(next);
        pipe.encode(pixels.data());
        ++sent;
    }
    // Frames still in the pipeline get the time of two frames to arrive.
    std::this_thread::sleep_for(std::max(std::chrono::milliseconds(100), 2 * std::chrono::duration_cast<std::chrono::milliseconds>(period)));
    stop = true;
    reader.join();
    const double elapsed = seconds(Clock::now() - start);
    const uint64_t got = arrived - arrived0;
    const double cpuUs = 1e6 * (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0) / double(std::max<uint64_t>(got, 1));
    const kivDecoderStats ds = pipe.decoderStats();
    const kivEncoderStats es = pipe.encoderStats();
    std::printf("%4ux%-4u level %3d q%-3d %s | %7.1f %7.1f %7.1f | %7.1f %6llu %6llu %6.1f%% | %9u %9llu | %7.0f %7.0f"
                " | %5llu %5llu %5llu\n",
                f.width, f.height, level, quality, quality >= 90 ? "4:4:4" : "4:2:0", tj.compress.fps,
                tj.decompress.fps, bound, pace, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(got), 100.0 * double(got) / double(sent), transfer.load(),
                static_cast<unsigned long long>(kiv::frameBytes64(f)), cpuUs, 1e6 * elapsed / double(sent),
                static_cast<unsigned long long>(es.framesDropped), static_cast<unsigned long long>(ds.framesDropped),
                static_cast<unsigned long long>(ds.framesMalformed));
}

// The largest frame that travelled against its raw size, per depth, on a
// picture JPEG cannot shrink (noise) and on the tester-like one, at level 0.
void sizeRow(uint16_t depth, int stream) {
    const kivStreamFormat f{640, 480, depth, 1};
    const uint64_t raw = kiv::frameBytes64(f);
    std::vector<uint8_t> noise(raw);
    uint32_t x = 12345;
    for (auto &b : noise) b = uint8_t((x = x * 1664525u + 1013904223u) >> 24);
    const auto lines = kiv::testpic::linesPicture(f, 300);
    const int bits = depth == KIV_DEPTH_8 ? 8 : depth == KIV_DEPTH_16 ? 16 : depth == KIV_DEPTH_24 ? 24 : 32;
    std::printf("640x480x%-2d (raw %7llu B):", bits, static_cast<unsigned long long>(raw));
    for (const std::vector<uint8_t> *picture : std::array<const std::vector<uint8_t> *, 2>{&noise, &lines}) {
        PublicPipe pipe(KIV_PROTOCOL_MEMORY, f, 0, stream++);
        if (!pipe.ok()) return;
        uint32_t largest = 0;
        uint64_t frames = 0;
        for (int i = 0; i < 20; ++i) {
            pipe.encode(picture->data());
            if (pipe.lock(1000)) {
                largest = std::max(largest, pipe.transferBytes());
                ++frames;
                pipe.unlock();
            }
        }
        std::printf("  %s: largest %u B (%.3f of raw), %llu sent raw of %llu", picture == &noise ? "noise" : "lines",
                    largest, double(largest) / double(raw),
                    static_cast<unsigned long long>(pipe.encoderStats().framesSentRaw),
                    static_cast<unsigned long long>(frames));
    }
    std::printf("\n");
}

int pacedMain(double secs) {
    std::printf("paced at 0.75 x TurboJPEG bound = cores / (1/comp + 1/dec), one core each, smooth picture; "
                "memory transport, %u cores, %.1f s a row\n",
                std::max(1u, std::thread::hardware_concurrency()), secs);
    std::printf("%-30s | %7s %7s %7s | %7s %6s %6s %7s | %9s %9s | %7s %7s | %5s %5s %5s\n", "frame", "comp/s", "dec/s", "bound",
                "pace/s", "sent", "arrived", "", "jpeg B", "raw B", "CPU us", "wall us", "e.drop", "d.drop", "malf");
    pacedRow({1920, 1080, KIV_DEPTH_32, 1}, 0, secs, 27500);
    pacedRow({3840, 2160, KIV_DEPTH_32, 1}, 50, secs, 27501);
    std::printf("CPU us: whole process per frame arrived; wall us: per frame sent;\n"
                "e.drop: frames the encoder replaced before sending; d.drop, malf: the decoder's dropped and malformed\n");
    int stream = 27510;
    for (uint16_t depth : {KIV_DEPTH_8, KIV_DEPTH_16, KIV_DEPTH_24, KIV_DEPTH_32}) sizeRow(depth, stream += 2);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "paced") == 0) return pacedMain(argc > 2 ? std::atof(argv[2]) : 4.0);
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
    // Memory transport through the public API when the build carries it (or the
    // protocol code in KIV_JPEG_BENCH_PROTOCOL), else the internal objects joined
    // by an in-process transport thread.
    const char *chosen = std::getenv("KIV_JPEG_BENCH_PROTOCOL");
    const int protocol = chosen ? std::atoi(chosen) : KIV_PROTOCOL_MEMORY;
    bool usePublic;
    {
        PublicPipe probe(protocol, f, 0, 27002);
        usePublic = probe.ok();
    }
    if (usePublic) std::printf("end to end through the public API, protocol %d\n", protocol);
    else std::printf("end to end through an in-process transport thread (protocol %d not in this build)\n", protocol);
    std::printf("%5s %7s %9s %6s %7s | %8s %8s %8s | %8s %8s %8s | %6s %8s %8s\n", "level", "quality", "jpeg B",
                "ratio", "PSNR", "tj comp", "tj dec", "tj pair", "e2e fps", "e2e/tj", "e2e/pair", "drops", "tj CPU",
                "e2e CPU");
    int stream = 27010;
    for (int level : {0, 10, 50, 90}) {
        const int quality = kiv::jpeg::qualityForLevel(level);
        TurboRate tj{};
        EndToEnd e{};
        double pair = 0;
        for (int round = 0; round < rounds; ++round) {
            const TurboRate t = turboRate(f, pixels, quality, secs);
            pair = std::max(pair, turboPairRate(f, pixels, quality, secs));
            std::unique_ptr<Pipe> pipe;
            if (usePublic) pipe = std::make_unique<PublicPipe>(protocol, f, level, ++stream);
            else pipe = std::make_unique<InternalPipe>(f, level);
            const EndToEnd x = endToEnd(*pipe, f, pixels, secs, window);
            if (t.compress.fps > tj.compress.fps) tj.compress = t.compress;
            if (t.decompress.fps > tj.decompress.fps) tj.decompress = t.decompress;
            if (x.fps > e.fps) e = x;
        }
        const double ceiling = std::min(tj.compress.fps, tj.decompress.fps);
        std::printf("%5d %7d %9u %6.1f %7.2f | %8.1f %8.1f %8.1f | %8.1f %7.1f%% %7.1f%% | %6llu %5.1f ms %5.1f ms\n",
                    level, quality, e.jpegBytes, imageBytes / e.jpegBytes, e.psnr, tj.compress.fps,
                    tj.decompress.fps, pair, e.fps, 100.0 * e.fps / ceiling, 100.0 * e.fps / pair,
                    static_cast<unsigned long long>(e.dropped), tj.compress.cpuMs + tj.decompress.cpuMs, e.cpuMs);
        if (level == 0) std::printf("      encode call (copy only): %.2f ms per frame\n", e.encodeCallMs);
    }
    std::printf("tj comp/dec: TurboJPEG alone, one thread each in turn; tj pair: both at once on two threads\n"
                "tj CPU: compress + decompress per frame; e2e CPU: whole process per frame handed out\n");

    // What the sender's thread pays for the largest picture the tester makes.
    const kivStreamFormat big{2048, 2048, KIV_DEPTH_32, 1};
    const auto bigPixels = kiv::testpic::linesPicture(big, 300);
    const TurboRate bigTj = turboRate(big, bigPixels, 100, secs);
    InternalPipe bigPipe(big, 0);
    const auto t0 = Clock::now();
    constexpr int kCalls = 20;
    for (int i = 0; i < kCalls; ++i) bigPipe.encode(bigPixels.data());
    std::printf("2048x2048x32 level 0: encode call %.2f ms, compress alone %.1f ms\n",
                1000.0 * seconds(Clock::now() - t0) / kCalls, 1000.0 / bigTj.compress.fps);
    return 0;
}
