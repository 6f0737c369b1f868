// SPDX-License-Identifier: MIT
// Throughput, loss and latency of "Multicast (UDP)" over loopback, next to
// iperf3's UDP throughput with 1400-byte datagrams measured in the same run.
//   udp_bench [seconds per phase, default 3]
//   udp_bench loss [frames per cell, default 300]  loss x recovery table
// Uses ports 27000-27039 on 127.0.0.1. Big frames against TCP: kivstream bench.
#include <kivVidStreamLib2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const kivStreamFormat kFormat{320, 240, KIV_DEPTH_24, 1};

// Goodput in MB/s that iperf3 got across (what the receiver counted), 0 if it could not run.
double iperf3Goodput(int port, int seconds, double *sentMBps, double *lostPercent) {
    const std::string server = "iperf3 -s -1 -B 127.0.0.1 -p " + std::to_string(port) + " >/dev/null 2>&1 &";
    if (std::system(server.c_str()) != 0) return 0;
    std::string json;
    for (int attempt = 0; attempt < 20 && json.find("sum_received") == std::string::npos; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the server needs a moment to listen
        json.clear();
        const std::string client = "iperf3 -c 127.0.0.1 -p " + std::to_string(port) + " -u -b 0 -l 1400 -t " +
                                   std::to_string(seconds) + " -J 2>/dev/null";
        FILE *p = ::popen(client.c_str(), "r");
        if (!p) return 0;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) json.append(buf, n);
        ::pclose(p);
    }
    auto number = [&](const char *section, const char *key) {
        const size_t s = json.find(section);
        if (s == std::string::npos) return 0.0;
        const size_t k = json.find(key, s);
        return k == std::string::npos ? 0.0 : std::atof(json.c_str() + k + std::strlen(key));
    };
    *sentMBps = number("\"sum_sent\"", "\"bits_per_second\":") / 8e6;
    *lostPercent = number("\"sum_received\"", "\"lost_percent\":");
    return number("\"sum_received\"", "\"bits_per_second\":") / 8e6;
}

// An encoder sending to a decoder on 127.0.0.1:`port`; both deleted with it.
struct Link {
    kivDecoder *dec = nullptr;
    kivEncoder *enc = nullptr;
    Link(int protocol, const kivStreamFormat &fmt, int port)
        : dec(kivGetDecoder(protocol, nullptr)), enc(kivGetEncoder(protocol, &fmt)) {
        if (!dec || !enc || kivSetSourceAddress(dec, port) != KIV_OK || kivSetDestAddress(enc, "127.0.0.1", port) != KIV_OK) {
            std::fprintf(stderr, "udp_bench: setup failed: %s\n", kivLastErrorDetail());
            std::exit(1);
        }
    }
    ~Link() {
        kivDeleteEncoder(enc);
        kivDeleteDecoder(dec);
    }
};

struct Result {
    double seconds = 0;
    uint64_t handedToNetwork = 0, received = 0, incomplete = 0, malformed = 0;
    double mbPerSecond = 0;
    std::vector<int64_t> latencyUs;

    double percentile(double p) {
        if (latencyUs.empty()) return 0;
        std::sort(latencyUs.begin(), latencyUs.end());
        return double(latencyUs[size_t(p * double(latencyUs.size() - 1))]) / 1000.0;
    }
};

// Sends for `seconds`: flat out (fps 0, always one frame waiting for the sending
// thread) or paced at `fps`. Reads on another thread, like the tester's worker.
Result run(int port, int seconds, int fps) {
    const Link link(KIV_PROTOCOL_UDP, kFormat, port);
    kivDecoder *dec = link.dec;
    kivEncoder *enc = link.enc;
    Result r;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        kivFrameInfo info{};
        while (!done) {
            if (!kivLockReadBuffer(dec, 100)) continue;
            kivGetRecvFrameInfo(dec, &info);
            r.latencyUs.push_back(info.receiveTimeUs - info.sendTimeUs);
            kivUnlockReadBuffer(dec);
        }
    });
    std::vector<uint8_t> pixels(kivGetByteSize(&kFormat));
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    uint64_t encoded = 0;
    for (auto next = start; Clock::now() < end;) {
        std::memset(pixels.data(), int(encoded), 64);
        kivEncode(enc, pixels.data());
        ++encoded;
        if (fps > 0) {
            next += std::chrono::microseconds(1'000'000 / fps);
            std::this_thread::sleep_until(next);
            continue;
        }
        kivEncoderStats es{};
        do { // keep exactly one frame queued behind the one on the wire
            kivGetEncoderStats(enc, &es);
            if (es.framesSent + es.framesDropped + 1 < encoded) std::this_thread::sleep_for(std::chrono::microseconds(20));
        } while (es.framesSent + es.framesDropped + 1 < encoded && Clock::now() < end);
    }
    // Let the last frames land before counting.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kivEncoderStats es{};
    kivDecoderStats ds{};
    kivGetEncoderStats(enc, &es);
    kivGetDecoderStats(dec, &ds);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count() - 0.3;
    done = true;
    reader.join();
    r.handedToNetwork = es.framesSent;
    r.received = ds.framesReceived;
    r.incomplete = ds.framesIncomplete;
    r.malformed = ds.framesMalformed;
    r.mbPerSecond = double(ds.bytesReceived) / r.seconds / 1e6;
    return r;
}

