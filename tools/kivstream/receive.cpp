// SPDX-License-Identifier: MIT
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <thread>

#include "commands.hpp"
#include "common.hpp"
#include "metrics.hpp"
#include "history.h"
#include "stats.hpp"

namespace kivstream {
namespace {

// The kernel may grant a UDP socket less buffer than the library asks for,
// and bursts then overflow it: say how to allow more.
void adviseOnReceiveBuffer(kivDecoder *dec) {
    uint32_t requested = 0, granted = 0;
    if (kivGetReceiveBuffer(dec, &requested, &granted) == KIV_OK && granted < requested)
        err(QStringLiteral("UDP receive buffer capped at %1 KiB (asked for %2 KiB); raise net.core.rmem_max to avoid "
                           "loss at high rates")
                .arg(granted / 1024)
                .arg(requested / 1024));
}

// Wakes the decoder's reader when a stop is requested, from a thread that
// sleeps until then: the signal handler itself may not call the library.
class StopWaker {
public:
    explicit StopWaker(kivDecoder *dec)
        : done_(::eventfd(0, EFD_CLOEXEC)), thread_([this, dec] {
              pollfd fds[2]{{stopFd(), POLLIN, 0}, {done_, POLLIN, 0}};
              while (::poll(fds, 2, -1) < 0 && errno == EINTR) {}
              if (fds[0].revents) kivWakeDecoder(dec);
          }) {}
    ~StopWaker() {
        const uint64_t one = 1;
        (void)!::write(done_, &one, sizeof one);
        thread_.join();
        ::close(done_);
    }
    StopWaker(const StopWaker &) = delete;
    StopWaker &operator=(const StopWaker &) = delete;

private:
    int done_;
    std::thread thread_;
};

int64_t msUntil(SteadyClock::time_point t) {
    if (t == SteadyClock::time_point::max()) return INT64_MAX;
    return std::chrono::ceil<std::chrono::milliseconds>(t - SteadyClock::now()).count();
}

// Why a receiver may have got nothing, most likely first.
QStringList likelyCauses(const Options &o) {
    const QString port = QString::number(o.stream);
    switch (o.protocol()) {
    case KIV_PROTOCOL_MEMORY:
        return {QStringLiteral("no sender on this machine sends to memory stream %1").arg(port),
                QStringLiteral("the sender runs as another user (each user has streams of their own)")};
    case KIV_PROTOCOL_TCP:
        return {QStringLiteral("no sender connected to TCP port %1 of this host").arg(port),
                QStringLiteral("the sender's --address is not this host, or a firewall blocks TCP port %1").arg(port)};
    default:
        return {QStringLiteral("no sender sends to UDP port %1 of this host or to a group it joined").arg(port),
                QStringLiteral("another receiver on this host bound port %1 and takes the unicast datagrams "
                               "(only a multicast group reaches every receiver)").arg(port),
                QStringLiteral("a firewall drops UDP port %1").arg(port)};
    }
}

} // namespace

int runReceive(const Options &o) {
    // --csv: one row a second, in the columns of the tester's report.
    std::unique_ptr<QFile> csv;
    kivtester::SecondRecorder history;
    if (!o.csv.isEmpty()) {
        csv = std::make_unique<QFile>(o.csv);
        if (!csv->open(QIODevice::WriteOnly | QIODevice::Truncate) || csv->write((kivtester::csvHeader() + u'\n').toUtf8()) < 0) {
            err(QStringLiteral("cannot write %1: %2").arg(o.csv, csv->errorString()));
            return kExitCannotStart;
        }
        csv->flush();
    }
    QString why;
    std::unique_ptr<MetricsEndpoint> endpoint;
    if (!startMetrics(o.metrics, endpoint)) return kExitCannotStart;
    const std::unique_ptr<StreamMetrics> metrics =
        endpoint ? endpoint->stream(o.transport, QString::number(o.stream), QStringLiteral("receiver")) : nullptr;
    bool unsupported = false;
    DecoderPtr dec = openDecoder(o, o.stream, 1, why, unsupported);
    if (!dec) {
        err(why);
        return kExitCannotStart;
    }
    adviseOnReceiveBuffer(dec.get());
    const bool check = o.pattern == PatternKind::Check;
    FrameChecker checker(o.seed);
    PanelCounter panel(wallMs());
    LatencyRecorder secondLatency, totalLatency;
    const auto start = SteadyClock::now();
    std::optional<SteadyClock::time_point> firstFrame;
    ReceiverCounts lastSecond;
    uint64_t frames = 0, corrupt = 0, outOfOrder = 0, imageBytes = 0, transferBytes = 0;
    QString firstProblem;
    const auto counts = [&] {
        kivDecoderStats d{};
        kivGetDecoderStats(dec.get(), &d);
        ReceiverCounts c{d.framesDropped, d.framesMalformed, d.framesIncomplete, corrupt, std::nullopt, std::nullopt};
        if (o.protocol() == KIV_PROTOCOL_UDP) {
            kivLossStats l{};
            kivGetDecoderLossStats(dec.get(), &l);
            c.loss = l;
            kivRepairStats r{};
            kivGetDecoderRepairStats(dec.get(), &r);
            c.repair = r;
        }
        return c;
    };
    // The wait ends with a frame, the panel's next second, the run's end or a stop.
    const StopWaker stopWaker(dec.get());
    const auto end = deadlineOf(o, start);
    while (!stopRequested() && !limitReached(o, frames, start)) {
        const int64_t waitMs = std::clamp<int64_t>(std::min(panel.msUntilDue(wallMs()), msUntil(end)), 0, 1000);
        if (const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec.get(), int(waitMs)))) {
            const int64_t now = wallUs();
            if (!firstFrame) firstFrame = SteadyClock::now();
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec.get(), &info);
            const kivStreamFormat fmt = lockedFormat(dec.get());
            panel.addFrame(info.transferBytes, fmt);
            history.addFrame({info.sessionId, info.frameNumber, info.sendTimeUs, now});
            ++frames;
            imageBytes += info.imageBytes;
            transferBytes += info.transferBytes;
            if (o.latency) {
                secondLatency.add(now - info.sendTimeUs);
                totalLatency.add(now - info.sendTimeUs);
            }
            if (metrics) metrics->frameReceived(info, now);
            if (check) {
                // The receiver does not know the sender's level: hold JPEG to the loosest bound.
                const auto r = checker.check(p, fmt, info, 100);
                if (!r.ok) {
                    ++corrupt;
                    if (metrics) metrics->frameCorrupt();
                    if (firstProblem.isEmpty()) firstProblem = r.problem;
                }
                if (r.outOfOrder) ++outOfOrder;
            }
            kivUnlockReadBuffer(dec.get());
        }
        if (auto second = panel.poll(wallMs())) {
            if (csv) {
                kivDecoderStats d{};
                kivGetDecoderStats(dec.get(), &d);
                // A full disk costs the file, not the run.
                if (csv->write((kivtester::csvRow(history.takeSecond(*second, d)) + u'\n').toUtf8()) < 0 || !csv->flush()) {
                    err(QStringLiteral("cannot write %1: %2; no more rows").arg(o.csv, csv->errorString()));
                    csv.reset();
                }
            }
            std::optional<Percentiles> lat;
            if (o.latency) lat = secondLatency.takePercentiles();
            const ReceiverCounts total = counts(), c = countsSince(total, lastSecond);
            if (metrics) publishDecoder(*metrics, dec.get());
            lastSecond = total;
            if (o.json)
                out(QString::fromUtf8(QJsonDocument(panelJson(*second, c, lat)).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
            else
                out(formatPanelLine(*second, c, lat) + QLatin1Char('\n'));
        }
    }
    if (metrics) publishDecoder(*metrics, dec.get());
    const double secs = secondsSince(start);
    // Rates count from the first frame: waiting for a sender to start is not slowness.
    const double receiving = firstFrame ? secondsSince(*firstFrame) : 0;
    const bool interrupted = stopRequested();
    const ReceiverCounts c = counts();
    std::optional<Percentiles> lat;
    if (o.latency) lat = totalLatency.percentiles();
    if (o.json) {
        QJsonObject s{{QStringLiteral("summary"), true},
                      {QStringLiteral("transport"), o.transport},
                      {QStringLiteral("stream"), o.stream},
                      {QStringLiteral("frames_received"), qint64(frames)},
                      {QStringLiteral("seconds"), secs},
                      {QStringLiteral("receiving_seconds"), receiving},
                      {QStringLiteral("interrupted"), interrupted},
                      {QStringLiteral("fps"), perSecond(double(frames), receiving)},
                      {QStringLiteral("image_bytes_per_s"), perSecond(double(imageBytes), receiving)},
                      {QStringLiteral("transfer_bytes_per_s"), perSecond(double(transferBytes), receiving)},
                      {QStringLiteral("frames_dropped"), qint64(c.dropped)},
                      {QStringLiteral("frames_malformed"), qint64(c.malformed)},
                      {QStringLiteral("frames_incomplete"), qint64(c.incomplete)},
                      {QStringLiteral("frames_corrupt"), check ? QJsonValue(qint64(corrupt)) : QJsonValue(QJsonValue::Null)},
                      {QStringLiteral("frames_out_of_order"), qint64(outOfOrder)}};
        s.insert(QStringLiteral("latency_us"),
                 lat ? QJsonValue(QJsonObject{{QStringLiteral("p50"), qint64(lat->p50)},
                                              {QStringLiteral("p99"), qint64(lat->p99)},
                                              {QStringLiteral("max"), qint64(lat->max)}})
                     : QJsonValue(QJsonValue::Null));
        if (c.loss) {
            s.insert(QStringLiteral("datagrams_lost"), qint64(c.loss->datagramsLost));
            s.insert(QStringLiteral("datagrams_recovered"), qint64(c.loss->datagramsRecovered));
            s.insert(QStringLiteral("frames_rebuilt"), qint64(c.loss->framesRebuilt));
        }
        if (c.repair) insertRepairJson(s, *c.repair);
        out(QString::fromUtf8(QJsonDocument(s).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    } else {
        QString text = QStringLiteral("received over %1 stream %2: %3 frames in %4 s (%5 fps%6); dropped %7, malformed %8, "
                                      "incomplete %9")
                           .arg(o.transport)
                           .arg(o.stream)
                           .arg(frames)
                           .arg(secs, 0, 'f', 2)
                           .arg(perSecond(double(frames), receiving), 0, 'f', 1)
                           .arg(firstFrame ? QStringLiteral(" from the first frame, %1 s in").arg(secs - receiving, 0, 'f', 2) : QString())
                           .arg(c.dropped)
                           .arg(c.malformed)
                           .arg(c.incomplete);
        if (check) text += QStringLiteral(", corrupt %1, out of order %2").arg(corrupt).arg(outOfOrder);
        if (c.loss)
            text += QStringLiteral("; datagrams lost %1, recovered %2; frames rebuilt %3")
                        .arg(c.loss->datagramsLost)
                        .arg(c.loss->datagramsRecovered)
                        .arg(c.loss->framesRebuilt);
        if (c.repair)
            text += QStringLiteral("; repair %1: requested %2, repaired %3; loss %4%")
                        .arg(repairStateText(c.repair->state))
                        .arg(c.repair->datagramsRequested)
                        .arg(c.repair->datagramsRepaired)
                        .arg(c.repair->lossPerMillion / 1e4, 0, 'f', 2);
        if (lat) text += QStringLiteral("; latency p50 %1 us, p99 %2 us, max %3 us").arg(lat->p50).arg(lat->p99).arg(lat->max);
        out(text + QLatin1Char('\n'));
        if (!firstProblem.isEmpty()) out(QStringLiteral("first bad frame: %1\n").arg(firstProblem));
    }
    if (check && corrupt) return kExitCheckFailed;
    if (frames == 0) {
        err(QStringLiteral("no frame arrived on %1 stream %2 in %3 s%4. Likely causes:\n  - %5")
                .arg(o.transport)
                .arg(o.stream)
                .arg(secs, 0, 'f', 1)
                .arg(check ? QStringLiteral(", so nothing was checked") : QString())
                .arg(likelyCauses(o).join(QStringLiteral("\n  - "))));
        return kExitNothingReceived;
    }
    return kExitOk;
}

} // namespace kivstream
