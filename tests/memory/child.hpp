// Runs the helper program with its stdout on a pipe; kills it if the test ends first.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace kivtest {

class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<char *> argv;
        args.insert(args.begin(), KIV_MEMORY_HELPER);
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    // A sender still running is asked to exit cleanly, so that its segment goes too.
    ~Child() {
        if (pid_ > 0 && terminate() && wait() == -1) ::kill(pid_, SIGKILL);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
        if (out_ >= 0) ::close(out_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }

    // The next line of the child's output, "" at end of output or after `timeout`.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::string line;
        char c;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (::poll(&p, 1, int(left.count()) + 1) <= 0) continue;
            if (::read(out_, &c, 1) != 1) return line;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }

    // The wait status, or -1 if the child is still running after `timeout`.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= end) return -1;
            ::usleep(1000);
        }
        pid_ = -1;
        return status;
    }

    bool terminate() { return pid_ > 0 && ::kill(pid_, SIGTERM) == 0; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

} // namespace kivtest
