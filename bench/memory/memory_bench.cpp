// SPDX-License-Identifier: MIT
// Local (Memory) as fast as it goes, through the public API, against the
// floor of any copying transport: one lock, one copy in, one copy out.
#include <kivVidStreamLib2.h>

#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<uint8_t> picture(const kivStreamFormat &f, uint32_t seed = 12345) {
    std::vector<uint8_t> v(kivGetByteSize(&f));
    uint32_t x = seed;
    for (auto &b : v) b = uint8_t((x = x * 1664525u + 1013904223u) >> 24);
    return v;
}

struct Percentiles {
    double p50, p90, p99, max;
};

Percentiles percentiles(std::vector<double> v) {
    if (v.empty()) return {0, 0, 0, 0};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    return {at(0.5), at(0.9), at(0.99), v.back()};
}

// Frames per second of lock, copy in, copy out, unlock on one thread.
double baseline(const kivStreamFormat &f, double forSeconds) {
    const std::vector<uint8_t> src = picture(f);
    std::vector<uint8_t> shared(src.size()), dst(src.size());
    std::mutex m;
    uint64_t frames = 0;
    const auto start = Clock::now();
    while (seconds(Clock::now() - start) < forSeconds) {
        std::lock_guard lock(m);
        std::memcpy(shared.data(), src.data(), src.size());
        std::memcpy(dst.data(), shared.data(), src.size());
        ++frames;
    }
    if (dst[src.size() / 2] != src[src.size() / 2]) std::abort();
    return double(frames) / seconds(Clock::now() - start);
}

struct Throughput {
    double framesPerSecond, megabytesPerSecond;
    Percentiles latencyUs;
    uint64_t corrupt;
};

// Flooded frame i carries picture i % 2, so a frame mixed from two shows in its bytes.
struct Pictures {
    explicit Pictures(const kivStreamFormat &f) : each{picture(f, 1), picture(f, 2)} {}
    const std::vector<uint8_t> &operator[](uint32_t frame) const { return each[frame % 2]; }
    std::vector<uint8_t> each[2];
};

// Flags shared with a sender that may live in another process, in a memfd
// that a child gets as its stdin.
struct Shared {
    std::atomic<int> stop{0};
    std::atomic<uint32_t> received{0};
};

class SharedFlags {
public:
    SharedFlags() : fd_(::memfd_create("memory_bench", MFD_CLOEXEC)) {
        if (fd_ < 0 || ::ftruncate(fd_, sizeof(Shared)) != 0) std::abort();
        flags_ = new (map(fd_)) Shared;
    }
    SharedFlags(const SharedFlags &) = delete;
    SharedFlags &operator=(const SharedFlags &) = delete;
    ~SharedFlags() {
        ::munmap(flags_, sizeof(Shared));
        ::close(fd_);
    }
    Shared *operator->() const { return flags_; }
    Shared *get() const { return flags_; }
    int fd() const { return fd_; }

    static void *map(int fd) {
        void *p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) std::abort();
        return p;
    }

private:
    int fd_;
    Shared *flags_;
};