void print(const char *name, Result r) {
    const double loss = r.handedToNetwork ? 100.0 * double(r.handedToNetwork - std::min(r.received, r.handedToNetwork)) /
                                                double(r.handedToNetwork)
                                          : 0;
    std::printf("%-22s %9.1f frames/s %8.1f MB/s  sent %6llu received %6llu (%.2f%%)  loss %.2f%%  incomplete %llu"
                "  latency median %.2f ms p99 %.2f ms\n",
                name, double(r.received) / r.seconds, r.mbPerSecond, (unsigned long long)r.handedToNetwork,
                (unsigned long long)r.received,
                r.handedToNetwork ? 100.0 * double(r.received) / double(r.handedToNetwork) : 0.0, loss,
                (unsigned long long)r.incomplete, r.percentile(0.5), r.percentile(0.99));
}

} // namespace

uint64_t loopbackCounter(const char *name) {
    FILE *f = std::fopen((std::string("/sys/class/net/lo/statistics/") + name).c_str(), "r");
    unsigned long long v = 0;
    if (f) {
        if (std::fscanf(f, "%llu", &v) != 1) v = 0;
        std::fclose(f);
    }
    return v;
}

struct Cell {
    uint64_t sent = 0, intact = 0;
    double wirePerByte = 0, mbPerSecond = 0, p50 = 0, p99 = 0;
    kivUdpSenderStats sender{};
    kivRepairStats repair{};
};

// `frames` 1280x720x24 frames at 30 fps through a self-inflicted loss pattern on
// the way out and on the way back; `repairMs` is the decoder's repair budget.
Cell lossCell(int port, uint32_t frames, int repairMs, const kivImpairment &impairment, const kivImpairment &back) {
    const kivStreamFormat fmt{1280, 720, KIV_DEPTH_24, 1};
    const Link link(KIV_PROTOCOL_UDP, fmt, port);
    kivDecoder *dec = link.dec;
    kivEncoder *enc = link.enc;
    if (kivSetImpairment(enc, &impairment) != KIV_OK || kivSetReturnImpairment(enc, &back) != KIV_OK ||
        kivSetRepairBudget(dec, repairMs) != KIV_OK) {
        std::fprintf(stderr, "udp_bench: %s\n", kivLastErrorDetail());
        std::exit(1);
    }
    kivSetAdaptiveBuffer(dec, 0);
    std::vector<uint8_t> pixels(kivGetByteSize(&fmt));
    Result r;
    Cell c;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        kivFrameInfo info{};
        while (!done) {
            if (!kivLockReadBuffer(dec, 50)) continue;
            kivGetRecvFrameInfo(dec, &info);
            r.latencyUs.push_back(info.receiveTimeUs - info.sendTimeUs);
            kivUnlockReadBuffer(dec);
        }
    });
    const uint64_t bytes0 = loopbackCounter("tx_bytes"), packets0 = loopbackCounter("tx_packets");
    const auto start = Clock::now();
    auto next = start;
    for (uint32_t n = 0; n < frames; ++n) {
        std::memset(pixels.data(), int(n), pixels.size());
        kivEncode(enc, pixels.data());
        std::this_thread::sleep_until(next += std::chrono::microseconds(1'000'000 / 30));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // the last frames, and the give-up timeout
    done = true;
    kivGetEncoderUdpStats(enc, &c.sender);
    kivGetDecoderRepairStats(dec, &c.repair);
    reader.join();
    // Loopback counts a 14-byte link header on each packet; IP packets are the rest.
    const uint64_t packets = loopbackCounter("tx_packets") - packets0;
    const uint64_t wire = loopbackCounter("tx_bytes") - bytes0 - 14 * packets;
    kivEncoderStats es{};
    kivDecoderStats ds{};
    kivGetEncoderStats(enc, &es);
    kivGetDecoderStats(dec, &ds);
    c.sent = es.framesSent;
    c.intact = ds.framesReceived;
    c.wirePerByte = es.bytesSent ? double(wire) / double(es.bytesSent) : 0;
    c.mbPerSecond = double(ds.bytesReceived) / (std::chrono::duration<double>(Clock::now() - start).count() - 0.6) / 1e6;
    c.p50 = r.percentile(0.5);
    c.p99 = r.percentile(0.99);
    return c;
}

