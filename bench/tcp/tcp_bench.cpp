// SPDX-License-Identifier: MIT
// Remote (TCP) over loopback: 1920x1080x32 frames as fast as they go, against
// iperf3's single-stream loopback throughput measured in the same run, and the
// time a sender takes to resume after its receiver restarts.
//
//   tcp_bench [seconds]     (default 5; loopback ports 27100..27104)
#include <kivVidStreamLib2.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Benchmarks of every area share 27000-27999: iperf3 tries a few ports in turn.
constexpr int kIperfPorts[] = {27100, 27103, 27104};
constexpr int kFramePort = 27101;
constexpr int kRestartPort = 27102;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs a command, returns its standard output, or "" when it could not start or failed.
std::string capture(const std::vector<std::string> &args) {
    int out[2];
    if (pipe(out) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    if (rc == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    }
    close(out[0]);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return text;
}

// iperf3 -J: the receiver's figure, end.sum_received.bits_per_second.
double iperfBitsPerSecond(int durationS, int iperfPort) {
    pid_t server;
    const std::string port = std::to_string(iperfPort);
    const char *serverArgs[] = {"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", port.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&server, "iperf3", &quiet, nullptr, const_cast<char **>(serverArgs), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (rc != 0) return 0;
    std::string json;
    const auto deadline = Clock::now() + 5s;
    while (json.empty() && Clock::now() < deadline) { // until the server listens
        json = capture({"iperf3", "-c", "127.0.0.1", "-p", port, "-t", std::to_string(durationS), "-J"});
        if (json.empty()) std::this_thread::sleep_for(50ms);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    const size_t at = json.find("\"sum_received\"");
    if (at == std::string::npos) return 0;
    const size_t bps = json.find("\"bits_per_second\"", at);
    if (bps == std::string::npos) return 0;
    return std::strtod(json.c_str() + json.find(':', bps) + 1, nullptr);
}

struct FrameRun {
    double framesPerSecond = 0, megabytesPerSecond = 0, p50Ms = 0, p99Ms = 0;
    uint64_t frames = 0, dropped = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// Sends frames of `format`: flat out when `interval` is zero, else one per interval.
FrameRun runFrames(const kivStreamFormat &format, double durationS, std::chrono::microseconds interval) {
    FrameRun result;
    kivDecoder *dec = kivGetDecoder(KIV_PROTOCOL_TCP, nullptr);
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_TCP, &format);
    if (!dec || !enc || kivSetSourceAddress(dec, kFramePort) != KIV_OK ||
        kivSetDestAddress(enc, "127.0.0.1", kFramePort) != KIV_OK) {
        std::fprintf(stderr, "tcp_bench: setup failed: %s\n", kivLastErrorDetail());
        std::exit(1);
    }
    std::vector<uint8_t> pixels(kivGetByteSize(&format));
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 31);

    std::atomic<bool> running{true};
    std::vector<double> latencyMs;
    std::thread reader([&] {
        while (running) {
            if (!kivLockReadBuffer(dec, 100)) continue;
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec, &info);
            latencyMs.push_back(double(info.receiveTimeUs - info.sendTimeUs) / 1000.0);
            kivUnlockReadBuffer(dec);
        }
    });

    // Warm-up: the connection is up and a first frame went through.
    kivDecoderStats ds{};
    kivEncode(enc, pixels.data());
    for (auto until = Clock::now() + 5s; Clock::now() < until && ds.framesReceived == 0;) {
        std::this_thread::sleep_for(1ms);
        kivGetDecoderStats(dec, &ds);
    }
    kivDecoderStats start{};
    kivGetDecoderStats(dec, &start);
    kivEncoderStats es0{};
    kivGetEncoderStats(enc, &es0);
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(durationS));
    auto next = t0;
    while (Clock::now() < end) {
        if (interval.count() == 0) {
            kivEncoderStats es{};
            kivGetEncoderStats(enc, &es);
            // The next frame once the last has gone into the socket: the socket
            // buffers keep the receiver busy meanwhile, and no copy is wasted on
            // a frame that would only be replaced.
            if (es.framesSent + es.framesDropped < es.framesEncoded) {
                std::this_thread::sleep_for(20us);
                continue;
            }
        } else {
            std::this_thread::sleep_until(next);
            next += interval;
        }
        kivEncode(enc, pixels.data());
    }
    const auto t1 = Clock::now();
    kivDecoderStats stop{};
    kivGetDecoderStats(dec, &stop);
    kivEncoderStats es1{};
    kivGetEncoderStats(enc, &es1);
    running = false;
    reader.join();
    kivDeleteEncoder(enc);
    kivDeleteDecoder(dec);

    const double elapsed = seconds(t1 - t0);
    result.frames = stop.framesReceived - start.framesReceived;
    result.dropped = es1.framesDropped - es0.framesDropped;
    result.framesPerSecond = double(result.frames) / elapsed;
    result.megabytesPerSecond = double(stop.bytesReceived - start.bytesReceived) / elapsed / 1e6;
    if (latencyMs.size() > 1) latencyMs.erase(latencyMs.begin()); // the warm-up frame
    result.p50Ms = percentile(latencyMs, 0.50);
    result.p99Ms = percentile(latencyMs, 0.99);
    return result;
}