// Runs a sender on a thread of this process, or in a child process: this
// program again, started by posix_spawn with "--sender" and `args`. A forked
// child would inherit the receiver's threads' locks, not the threads.
class SenderRun {
public:
    SenderRun(bool otherProcess, const std::function<void()> &send, std::vector<std::string> args, int sharedFd) {
        if (!otherProcess) {
            thread_ = std::thread(send);
            return;
        }
        args.insert(args.begin(), {"/proc/self/exe", "--sender", std::to_string(::getpid())});
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sharedFd, STDIN_FILENO);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            std::fprintf(stderr, "cannot start the sender: %s\n", std::strerror(rc));
            std::exit(1);
        }
    }
    SenderRun(const SenderRun &) = delete;
    SenderRun &operator=(const SenderRun &) = delete;
    // The caller has set `stop`; a child that still runs 10 s later is killed.
    ~SenderRun() {
        if (thread_.joinable()) thread_.join();
        if (pid_ <= 0) return;
        for (const auto end = Clock::now() + std::chrono::seconds(10); ::waitpid(pid_, nullptr, WNOHANG) == 0;) {
            if (Clock::now() >= end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    std::thread thread_;
    pid_t pid_ = -1;
};

kivEncoder *openEncoder(const kivStreamFormat &f, int stream) {
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_MEMORY, &f);
    if (!enc || kivSetDestAddress(enc, nullptr, stream) != KIV_OK) {
        std::fprintf(stderr, "encoder set-up failed: %s\n", kivLastErrorDetail());
        std::exit(1);
    }
    return enc;
}

kivDecoder *openDecoder(int stream) {
    kivDecoder *dec = kivGetDecoder(KIV_PROTOCOL_MEMORY, nullptr);
    if (!dec || kivSetSourceAddress(dec, stream) != KIV_OK) std::exit(1);
    return dec;
}

int64_t wallUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Encodes back to back until told to stop; paced, at most two frames ahead of what was handed out.
void floodSender(const kivStreamFormat &f, int stream, Shared *shared, bool paced) {
    const Pictures pictures(f);
    kivEncoder *enc = openEncoder(f, stream);
    for (uint32_t i = 0; !shared->stop.load(std::memory_order_relaxed); ++i) {
        while (paced && shared->received.load() + 2 <= i && !shared->stop.load()) std::this_thread::yield();
        kivEncode(enc, pictures[i].data());
    }
    kivDeleteEncoder(enc);
}

// Encodes `count` frames, each once the one before was handed out and the reader is back asleep.
void pingSender(const kivStreamFormat &f, int stream, Shared *shared, uint32_t count) {
    const std::vector<uint8_t> src = picture(f);
    kivEncoder *enc = openEncoder(f, stream);
    for (uint32_t i = 0; i < count && !shared->stop.load(); ++i) {
        kivEncode(enc, src.data());
        while (shared->received.load() <= i && !shared->stop.load()) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(300)); // the reader is back asleep
    }
    kivDeleteEncoder(enc);
}

// The child side of SenderRun: --sender <parent pid> <flood|ping> <stream> <w> <h> <depth> <paced|count>.
int runSender(int argc, char **argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 9 || ::getppid() != std::atoi(argv[2])) return 1;
    const std::string kind = argv[3];
    const int stream = std::atoi(argv[4]);
    const kivStreamFormat f{uint16_t(std::atoi(argv[5])), uint16_t(std::atoi(argv[6])), uint16_t(std::atoi(argv[7])), 1};
    auto *shared = static_cast<Shared *>(SharedFlags::map(STDIN_FILENO));
    if (kind == "flood") floodSender(f, stream, shared, std::atoi(argv[8]) != 0);
    else if (kind == "ping") pingSender(f, stream, shared, uint32_t(std::atoi(argv[8])));
    else return 1;
    return 0;
}

// A sender encodes back to back; this thread locks every frame it can and
// compares it with the picture sent under its number. Paced,
// the sender keeps at most two frames ahead of what was handed out, so no
// bandwidth goes to frames nobody reads.
Throughput throughput(const kivStreamFormat &f, int stream, double forSeconds, bool otherProcess, bool paced) {
    kivDecoder *dec = openDecoder(stream);
    kivSetAdaptiveBuffer(dec, 1);
    const SharedFlags shared;
    const Pictures pictures(f);
    std::vector<double> latency;
    uint64_t frames = 0, corrupt = 0;
    double elapsed = 0;
    {
        SenderRun sender(otherProcess, [&] { floodSender(f, stream, shared.get(), paced); },
                         {"flood", std::to_string(stream), std::to_string(f.width), std::to_string(f.height),
                          std::to_string(f.depth), paced ? "1" : "0"},
                         shared.fd());
        // Warm-up: the first frame maps the slots.
        for (int tries = 0; !kivLockReadBuffer(dec, 1000); ++tries) {
            if (tries == 30) {
                std::fprintf(stderr, "no frame from the sender in 30 s\n");
                std::exit(1);
            }
        }
        kivUnlockReadBuffer(dec);
        shared->received.store(1);
        const auto start = Clock::now();
        while (seconds(Clock::now() - start) < forSeconds) {
            const void *p = kivLockReadBuffer(dec, 100);
            if (!p) continue;
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec, &info);
            latency.push_back(double(wallUs() - info.sendTimeUs));
            const std::vector<uint8_t> &sent = pictures[info.frameNumber];
            corrupt += std::memcmp(p, sent.data(), sent.size()) != 0;
            kivUnlockReadBuffer(dec);
            shared->received.store(info.frameNumber + 1);
            ++frames;
        }
        elapsed = seconds(Clock::now() - start);
        shared->stop = 1;
    }
    kivDeleteDecoder(dec);
    const double fps = double(frames) / elapsed;
    return {fps, fps * kivGetByteSize(&f) / 1e6, percentiles(latency), corrupt};
}

