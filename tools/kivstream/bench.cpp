// SPDX-License-Identifier: MIT
#include "bench.hpp"

#include <QJsonDocument>

#include <algorithm>
#include <ctime>
#include <numeric>
#include <thread>

#include "commands.hpp"
#include "common.hpp"
#include "pattern.hpp"

namespace kivstream {
namespace {

void keepLowest(std::optional<double> &lowest, const std::optional<double> &v) {
    if (v && (!lowest || *v < *lowest)) lowest = v;
}

// The receiving half of a bench: its own thread, waiting in kivLockReadBuffer.
class BenchReceiver {
public:
    BenchReceiver(kivDecoder *dec, uint32_t seed, int jpegLevel, const std::atomic<uint32_t> &framesMade,
                  std::unique_ptr<StreamMetrics> metrics)
        : dec_(dec), checker_(seed), jpegLevel_(jpegLevel), framesMade_(framesMade), metrics_(std::move(metrics)),
          thread_([this](std::stop_token stop) { loop(stop); }) {}

    // Frames made from picture `first` on count towards the figures; late
    // warm-up frames are still checked but not counted.
    void startMeasuring(uint32_t first) {
        first_.store(first);
        measuring_.store(true);
    }

    // Ends the thread; only then are its findings complete and safe to read.
    BenchFindings finish() {
        thread_ = {}; // stops and joins it
        return std::move(findings_);
    }

    // Live figures for the progress line.
    std::atomic<uint64_t> received{0}, measured{0}, corrupt{0}; // received: warm-up included
    std::atomic<int64_t> lastFrameSteadyNs{0};

private:
    void loop(std::stop_token stop) {
        // A stop wakes the wait, so the wait can be long.
        const std::stop_callback wake(stop, [this] { kivWakeDecoder(dec_); });
        Every publish(std::chrono::seconds(1));
        while (!stop.stop_requested()) {
            if (metrics_ && publish.due()) publishDecoder(*metrics_, dec_);
            const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec_, 1000));
            if (!p) continue;
            const int64_t now = wallUs();
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec_, &info);
            const auto r = checker_.check(p, lockedFormat(dec_), info, jpegLevel_);
            kivUnlockReadBuffer(dec_);
            if (metrics_) {
                metrics_->frameReceived(info, now);
                if (!r.ok) metrics_->frameCorrupt();
            }
            const bool measuring = measuring_.load() && int32_t(r.number - first_.load()) >= 0;
            findings_.add(r, info, framesMade_.load(), measuring, now - info.sendTimeUs);
            ++received;
            measured = findings_.measured;
            corrupt = findings_.corrupt;
            lastFrameSteadyNs = SteadyClock::now().time_since_epoch().count();
        }
        if (metrics_) publishDecoder(*metrics_, dec_);
    }

    kivDecoder *dec_;
    FrameChecker checker_;
    int jpegLevel_;
    const std::atomic<uint32_t> &framesMade_;
    std::unique_ptr<StreamMetrics> metrics_; // this thread's alone
    std::atomic<bool> measuring_{false};
    std::atomic<uint32_t> first_{0};
    BenchFindings findings_;
    std::jthread thread_; // last: joined before the members it uses go
};

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// With several receivers, each percentile is that of the slowest one.
std::optional<Percentiles> mergedLatency(const std::vector<BenchFindings> &found) {
    std::optional<Percentiles> worst;
    for (const BenchFindings &f : found)
        if (const auto p = f.latency.percentiles()) {
            if (!worst) worst = Percentiles{};
            worst->p50 = std::max(worst->p50, p->p50);
            worst->p99 = std::max(worst->p99, p->p99);
            worst->max = std::max(worst->max, p->max);
        }
    return worst;
}

} // namespace

void BenchFindings::add(FrameChecker::Result r, const kivFrameInfo &info, uint32_t made, bool measuring, int64_t latencyUs) {
    if (r.ok && r.number >= made) {
        r.ok = false;
        r.problem = QStringLiteral("frame stamped %1 carries picture %2, which was never sent").arg(info.frameNumber).arg(r.number);
    }
    if (!r.ok) {
        if (firstProblem.isEmpty()) firstProblem = r.problem;
        ++corrupt;
    }
    keepLowest(lowestPsnr, r.psnr);
    if (!measuring) return;
    if (r.outOfOrder) ++outOfOrder;
    ++measured;
    imageBytes += info.imageBytes;
    transferBytes += info.transferBytes;
    latency.add(latencyUs);
}

void BenchFindings::merge(const BenchFindings &o) {
    measured += o.measured;
    corrupt += o.corrupt;
    outOfOrder += o.outOfOrder;
    imageBytes += o.imageBytes;
    transferBytes += o.transferBytes;
    keepLowest(lowestPsnr, o.lowestPsnr);
    if (firstProblem.isEmpty()) firstProblem = o.firstProblem;
}

