// SPDX-License-Identifier: MIT
// Child processes for tests: this program run anew (posix_spawn) with a registered body's name. A bare
// fork would inherit locks other threads held (the library's, the sanitizer's) and could stall on one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kivtest {

using ChildArgs = std::vector<std::string>;
using ChildBody = int (*)(const ChildArgs &args);

// Makes `body` startable by name; KIV_TEST_CHILD calls it while the program loads.
bool registerChild(const char *name, ChildBody body);

// A registered body and its arguments.
struct Spawn {
    std::string body;
    ChildArgs args;
};

// A running child; killed by SIGKILL and reaped at the latest when the object
// goes. The child gets SIGKILL as well if the thread that started it ends.
class Process {
public:
    explicit Process(const Spawn &what);
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();

    pid_t pid() const { return pid_; } // <= 0 if it could not start
    void signal(int sig) const;
    // Its wait status once it has ended within `limit` (also when asked again), else nothing.
    std::optional<int> wait(std::chrono::milliseconds limit);
    // Its exit code, 128 + the signal that ended it, or -1 if it did not end within `limit`.
    int exitCode(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// For main(): the body's exit code if this process was started as a child.
std::optional<int> runChildIfAsked(int argc, char **argv);

} // namespace kivtest

// Defines a child body `name(const ChildArgs &args)` and registers it under its name.
#define KIV_TEST_CHILD(name)                                                                                  \
    int name(const ::kivtest::ChildArgs &args);                                                               \
    [[maybe_unused]] const bool name##Registered = ::kivtest::registerChild(#name, name);                     \
    int name(const ::kivtest::ChildArgs &args)