// kivEncode to a waiting kivLockReadBuffer returning, one frame at a time.
Percentiles pingLatency(const kivStreamFormat &f, int stream, uint32_t count, bool otherProcess) {
    kivDecoder *dec = openDecoder(stream);
    const SharedFlags shared;
    std::vector<double> latency;
    {
        SenderRun sender(otherProcess, [&] { pingSender(f, stream, shared.get(), count); },
                         {"ping", std::to_string(stream), std::to_string(f.width), std::to_string(f.height),
                          std::to_string(f.depth), std::to_string(count)},
                         shared.fd());
        const auto end = Clock::now() + std::chrono::seconds(60);
        while (shared->received.load() < count && Clock::now() < end) {
            if (!kivLockReadBuffer(dec, 1000)) continue;
            const int64_t now = wallUs();
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec, &info);
            kivUnlockReadBuffer(dec);
            if (info.frameNumber > 0) latency.push_back(double(now - info.sendTimeUs)); // frame 0 maps the slots
            shared->received.store(info.frameNumber + 1);
        }
        shared->stop = 1;
    }
    kivDeleteDecoder(dec);
    return percentiles(latency);
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--sender") == 0) return runSender(argc, argv);
    const double forSeconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::printf("Local (Memory): a sender encoding back to back, a receiver locking every frame it can;\n"
                "%.1f s per row, median of 3 runs. frames/s, MB/s: frames handed out by kivLockReadBuffer,\n"
                "each compared with what was sent (bad: frames that differed, all runs);\n"
                "paced: the sender stays at most two frames ahead of the receiver (nothing dropped);\n"
                "latency: sender's stamp in kivEncode to kivLockReadBuffer returning; floor: one thread doing\n"
                "lock, copy in, copy out, unlock, run alternately with the transport.\n\n", forSeconds);
    std::printf("%-14s %-16s %10s %10s %9s %9s %9s %4s | %11s %6s\n", "format", "sender", "frames/s", "MB/s", "p50 us",
                "p90 us", "p99 us", "bad", "floor fr/s", "ratio");
    const kivStreamFormat formats[] = {{1920, 1080, KIV_DEPTH_32, 1}, {320, 240, KIV_DEPTH_24, 1}};
    constexpr int kRuns = 3;
    int stream = 27000;
    struct Mode {
        bool otherProcess, paced;
        const char *name;
    } const modes[] = {{false, false, "thread"}, {false, true, "thread, paced"}, {true, false, "process"},
                       {true, true, "process, paced"}};
    for (const Mode &m : modes) {
        for (const kivStreamFormat &f : formats) {
            std::vector<Throughput> runs;
            std::vector<double> floors;
            for (int i = 0; i < kRuns; ++i) {
                runs.push_back(throughput(f, stream, forSeconds / kRuns, m.otherProcess, m.paced));
                floors.push_back(baseline(f, forSeconds / kRuns));
            }
            ++stream;
            uint64_t corrupt = 0;
            for (const Throughput &r : runs) corrupt += r.corrupt;
            std::sort(runs.begin(), runs.end(), [](auto &a, auto &b) { return a.framesPerSecond < b.framesPerSecond; });
            std::sort(floors.begin(), floors.end());
            const Throughput &t = runs[kRuns / 2];
            const double floor = floors[kRuns / 2];
            char name[32];
            std::snprintf(name, sizeof name, "%ux%ux%u", f.width, f.height, f.depth == KIV_DEPTH_32 ? 32u : 24u);
            std::printf("%-14s %-16s %10.0f %10.0f %9.0f %9.0f %9.0f %4llu | %11.0f %5.0f%%\n", name,
                        m.name, t.framesPerSecond, t.megabytesPerSecond, t.latencyUs.p50,
                        t.latencyUs.p90, t.latencyUs.p99, static_cast<unsigned long long>(corrupt), floor,
                        100.0 * t.framesPerSecond / floor);
        }
    }
    const kivStreamFormat small{320, 240, KIV_DEPTH_24, 1};
    std::printf("\n320x240x24, one frame at a time, kivEncode -> a waiting kivLockReadBuffer(timeout > 0) "
                "(goal: p50 <= 50 us)\n");
    for (const bool otherProcess : {false, true}) {
        const Percentiles p = pingLatency(small, stream++, 2000, otherProcess);
        std::printf("  sender in another %-8s p50 %6.1f us  p90 %6.1f us  p99 %7.1f us  max %8.1f us\n",
                    otherProcess ? "process:" : "thread:", p.p50, p.p90, p.p99, p.max);
    }
    return 0;
}
