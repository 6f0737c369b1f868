// SPDX-License-Identifier: MIT
// A receiver's run second by second: what the panel shows and what it leaves
// out (loss, latency), kept for the history view and written as a report.
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <vector>

#include "kivVidStreamLib2.h"
#include "kivmodel.h"

namespace kivtester {

// Send times further than this from the receiver's clock come from a clock
// that is wrong, not from a slow link: they are left out of the latency.
inline constexpr int64_t kLatencyWindowUs = 60'000'000;

// What the sender stamped on a frame (kivGetRecvFrameInfo) and when it reached us.
struct FrameStamp {
    uint64_t session = 0;
    uint32_t number = 0;
    int64_t sendUs = 0;
    int64_t receivedUs = 0;
};

// One second of a run. Latency is nullopt when no frame had a usable send time.
struct HistoryRow {
    int64_t startMs = 0; // wall clock
    uint64_t frames = 0, imageBytes = 0, transferBytes = 0;
    uint64_t lost = 0, incomplete = 0, dropped = 0;
    std::optional<int64_t> p50Us, p99Us;
};

// The report's columns, one schema for the window and kivstream receive --csv.
QString csvHeader();
QString csvRow(const HistoryRow &row);

// Latency samples in a buffer sized once; beyond it a uniform reservoir.
class LatencySampler {
public:
    explicit LatencySampler(size_t capacity);
    void add(int64_t us);
    uint64_t count() const { return seen_; }
    int64_t max() const { return max_; }
    // Nearest rank, 0 < p <= 1; reorders the samples, nullopt without any.
    std::optional<int64_t> percentile(double p);
    void clear() { used_ = 0, seen_ = 0; }

private:
    std::vector<int64_t> samples_;
    size_t used_ = 0;
    uint64_t seen_ = 0;
    int64_t max_ = 0;
    std::minstd_rand rng_;
};

// Turns frames into one HistoryRow a second; allocates nothing per frame.
class SecondRecorder {
public:
    SecondRecorder() : latency_(4096) {}
    // False when the send time is outside kLatencyWindowUs (no sample taken).
    bool addFrame(const FrameStamp &f);
    // Closes the second that `panel` reports, with the decoder's counters now.
    HistoryRow takeSecond(const PanelSecond &panel, const kivDecoderStats &decoder);
    // A new decoder: its counters and frame numbers start over.
    void restart();

private:
    LatencySampler latency_;
    bool haveLast_ = false;
    uint64_t session_ = 0;
    uint32_t last_ = 0;
    uint64_t lost_ = 0;
    kivDecoderStats before_{};
};

// A receiver's run: its settings, its seconds (at most `keepSeconds`, the
// oldest go first), totals and latency over the whole run.
class RunHistory {
public:
    explicit RunHistory(size_t keepSeconds = 86400);
    // A new run; `settings` go into the summary as they are.
    void start(const QJsonObject &settings, int64_t nowMs);
    void addFrame(const FrameStamp &f);
    const HistoryRow &closeSecond(const PanelSecond &panel, const kivDecoderStats &decoder);
    void setSameClock(bool same) { sameClock_ = same; }
    bool sameClock() const { return sameClock_; }
    const std::deque<HistoryRow> &rows() const { return rows_; }
    QString csv() const;
    QJsonObject summary();

private:
    size_t keep_;
    QJsonObject settings_;
    int64_t startMs_ = 0;
    bool sameClock_ = true;
    std::deque<HistoryRow> rows_;
    HistoryRow totals_;
    uint64_t skipped_ = 0;
    SecondRecorder second_;
    LatencySampler runLatency_;
};

} // namespace kivtester
