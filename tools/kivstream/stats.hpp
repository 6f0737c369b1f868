// SPDX-License-Identifier: MIT
// Figures that kivstream reports: the tester's once-a-second panel, latency
// percentiles and the bench summary, as text, JSON and a table.
#pragma once

#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "kivVidStreamLib2.h"
#include "kivmodel.h"

namespace kivstream {

struct Percentiles {
    int64_t p50 = 0, p99 = 0, max = 0;
};

// Latency samples in microseconds. Keeps at most `capacity` of them (a uniform
// reservoir beyond that) so that a receiver left running for days stays small;
// the maximum is exact.
class LatencyRecorder {
public:
    explicit LatencyRecorder(size_t capacity = size_t(1) << 20) : capacity_(capacity) {}
    void add(int64_t us);
    uint64_t count() const { return seen_; }
    // Nearest-rank percentiles; nullopt without samples.
    std::optional<Percentiles> percentiles() const;
    // The percentiles so far, then starts anew (one per panel second).
    std::optional<Percentiles> takePercentiles();

private:
    size_t capacity_;
    std::vector<int64_t> samples_;
    uint64_t seen_ = 0;
    int64_t max_ = 0;
    std::mt19937_64 rng_{0x6b6976};
};

using kivtester::PanelCounter;
using kivtester::PanelSecond;

struct ReceiverCounts {
    uint64_t dropped = 0, malformed = 0, incomplete = 0, corrupt = 0;
    std::optional<kivLossStats> loss; // UDP: datagrams lost and rebuilt
    std::optional<kivRepairStats> repair; // UDP: datagrams asked for again
};

// "unknown", "working" or "unavailable" for a KIV_REPAIR_* state.
QString repairStateText(uint32_t state);
// Adds the UDP repair figures to a receiver's or bench's JSON record.
void insertRepairJson(QJsonObject &o, const kivRepairStats &r);

// The counts that grew from `before` to `now`; states and rates stay as `now` has them.
ReceiverCounts countsSince(const ReceiverCounts &now, const ReceiverCounts &before);

using kivtester::depthText;
QString formatPanelLine(const PanelSecond &s, const ReceiverCounts &c, const std::optional<Percentiles> &latency);
QJsonObject panelJson(const PanelSecond &s, const ReceiverCounts &c, const std::optional<Percentiles> &latency);

struct BenchResult {
    QString transport;
    kivStreamFormat format{};
    std::optional<int> jpegLevel;
    int receivers = 1;
    uint64_t framesSent = 0, framesReceived = 0, framesDropped = 0, framesCorrupt = 0;
    uint64_t framesMalformed = 0, framesLost = 0, framesOutOfOrder = 0;
    std::optional<kivLossStats> loss; // UDP runs
    std::optional<kivRepairStats> repair;    // UDP: summed over the receivers, the worst state and loss
    std::optional<kivUdpSenderStats> sender; // UDP
    double seconds = 0;
    double cpuSeconds = 0; // the whole process: sender, library threads, receivers and their checks
    uint64_t imageBytes = 0, transferBytes = 0;
    std::optional<Percentiles> latency;
    std::optional<double> lowestPsnr; // JPEG runs
    bool interrupted = false; // cut short: what it measured passed nothing
    QString failure; // empty when every check passed
    QString skipped; // --all: why this run did not happen

    bool passed() const { return skipped.isEmpty() && failure.isEmpty() && !interrupted; }
    // Frames each receiver got, on average; framesReceived counts them all.
    double framesPerReceiver() const { return double(framesReceived) / std::max(receivers, 1); }
    double fps() const { return seconds > 0 ? framesPerReceiver() / seconds : 0; }
    // Cost of one frame delivered to every receiver.
    double cpuUsPerFrame() const { return framesReceived ? 1e6 * cpuSeconds / framesPerReceiver() : 0; }
    double wallUsPerFrame() const { return framesReceived ? 1e6 * seconds / framesPerReceiver() : 0; }
    double imageBytesPerS() const { return seconds > 0 ? double(imageBytes) / std::max(receivers, 1) / seconds : 0; }
    double transferBytesPerS() const {
        return seconds > 0 ? double(transferBytes) / std::max(receivers, 1) / seconds : 0;
    }
};

QJsonObject benchJson(const BenchResult &r);
QString benchSummary(const BenchResult &r);
QString benchTable(const std::vector<BenchResult> &rows);

} // namespace kivstream
