// SPDX-License-Identifier: MIT
#include "child_process.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <thread>

extern char **environ;

namespace kivtest {

namespace {

constexpr std::string_view kChildFlag = "--kiv-child";

std::map<std::string, ChildBody, std::less<>> &registry() {
    static std::map<std::string, ChildBody, std::less<>> bodies;
    return bodies;
}

} // namespace

bool registerChild(const char *name, ChildBody body) {
    if (!registry().emplace(name, body).second) std::abort(); // two bodies of one name
    return true;
}

Process::Process(const Spawn &what) {
    const std::string self = "/proc/self/exe";
    std::vector<std::string> words = {self, std::string(kChildFlag), std::to_string(::getpid()), what.body};
    words.insert(words.end(), what.args.begin(), what.args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) std::fprintf(stderr, "cannot start child %s: %s\n", what.body.c_str(), std::strerror(rc));
    else pid_ = pid;
}

Process::~Process() {
    if (pid_ <= 0 || status_) return;
    signal(SIGKILL);
    if (!wait(std::chrono::seconds(10))) std::fprintf(stderr, "child %d not reaped\n", int(pid_));
}

void Process::signal(int sig) const {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || status_) return status_;
    for (const auto deadline = std::chrono::steady_clock::now() + limit;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) return status_ = status;
        if ((r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int Process::exitCode(std::chrono::milliseconds limit) {
    const std::optional<int> status = wait(limit);
    return !status ? -1 : WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

std::optional<int> runChildIfAsked(int argc, char **argv) {
    if (argc < 4 || argv[1] != kChildFlag) return std::nullopt;
    // Dies with its parent; and if the parent is already gone, never starts.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != std::atoi(argv[2])) return 70;
    const auto body = registry().find(std::string_view(argv[3]));
    if (body == registry().end()) {
        std::fprintf(stderr, "no child body named %s\n", argv[3]);
        return 64;
    }
    return body->second(ChildArgs(argv + 4, argv + argc));
}

} // namespace kivtest
