// SPDX-License-Identifier: MIT
// The three subcommands. Each returns the process exit status.
#pragma once

#include <atomic>

#include "options.hpp"

namespace kivstream {

inline constexpr int kExitOk = 0;
inline constexpr int kExitCannotStart = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCheckFailed = 3;
inline constexpr int kExitNothingReceived = 4; // receive: no frame came, so nothing was checked
inline constexpr int kExitInterrupted = 5;     // bench: cut short by a signal, the figures are partial

// Set from a signal handler (SIGINT, SIGTERM): loops finish and print their summary.
std::atomic<bool> &stopRequested();
// Sets the flag and makes stopFd() readable; async-signal-safe once stopFd() was made.
void requestStop();
// An eventfd readable once a stop was requested, for loops that wait in poll().
int stopFd();

int runSend(const Options &o);
int runReceive(const Options &o);
int runBench(const Options &o);

} // namespace kivstream