// Restarts the receiver after `downtime` and returns how long the paced sender
// took to deliver again, in milliseconds (negative if it never did within 5 s).
double resumeAfterRestart(std::chrono::milliseconds downtime) {
    const kivStreamFormat format{320, 240, KIV_DEPTH_24, 1};
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_TCP, &format);
    kivSetDestAddress(enc, "127.0.0.1", kRestartPort);
    std::vector<uint8_t> pixels(kivGetByteSize(&format), 0x42);
    std::atomic<bool> running{true};
    std::thread sender([&] {
        while (running) {
            kivEncode(enc, pixels.data());
            std::this_thread::sleep_for(10ms); // 100 frames/s, the tester's fastest
        }
    });
    kivDecoder *dec = kivGetDecoder(KIV_PROTOCOL_TCP, nullptr);
    kivSetSourceAddress(dec, kRestartPort);
    kivLockReadBuffer(dec, 5000) ? kivUnlockReadBuffer(dec) : 0;
    kivDeleteDecoder(dec);
    std::this_thread::sleep_for(downtime);
    dec = kivGetDecoder(KIV_PROTOCOL_TCP, nullptr);
    const auto back = Clock::now();
    kivSetSourceAddress(dec, kRestartPort);
    const bool got = kivLockReadBuffer(dec, 5000) != nullptr;
    const double ms = got ? seconds(Clock::now() - back) * 1000.0 : -1.0;
    if (got) kivUnlockReadBuffer(dec);
    running = false;
    sender.join();
    kivDeleteDecoder(dec);
    kivDeleteEncoder(enc);
    return ms;
}

} // namespace

int main(int argc, char **argv) {
    const int durationS = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const kivStreamFormat hd{1920, 1080, KIV_DEPTH_32, 1};
    const double frameMB = double(kivGetByteSize(&hd)) / 1e6;

    std::printf("Remote (TCP) over loopback, 1920x1080x32 frames (%.2f MB), %d s per run\n", frameMB, durationS);
    // iperf3 before and after the frames, so that a change of load on a shared
    // machine shows instead of skewing the ratio.
    auto iperf = [&] {
        double bps = 0;
        for (int port : kIperfPorts)
            if ((bps = iperfBitsPerSecond(durationS, port)) > 0) break;
        return bps;
    };
    const double iperfBefore = iperf();
    const FrameRun flat = runFrames(hd, durationS, 0us);
    const double iperfAfter = iperf();
    const int measured = (iperfBefore > 0) + (iperfAfter > 0);
    const double iperfMBps = measured ? (iperfBefore + iperfAfter) / measured / 8e6 : 0;
    if (measured)
        std::printf("iperf3 single stream:  %9.1f MB/s (%.2f Gbit/s; before %.1f, after %.1f MB/s)\n", iperfMBps,
                    iperfMBps * 8e6 / 1e9, iperfBefore / 8e6, iperfAfter / 8e6);
    else
        std::printf("iperf3 single stream:  not measured (is iperf3 installed, a port of 27100/27103/27104 free?)\n");
    std::printf("frames, flat out:      %9.1f MB/s  %7.1f frames/s  latency p50 %.2f ms  p99 %.2f ms  (%llu frames, %llu replaced)\n",
                flat.megabytesPerSecond, flat.framesPerSecond, flat.p50Ms, flat.p99Ms,
                static_cast<unsigned long long>(flat.frames), static_cast<unsigned long long>(flat.dropped));
    if (measured)
        std::printf("ratio to iperf3:       %9.1f %%  (goal >= 60 %%)\n", 100.0 * flat.megabytesPerSecond / iperfMBps);

    const FrameRun paced = runFrames(hd, durationS, 33333us);
    std::printf("frames, 30 frames/s:   %9.1f MB/s  %7.1f frames/s  latency p50 %.2f ms  p99 %.2f ms\n",
                paced.megabytesPerSecond, paced.framesPerSecond, paced.p50Ms, paced.p99Ms);

    for (auto downtime : {0ms, 300ms, 2000ms}) {
        const double ms = resumeAfterRestart(downtime);
        std::printf("resume after a receiver restart (down %4lld ms): %7.1f ms (goal < 1000 ms)\n",
                    static_cast<long long>(downtime.count()), ms);
    }
    return 0;
}
