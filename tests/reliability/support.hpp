// Child processes, waiting with deadlines and frame checking for the fault tests.
#pragma once

#include <kivVidStreamLib2.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "frames.hpp"

namespace reltest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit = 20s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A process started from argv; its stdin stays open until the object goes, and
// it is killed and reaped at the latest then.
class Child {
public:
    explicit Child(const std::vector<std::string> &args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        // Built before fork: the child of a threaded process may only exec.
        std::vector<char *> argv;
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stdin_ >= 0) ::close(stdin_);
        if (stdout_ >= 0) ::close(stdout_);
    }

    bool started() const { return pid_ > 0; }
    void signal(int sig) const { ::kill(pid_, sig); }

    // Reads output lines until one starts with `prefix`.
    bool waitForLine(const std::string &prefix, std::chrono::milliseconds limit = 20s) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
                const std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (line.rfind(prefix, 0) == 0) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            char chunk[256];
            const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer_.append(chunk, size_t(n));
        }
    }

    // Exit status once it ends, -1 if it is still running after `limit`; a
    // signal gives 128 + its number.
    int wait(std::chrono::milliseconds limit = 20s) {
        int status = 0;
        if (!waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int stdin_ = -1, stdout_ = -1;
    std::string buffer_;
};

inline std::vector<std::string> senderArgs(const char *proto, int stream, uint64_t seed, int w, int h, int fps) {
    return {KIV_RELIABILITY_PEER, "send", proto, "127.0.0.1", std::to_string(stream), std::to_string(seed),
            std::to_string(w), std::to_string(h), std::to_string(fps)};
}

inline std::vector<std::string> receiverArgs(const char *proto, int stream) {
    return {KIV_RELIABILITY_PEER, "receive", proto, std::to_string(stream), "60"};
}

// What a reader saw: intact frames per sender seed, and corrupt ones.
struct Tally {
    std::map<uint64_t, int> intact;
    int corrupt = 0;
};

// Reads and checks frames until `done` holds or `limit` passes.
inline bool readUntil(kivDecoder *dec, Tally &tally, const std::function<bool(const Tally &)> &done,
                      std::chrono::milliseconds limit = 20s) {
    const auto deadline = Clock::now() + limit;
    while (!done(tally)) {
        if (Clock::now() >= deadline) return false;
        const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec, 50));
        if (!p) continue;
        kivFrameInfo info{};
        kivGetRecvFrameInfo(dec, &info);
        Stamp stamp;
        if (check(p, info.imageBytes, stamp)) ++tally.intact[stamp.seed];
        else ++tally.corrupt;
        kivUnlockReadBuffer(dec);
    }
    return true;
}

struct DecoderDeleter {
    void operator()(kivDecoder *d) const { kivDeleteDecoder(d); }
};
struct EncoderDeleter {
    void operator()(kivEncoder *e) const { kivDeleteEncoder(e); }
};

} // namespace reltest
