// SPDX-License-Identifier: MIT
// bench: one measured run, and the matrices of runs behind --all and --scaling.
#pragma once

#include <QString>

#include "commands.hpp"
#include "metrics.hpp"
#include "options.hpp"
#include "pattern.hpp"
#include "stats.hpp"

namespace kivstream {

struct BenchRun {
    int status = kExitOk; // kExitCannotStart when the transport did not come up
    bool unsupported = false;
    QString error;
    BenchResult result;
};

// What one bench receiver found. A receiver's findings are read once its
// thread has ended, then merged over the receivers.
struct BenchFindings {
    uint64_t measured = 0, corrupt = 0, outOfOrder = 0, imageBytes = 0, transferBytes = 0;
    LatencyRecorder latency;
    std::optional<double> lowestPsnr;
    QString firstProblem;

    // One checked frame. A picture number at or above `made` was never sent,
    // which is as wrong as a bad byte. Only `measured` frames count towards
    // the figures; bad ones always count.
    void add(FrameChecker::Result r, const kivFrameInfo &info, uint32_t made, bool measured, int64_t latencyUs);
    // Sums and the lowest PSNR; latency stays per receiver.
    void merge(const BenchFindings &other);
};

// Why a bench failed, empty when it passed: a bad frame, or none measured.
QString benchFailure(const BenchFindings &all, bool interrupted);

// With `metrics`, the sender and the receivers (summed) count there too.
BenchRun benchOnce(const Options &o, MetricsEndpoint *metrics = nullptr);

int benchAll(const Options &base);
int benchScaling(const Options &base);

} // namespace kivstream