QString benchFailure(const BenchFindings &all, bool interrupted) {
    if (all.corrupt) return QStringLiteral("%1 corrupt frames, first: %2").arg(all.corrupt).arg(all.firstProblem);
    if (all.measured == 0 && !interrupted) return QStringLiteral("no frames received");
    return {};
}

BenchRun benchOnce(const Options &o, MetricsEndpoint *metrics) {
    BenchRun run;
    BenchResult &r = run.result;
    r.transport = o.transport;
    r.format = o.format;
    r.jpegLevel = o.jpegLevel;
    r.receivers = o.receivers;

    // The receivers first: a TCP sender needs someone listening.
    std::vector<DecoderPtr> decs;
    for (int i = 0; i < o.receivers; ++i) {
        decs.push_back(openDecoder(o, o.stream, 0, run.error, run.unsupported));
        if (!decs.back()) {
            run.status = kExitCannotStart;
            return run;
        }
    }
    EncoderPtr enc = openEncoder(o, o.stream, run.error, run.unsupported);
    if (!enc) {
        run.status = kExitCannotStart;
        return run;
    }

    FrameSource source(o);
    std::atomic<uint32_t> made{0};
    // Every receiver counts under the same labels: their frames add up.
    const auto endMetrics = [&](const char *role) {
        return metrics ? metrics->stream(o.transport, QString::number(o.stream), QLatin1String(role)) : nullptr;
    };
    const std::unique_ptr<StreamMetrics> senderMetrics = endMetrics("sender");
    Every publish(std::chrono::milliseconds(250));
    std::vector<std::unique_ptr<BenchReceiver>> receivers;
    for (const DecoderPtr &dec : decs)
        receivers.push_back(std::make_unique<BenchReceiver>(dec.get(), o.seed, o.jpegLevel.value_or(100), made, endMetrics("receiver")));
    const auto sum = [&](auto field) {
        return std::accumulate(receivers.begin(), receivers.end(), uint64_t(0), [&](uint64_t n, const auto &rcv) { return n + field(*rcv); });
    };
    const auto everyReceiverGotOne = [&] {
        return std::all_of(receivers.begin(), receivers.end(), [](const auto &rcv) { return rcv->received.load() > 0; });
    };
    const auto lastFrameNs = [&] {
        int64_t last = 0;
        for (const auto &rcv : receivers) last = std::max(last, rcv->lastFrameSteadyNs.load());
        return last;
    };
    const auto decoderStats = [&] {
        kivDecoderStats total{};
        for (const DecoderPtr &dec : decs) {
            kivDecoderStats s{};
            kivGetDecoderStats(dec.get(), &s);
            for (auto counter : {&kivDecoderStats::framesDropped, &kivDecoderStats::framesMalformed, &kivDecoderStats::framesIncomplete})
                total.*counter += s.*counter;
        }
        return total;
    };
    Progress progress(!o.json);

    const auto sendOne = [&] {
        const uint32_t n = made.load();
        const uint8_t *frame = source.frame(n);
        made.store(n + 1); // before encoding: the receiver may see it at once
        kivEncode(enc.get(), frame);
    };

    // Warm-up: connections and multicast joins take a moment; figures start
    // with the first frame that made it through.
    const auto warmDeadline = SteadyClock::now() + std::chrono::seconds(5);
    while (!everyReceiverGotOne() && !stopRequested()) {
        if (SteadyClock::now() > warmDeadline) {
            run.status = kExitCannotStart;
            run.error = QStringLiteral("no frame came through the %1 transport on stream %2 within 5 s")
                            .arg(o.transport).arg(o.stream);
            return run;
        }
        sendOne();
        sleepUntil(SteadyClock::now() + std::chrono::milliseconds(10));
    }

    // Warm-up frames still in the transport would count as sent but never measured.
    drainEncoder(enc.get());
    kivEncoderStats e0{}, e1{};
    kivGetEncoderStats(enc.get(), &e0);
    const kivDecoderStats d0 = decoderStats();
    for (const auto &rcv : receivers) rcv->startMeasuring(made.load());
    const double cpu0 = processCpuSeconds();
    const auto start = SteadyClock::now();
    Pacer pacer(o.fps);
    uint64_t sent = 0;
    while (!stopRequested() && !limitReached(o, sent, start)) {
        sendOne();
        ++sent;
        if (senderMetrics && publish.due()) publishEncoder(*senderMetrics, enc.get());
        if (progress.due())
            progress.show(QStringLiteral("%1 %2x%3: %4 s, sent %5, received %6, corrupt %7")
                              .arg(o.transport)
                              .arg(o.format.width)
                              .arg(o.format.height)
                              .arg(secondsSince(start), 0, 'f', 1)
                              .arg(sent)
                              .arg(sum([](const BenchReceiver &x) { return x.measured.load(); }))
                              .arg(sum([](const BenchReceiver &x) { return x.corrupt.load(); })));
        pacer.wait(deadlineOf(o, start));
    }
    r.interrupted = stopRequested();
    const auto sendEnd = SteadyClock::now();
    drainEncoder(enc.get());

    // Let what is in flight arrive: stop once nothing came for 200 ms (2 s at most).
    const auto drainDeadline = SteadyClock::now() + std::chrono::seconds(2);
    for (;;) {
        const auto last = SteadyClock::time_point(SteadyClock::duration(lastFrameNs()));
        const auto now = SteadyClock::now();
        if (now > drainDeadline || now - std::max(last, sendEnd) > std::chrono::milliseconds(200)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<BenchFindings> found;
    BenchFindings all;
    for (const auto &rcv : receivers) {
        found.push_back(rcv->finish());
        all.merge(found.back());
    }
    const auto lastFrame = SteadyClock::time_point(SteadyClock::duration(lastFrameNs()));
    // Up to the last frame, not the drain's idle wait, which costs nothing.
    r.cpuSeconds = processCpuSeconds() - cpu0;

    kivGetEncoderStats(enc.get(), &e1);
    if (senderMetrics) publishEncoder(*senderMetrics, enc.get());
    const kivDecoderStats d1 = decoderStats();
    r.seconds = std::chrono::duration<double>(std::max(sendEnd, lastFrame) - start).count();
    r.framesSent = e1.framesSent - e0.framesSent;
    r.framesReceived = all.measured;
    const uint64_t expected = r.framesSent * uint64_t(o.receivers);
    // A warm-up frame given up only after the snapshot (its datagrams never
    // all came) lands in these counters too: no more frames of the run were
    // dropped than were sent and not received.
    const uint64_t recvDropped = std::min((d1.framesDropped - d0.framesDropped) + (d1.framesIncomplete - d0.framesIncomplete),
                                          expected - std::min(expected, r.framesReceived));
    r.framesDropped = (e1.framesDropped - e0.framesDropped) + recvDropped;
    r.framesMalformed = d1.framesMalformed - d0.framesMalformed;
    r.framesCorrupt = all.corrupt;
    r.framesOutOfOrder = all.outOfOrder;
    r.imageBytes = all.imageBytes;
    r.transferBytes = all.transferBytes;
    r.lowestPsnr = all.lowestPsnr;
    r.latency = mergedLatency(found);
    const uint64_t accounted = r.framesReceived + recvDropped;
    r.framesLost = expected - std::min(expected, accounted);
    if (o.protocol() == KIV_PROTOCOL_UDP) {
        kivLossStats total{};
        kivRepairStats repair{};
        for (const DecoderPtr &dec : decs) {
            kivLossStats l{};
            kivGetDecoderLossStats(dec.get(), &l);
            total.datagramsLost += l.datagramsLost;
            total.datagramsRecovered += l.datagramsRecovered;
            total.framesRebuilt += l.framesRebuilt;
            kivRepairStats q{};
            kivGetDecoderRepairStats(dec.get(), &q);
            repair.requestsSent += q.requestsSent;
            repair.datagramsRequested += q.datagramsRequested;
            repair.datagramsRepaired += q.datagramsRepaired;
            // The states rank unknown < working < unavailable: one receiver left unrepaired shows.
            repair.state = std::max(repair.state, q.state);
            repair.lossPerMillion = std::max(repair.lossPerMillion, q.lossPerMillion);
        }
        r.loss = total;
        r.repair = repair;
        kivUdpSenderStats u{};
        if (kivGetEncoderUdpStats(enc.get(), &u) == KIV_OK) r.sender = u;
    }
    r.failure = benchFailure(all, r.interrupted);
    return run;
}

int runBench(const Options &o) {
    if (o.all) return benchAll(o);
    if (o.scaling) return benchScaling(o);
    Options run = o;
    if (!run.frames && !run.seconds) run.seconds = 5;
    std::unique_ptr<MetricsEndpoint> metrics;
    if (!startMetrics(o.metrics, metrics)) return kExitCannotStart;
    BenchRun b = benchOnce(run, metrics.get());
    if (b.status != kExitOk) {
        err(b.error);
        return b.status;
    }
    if (run.json)
        out(QString::fromUtf8(QJsonDocument(benchJson(b.result)).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    else
        out(benchSummary(b.result));
    if (!b.result.failure.isEmpty()) return kExitCheckFailed;
    if (b.result.interrupted) {
        err(QStringLiteral("interrupted: the run was cut short, so it has no verdict"));
        return kExitInterrupted;
    }
    return kExitOk;
}

} // namespace kivstream