int lossTable(uint32_t frames) {
    // One datagram to a packet, so the wire counts are per datagram.
    setenv("KIVSTREAM_UDP_OFFLOAD", "0", 1);
    std::printf("1280x720x24 at 30 fps, %u frames a cell, over 127.0.0.1; loss inflicted by the sender on its\n"
                "datagrams and, at the same rate, on the requests and reports it receives (seed 1)\n"
                "| loss | recovery | frames intact | wire bytes / frame byte | latency p50 / p99 ms | loss seen | parity | requested / resent / over budget |\n"
                "|---|---|---|---|---|---|---|---|\n",
                frames);
    struct { const char *name; double percent; uint32_t burst; } const losses[] = {
        {"0", 0, 1}, {"1%", 1, 1}, {"5%", 5, 1}, {"10%", 10, 1}, {"20%", 20, 1},
        {"1% in bursts of 44", 1, 44}, {"1% in bursts of 200", 1, 200},
    };
    struct { const char *name; int repairMs; } const modes[] = {{"parity", 0}, {"parity + repair", KIV_REPAIR_DEFAULT_BUDGET_MS}};
    int port = 27020;
    for (const auto &l : losses)
        for (const auto &mode : modes) {
            const kivImpairment forward{uint32_t(l.percent * 10000), l.burst, 0, 0, 1};
            const kivImpairment back{uint32_t(l.percent * 10000), 1, 0, 0, 2};
            const Cell c = lossCell(port++, frames, mode.repairMs, forward, back);
            std::printf("| %s | %s | %llu of %u | %.3f | %.1f / %.1f | %.1f%% | %u%% | %llu / %llu / %llu |\n", l.name,
                        mode.name, (unsigned long long)c.intact, frames, c.wirePerByte, c.p50, c.p99,
                        c.repair.lossPerMillion / 1e4, c.sender.parityPercent,
                        (unsigned long long)c.repair.datagramsRequested, (unsigned long long)c.sender.datagramsResent,
                        (unsigned long long)c.sender.resendsOverBudget);
            std::fflush(stdout);
        }
    return 0;
}

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "loss") == 0) return lossTable(argc > 2 ? uint32_t(std::max(1, std::atoi(argv[2]))) : 300);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::printf("320x240x24 frames (%u bytes) over UDP on 127.0.0.1, %d s per phase\n", kivGetByteSize(&kFormat), seconds);

    double iperfSent = 0, iperfLost = 0;
    const double iperf = iperf3Goodput(27001, seconds, &iperfSent, &iperfLost);
    if (iperf > 0)
        std::printf("%-22s %8.1f MB/s received (sender %.1f MB/s, %.1f%% lost)\n", "iperf3 UDP -l 1400", iperf,
                    iperfSent, iperfLost);
    else
        std::printf("iperf3 UDP -l 1400     not available\n");

    Result flat = run(27010, seconds, 0);
    const double flatMB = flat.mbPerSecond;
    print("as fast as it goes", std::move(flat));
    if (iperf > 0) std::printf("%-22s %.0f%% of iperf3 (goal >= 70%%)\n", "", 100.0 * flatMB / iperf);

    Result paced = run(27011, std::max(seconds, 5), 60);
    const double arrived = paced.handedToNetwork ? 100.0 * double(paced.received) / double(paced.handedToNetwork) : 0;
    print("paced at 60 fps", std::move(paced));
    std::printf("%-22s %.2f%% of frames arrived (goal >= 99%%)\n", "", arrived);
    return 0;
}
