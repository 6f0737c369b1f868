// SPDX-License-Identifier: MIT
// The two ends of a probe's stream as one side of it sees them: a receiver
// that checks and records every frame, and a sender of the check pattern at a
// rate that can change. A serve end uses the receiver; a probe sending the
// other way (--reverse) uses both, one on each host.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "common.hpp"
#include "metrics.hpp"
#include "probe_protocol.hpp"

namespace kivstream::probe {

// One stream a probe asked for: a decoder and the thread that checks its
// frames, and counts them in `metrics` when given.
class CellReceiver {
public:
    CellReceiver(const CellSpec &spec, const ServeLimits &limits, DecoderPtr dec, std::unique_ptr<StreamMetrics> metrics = nullptr)
        : spec_(spec), limits_(limits), dec_(std::move(dec)), metrics_(std::move(metrics)), checker_(spec.seed),
          deadline_(SteadyClock::now() + std::chrono::microseconds(int64_t(spec.seconds * 1e6))),
          thread_([this](std::stop_token stop) { loop(stop); }) {}

    bool expired() const { return SteadyClock::now() > deadline_; }
    const CellSpec &spec() const { return spec_; }

    // The records since the last take (at most maxRecordsPerCollect), and the counters.
    Records take(bool final) {
        Records r;
        r.id = spec_.id;
        r.final = final;
        {
            std::lock_guard lock(mutex_);
            const size_t n = std::min<size_t>(pending_.size(), limits_.maxRecordsPerCollect);
            r.frames.assign(pending_.begin(), pending_.begin() + std::ptrdiff_t(n));
            pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(n));
            r.counters.recordsDropped = recordsDropped_;
        }
        kivDecoderStats s{};
        kivGetDecoderStats(dec_.get(), &s);
        kivLossStats loss{};
        kivGetDecoderLossStats(dec_.get(), &loss);
        kivRepairStats repair{};
        kivGetDecoderRepairStats(dec_.get(), &repair);
        r.counters.framesDropped = s.framesDropped;
        r.counters.framesIncomplete = s.framesIncomplete;
        r.counters.framesMalformed = s.framesMalformed;
        r.counters.datagramsLost = loss.datagramsLost;
        r.counters.datagramsRecovered = loss.datagramsRecovered;
        r.counters.datagramsRequested = repair.datagramsRequested;
        r.counters.datagramsRepaired = repair.datagramsRepaired;
        return r;
    }

private:
    void loop(std::stop_token stop) {
        // A stop wakes the wait, so the wait can be long.
        const std::stop_callback wake(stop, [this] { kivWakeDecoder(dec_.get()); });
        Every publish(std::chrono::seconds(1));
        while (!stop.stop_requested()) {
            if (metrics_ && publish.due()) publishDecoder(*metrics_, dec_.get());
            const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec_.get(), 1000));
            if (!p) continue;
            const int64_t now = wallUs();
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec_.get(), &info);
            const auto checked = checker_.check(p, lockedFormat(dec_.get()), info, spec_.jpeg < 0 ? 100 : spec_.jpeg);
            kivUnlockReadBuffer(dec_.get());
            if (metrics_) {
                metrics_->frameReceived(info, now);
                if (!checked.ok) metrics_->frameCorrupt();
            }
            std::lock_guard lock(mutex_);
            if (kept_ >= limits_.maxFramesPerCell) {
                ++recordsDropped_;
                continue;
            }
            ++kept_;
            pending_.push_back({checked.number, info.sendTimeUs, now, uint32_t(std::min<uint64_t>(info.transferBytes, UINT32_MAX)), checked.ok});
        }
        if (metrics_) publishDecoder(*metrics_, dec_.get());
    }

    CellSpec spec_;
    ServeLimits limits_;
    DecoderPtr dec_;
    std::unique_ptr<StreamMetrics> metrics_; // this thread's alone
    FrameChecker checker_;
    SteadyClock::time_point deadline_;
    std::mutex mutex_;
    std::vector<FrameRecord> pending_;
    uint64_t kept_ = 0, recordsDropped_ = 0;
    std::jthread thread_; // last: joined before the decoder goes
};

// Sends the check pattern at a rate the caller sets; 0 pauses it.
class CellSender {
public:
    CellSender(const CellSpec &spec, EncoderPtr enc, const Options &o, std::unique_ptr<StreamMetrics> metrics = nullptr)
        : spec_(spec), enc_(std::move(enc)), metrics_(std::move(metrics)), source_(o),
          deadline_(SteadyClock::now() + std::chrono::microseconds(int64_t(spec.seconds * 1e6))),
          thread_([this](std::stop_token stop) { loop(stop); }) {}

    bool expired() const { return SteadyClock::now() > deadline_; }
    const CellSpec &spec() const { return spec_; }
    // The number the next frame will carry, and the frames the encoder dropped so far.
    Mark setRate(double fps);

private:
    void loop(std::stop_token stop);

    CellSpec spec_;
    EncoderPtr enc_;
    std::unique_ptr<StreamMetrics> metrics_; // the sending thread's only
    FrameSource source_; // the sending thread's only
    SteadyClock::time_point deadline_;
    std::mutex mutex_;
    double fps_ = 0;
    uint32_t next_ = 0;
    uint64_t rateChanges_ = 0;
    std::jthread thread_; // last
};

} // namespace kivstream::probe
