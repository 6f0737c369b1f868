// SPDX-License-Identifier: MIT
// What sending a small JPEG frame costs the sender alone: 320x240x24 at level
// 50, paced, through the public API to a receiver that only drains (TCP, UDP)
// or to none (memory, whose writer never waits). Prints per frame sent the
// process CPU, the voluntary context switches and the kivEncode call time;
// sets no pass or fail. Uses nothing but the public API.
//
// `jpeg_send_bench [seconds] [fps]` (default 3 s, 300 fps).
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "kivVidStreamLib2.hpp"
#include "picture.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStream = 27311;

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

long voluntarySwitches() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw;
}

// A loopback socket that takes what comes and throws it away, on its own thread.
class Drain {
public:
    explicit Drain(int protocol) {
        const bool tcp = protocol == KIV_PROTOCOL_TCP;
        if (protocol == KIV_PROTOCOL_MEMORY) return;
        fd_ = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        const int one = 1, big = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kStream);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (tcp && ::listen(fd_, 1) != 0)) std::abort();
        thread_ = std::thread([this, tcp] {
            int from = fd_;
            std::vector<char> buffer(1 << 20);
            while (!stop_) {
                pollfd p{from, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                if (tcp && from == fd_) {
                    from = ::accept(fd_, nullptr, nullptr);
                    continue;
                }
                if (::recv(from, buffer.data(), buffer.size(), 0) == 0) break;
            }
            if (from != fd_) ::close(from);
        });
    }
    ~Drain() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void row(const char *name, int protocol, double secs, double fps) {
    const kivStreamFormat f{320, 240, KIV_DEPTH_24, KIV_ORIENTATION_TOP_DOWN};
    const auto pixels = kiv::testpic::linesPicture(f, 50);
    Drain drain(protocol);
    kiv::EncoderHandle encoder(kivGetEncoder(protocol, &f));
    kivEncoder *e = encoder.get();
    if (!e || kivSetDestAddress(e, "127.0.0.1", kStream) != KIV_OK || kivSetDestFormat(e, &f, 1, 50) != KIV_OK) {
        std::printf("%-7s not available in this build\n", name);
        return;
    }
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
    auto pace = [&](double seconds, Clock::duration &callTime) {
        const auto start = Clock::now();
        for (auto next = start; std::chrono::duration<double>(Clock::now() - start).count() < seconds; next += period) {
            std::this_thread::sleep_until(next);
            const auto t0 = Clock::now();
            kivEncode(e, pixels.data());
            callTime += Clock::now() - t0;
        }
    };
    Clock::duration callTime{};
    pace(0.5, callTime); // warm-up: connection, buffers, TurboJPEG handles
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kivEncoderStats s0{}, s1{};
    kivGetEncoderStats(e, &s0);
    const double cpu0 = processCpuSeconds();
    const long switches0 = voluntarySwitches();
    callTime = {};
    pace(secs, callTime);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the last frame leaves
    const double cpu = processCpuSeconds() - cpu0;
    const long switches = voluntarySwitches() - switches0;
    kivGetEncoderStats(e, &s1);
    encoder.reset();
    const double sent = double(s1.framesSent - s0.framesSent), encoded = double(s1.framesEncoded - s0.framesEncoded);
    std::printf("%-7s %8.0f %8.0f %8llu %9.1f %9.2f %9.1f %9.0f\n", name, encoded, sent,
                static_cast<unsigned long long>(s1.framesDropped - s0.framesDropped), 1e6 * cpu / sent,
                double(switches) / sent, 1e6 * std::chrono::duration<double>(callTime).count() / encoded,
                double(s1.bytesSent - s0.bytesSent) / sent);
}

} // namespace

int main(int argc, char **argv) {
    const double secs = argc > 1 ? std::atof(argv[1]) : 3.0;
    const double fps = argc > 2 ? std::atof(argv[2]) : 300.0;
    std::printf("320x240x24 JPEG level 50 at %.0f fps for %.1f s, sender only\n", fps, secs);
    std::printf("%-7s %8s %8s %8s %9s %9s %9s %9s\n", "", "encoded", "sent", "dropped", "CPU us", "vol.cs", "call us",
                "bytes");
    row("tcp", KIV_PROTOCOL_TCP, secs, fps);
    row("udp", KIV_PROTOCOL_UDP, secs, fps);
    row("memory", KIV_PROTOCOL_MEMORY, secs, fps);
    std::printf("CPU us: whole process per frame sent; vol.cs: voluntary context switches of all its threads per\n"
                "frame sent; call us: wall time of one kivEncode; bytes: JPEG bytes per frame\n");
    return 0;
}
