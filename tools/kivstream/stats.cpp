// SPDX-License-Identifier: MIT
#include "stats.hpp"

#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace kivstream {

void LatencyRecorder::add(int64_t us) {
    max_ = seen_ == 0 ? us : std::max(max_, us);
    ++seen_;
    if (samples_.size() < capacity_) {
        samples_.push_back(us);
        return;
    }
    // Reservoir sampling keeps every sample equally likely to stay.
    const uint64_t slot = std::uniform_int_distribution<uint64_t>(0, seen_ - 1)(rng_);
    if (slot < capacity_) samples_[size_t(slot)] = us;
}

std::optional<Percentiles> LatencyRecorder::percentiles() const {
    if (samples_.empty()) return std::nullopt;
    std::vector<int64_t> sorted = samples_;
    const auto rank = [&](double p) {
        // Nearest rank: the smallest sample with at least p of them at or below it.
        const size_t k = size_t(std::ceil(p * double(sorted.size())));
        const size_t i = std::clamp<size_t>(k, 1, sorted.size()) - 1;
        std::nth_element(sorted.begin(), sorted.begin() + ptrdiff_t(i), sorted.end());
        return sorted[i];
    };
    Percentiles p;
    p.p50 = rank(0.50);
    p.p99 = rank(0.99);
    p.max = max_;
    return p;
}

std::optional<Percentiles> LatencyRecorder::takePercentiles() {
    const std::optional<Percentiles> p = percentiles();
    samples_.clear();
    seen_ = 0; // the next add() sets max_ anew
    return p;
}

QString repairStateText(uint32_t state) {
    switch (state) {
    case KIV_REPAIR_WORKING: return QStringLiteral("working");
    case KIV_REPAIR_UNAVAILABLE: return QStringLiteral("unavailable");
    default: return QStringLiteral("unknown");
    }
}

ReceiverCounts countsSince(const ReceiverCounts &now, const ReceiverCounts &before) {
    ReceiverCounts d = now;
    d.dropped -= before.dropped;
    d.malformed -= before.malformed;
    d.incomplete -= before.incomplete;
    d.corrupt -= before.corrupt;
    if (d.loss && before.loss) {
        d.loss->datagramsLost -= before.loss->datagramsLost;
        d.loss->datagramsRecovered -= before.loss->datagramsRecovered;
        d.loss->framesRebuilt -= before.loss->framesRebuilt;
    }
    if (d.repair && before.repair) {
        d.repair->requestsSent -= before.repair->requestsSent;
        d.repair->datagramsRequested -= before.repair->datagramsRequested;
        d.repair->datagramsRepaired -= before.repair->datagramsRepaired;
    }
    return d;
}

namespace {
QString percentText(uint32_t perMillion) { return QString::number(perMillion / 1e4, 'f', 2); }
} // namespace

QString formatPanelLine(const PanelSecond &s, const ReceiverCounts &c, const std::optional<Percentiles> &latency) {
    QString line = QStringLiteral("fps %1").arg(s.frames);
    if (s.haveFormat)
        line += QStringLiteral("  %1x%2 %3").arg(s.format.width).arg(s.format.height).arg(depthText(s.format.depth));
    else
        line += QStringLiteral("  N/A");
    line += QStringLiteral("  image %1 B/s %2 B/frame  transfer %3 B/s %4 B/frame  dropped %5  malformed %6")
                .arg(s.imageBytes)
                .arg(s.imageBytesPerFrame)
                .arg(s.transferBytes)
                .arg(s.transferBytesPerFrame)
                .arg(c.dropped)
                .arg(c.malformed);
    if (c.incomplete) line += QStringLiteral("  incomplete %1").arg(c.incomplete);
    if (c.corrupt) line += QStringLiteral("  corrupt %1").arg(c.corrupt);
    if (c.loss)
        line += QStringLiteral("  datagrams lost %1 recovered %2  frames rebuilt %3")
                    .arg(c.loss->datagramsLost)
                    .arg(c.loss->datagramsRecovered)
                    .arg(c.loss->framesRebuilt);
    if (c.repair)
        line += QStringLiteral("  repair %1: requested %2 repaired %3  loss %4%")
                    .arg(repairStateText(c.repair->state))
                    .arg(c.repair->datagramsRequested)
                    .arg(c.repair->datagramsRepaired)
                    .arg(percentText(c.repair->lossPerMillion));
    if (latency)
        line += QStringLiteral("  latency p50 %1 us p99 %2 us max %3 us").arg(latency->p50).arg(latency->p99).arg(latency->max);
    return line;
}

namespace {
QJsonValue latencyJson(const std::optional<Percentiles> &p) {
    if (!p) return QJsonValue(QJsonValue::Null);
    return QJsonObject{{QStringLiteral("p50"), qint64(p->p50)},
                       {QStringLiteral("p99"), qint64(p->p99)},
                       {QStringLiteral("max"), qint64(p->max)}};
}
QJsonValue u64(uint64_t v) { return QJsonValue(qint64(v)); }
} // namespace

void insertRepairJson(QJsonObject &o, const kivRepairStats &r) {
    o.insert(QStringLiteral("datagrams_requested"), u64(r.datagramsRequested));
    o.insert(QStringLiteral("datagrams_repaired"), u64(r.datagramsRepaired));
    o.insert(QStringLiteral("repair_state"), repairStateText(r.state));
    o.insert(QStringLiteral("loss_percent"), r.lossPerMillion / 1e4);
}

QJsonObject panelJson(const PanelSecond &s, const ReceiverCounts &c, const std::optional<Percentiles> &latency) {
    QJsonObject o{{QStringLiteral("fps"), u64(s.frames)},
                  {QStringLiteral("image_bytes_per_s"), u64(s.imageBytes)},
                  {QStringLiteral("transfer_bytes_per_s"), u64(s.transferBytes)},
                  {QStringLiteral("image_bytes_per_frame"), qint64(s.imageBytesPerFrame)},
                  {QStringLiteral("transfer_bytes_per_frame"), qint64(s.transferBytesPerFrame)},
                  {QStringLiteral("frames_dropped"), u64(c.dropped)},
                  {QStringLiteral("frames_malformed"), u64(c.malformed)},
                  {QStringLiteral("frames_incomplete"), u64(c.incomplete)},
                  {QStringLiteral("frames_corrupt"), u64(c.corrupt)},
                  {QStringLiteral("latency_us"), latencyJson(latency)},
                  {QStringLiteral("time_ms"), qint64(s.startMs)}};
    if (c.loss) {
        o.insert(QStringLiteral("datagrams_lost"), u64(c.loss->datagramsLost));
        o.insert(QStringLiteral("datagrams_recovered"), u64(c.loss->datagramsRecovered));
        o.insert(QStringLiteral("frames_rebuilt"), u64(c.loss->framesRebuilt));
    }
    if (c.repair) insertRepairJson(o, *c.repair);
    if (s.haveFormat) {
        o.insert(QStringLiteral("width"), s.format.width);
        o.insert(QStringLiteral("height"), s.format.height);
        o.insert(QStringLiteral("depth"), depthText(s.format.depth).chopped(4).toInt());
    } else {
        for (const char *key : {"width", "height", "depth"}) o.insert(QLatin1String(key), QJsonValue::Null);
    }
    return o;
}

QJsonObject benchJson(const BenchResult &r) {
    QJsonObject o{{QStringLiteral("transport"), r.transport},
                  {QStringLiteral("width"), r.format.width},
                  {QStringLiteral("height"), r.format.height},
                  {QStringLiteral("depth"), depthText(r.format.depth).chopped(4).toInt()},
                  {QStringLiteral("jpeg_level"), r.jpegLevel ? QJsonValue(*r.jpegLevel) : QJsonValue(QJsonValue::Null)},
                  {QStringLiteral("receivers"), r.receivers},
                  {QStringLiteral("frames_sent"), u64(r.framesSent)},
                  {QStringLiteral("frames_received"), u64(r.framesReceived)},
                  {QStringLiteral("frames_dropped"), u64(r.framesDropped)},
                  {QStringLiteral("frames_corrupt"), u64(r.framesCorrupt)},
                  {QStringLiteral("frames_malformed"), u64(r.framesMalformed)},
                  {QStringLiteral("frames_lost"), u64(r.framesLost)},
                  {QStringLiteral("frames_out_of_order"), u64(r.framesOutOfOrder)},
                  {QStringLiteral("seconds"), r.seconds},
                  {QStringLiteral("fps"), r.fps()},
                  {QStringLiteral("cpu_us_per_frame"), r.cpuUsPerFrame()},
                  {QStringLiteral("wall_us_per_frame"), r.wallUsPerFrame()},
                  {QStringLiteral("image_bytes_per_s"), r.imageBytesPerS()},
                  {QStringLiteral("transfer_bytes_per_s"), r.transferBytesPerS()},
                  {QStringLiteral("latency_us"), latencyJson(r.latency)},
                  {QStringLiteral("lowest_psnr_db"), r.lowestPsnr ? QJsonValue(*r.lowestPsnr) : QJsonValue(QJsonValue::Null)},
                  {QStringLiteral("interrupted"), r.interrupted},
                  {QStringLiteral("passed"), r.passed()}};
    if (r.loss) {
        o.insert(QStringLiteral("datagrams_lost"), u64(r.loss->datagramsLost));
        o.insert(QStringLiteral("datagrams_recovered"), u64(r.loss->datagramsRecovered));
        o.insert(QStringLiteral("frames_rebuilt"), u64(r.loss->framesRebuilt));
    }
    if (r.repair) insertRepairJson(o, *r.repair);
    if (r.sender) {
        o.insert(QStringLiteral("datagrams_resent"), u64(r.sender->datagramsResent));
        o.insert(QStringLiteral("parity_percent"), qint64(r.sender->parityPercent));
        o.insert(QStringLiteral("pace_bytes_per_second"), u64(r.sender->paceBytesPerSecond));
    }
    if (!r.failure.isEmpty()) o.insert(QStringLiteral("failure"), r.failure);
    if (!r.skipped.isEmpty()) o.insert(QStringLiteral("skipped"), r.skipped);
    return o;
}

namespace {
QString mbps(double bytesPerS) { return QString::number(bytesPerS / 1e6, 'f', 1); }
QString jpegText(const std::optional<int> &level) {
    return level ? QStringLiteral("jpeg %1").arg(*level) : QStringLiteral("raw");
}
} // namespace

namespace {
QString resultText(const BenchResult &r, const QString &ok, const QString &failed, const QString &interrupted) {
    if (!r.failure.isEmpty()) return failed + r.failure;
    return r.interrupted ? interrupted : ok;
}
} // namespace

QString benchSummary(const BenchResult &r) {
    QStringList lines;
    lines << QStringLiteral("%1 %2x%3 %4 %5%6")
                 .arg(r.transport)
                 .arg(r.format.width)
                 .arg(r.format.height)
                 .arg(depthText(r.format.depth), jpegText(r.jpegLevel),
                      r.interrupted ? QStringLiteral(" (interrupted)") : QString());
    lines << QStringLiteral("  frames: sent %1, received %2, dropped %3, lost %4, corrupt %5, malformed %6, out of order %7")
                 .arg(r.framesSent)
                 .arg(r.framesReceived)
                 .arg(r.framesDropped)
                 .arg(r.framesLost)
                 .arg(r.framesCorrupt)
                 .arg(r.framesMalformed)
                 .arg(r.framesOutOfOrder);
    lines << QStringLiteral("  %1 s, %2 fps, image %3 MB/s, transfer %4 MB/s")
                 .arg(r.seconds, 0, 'f', 2)
                 .arg(r.fps(), 0, 'f', 1)
                 .arg(mbps(r.imageBytesPerS()), mbps(r.transferBytesPerS()));
    lines << QStringLiteral("  per frame (each of %1 receivers): %2 us CPU (the whole process), %3 us wall")
                 .arg(r.receivers)
                 .arg(r.cpuUsPerFrame(), 0, 'f', 0)
                 .arg(r.wallUsPerFrame(), 0, 'f', 0);
    if (r.latency)
        lines << QStringLiteral("  latency: p50 %1 us, p99 %2 us, max %3 us").arg(r.latency->p50).arg(r.latency->p99).arg(r.latency->max);
    if (r.loss)
        lines << QStringLiteral("  datagrams: lost %1, recovered %2; frames rebuilt %3")
                     .arg(r.loss->datagramsLost)
                     .arg(r.loss->datagramsRecovered)
                     .arg(r.loss->framesRebuilt);
    if (r.repair)
        lines << QStringLiteral("  repair %1: requested %2, repaired %3")
                     .arg(repairStateText(r.repair->state))
                     .arg(r.repair->datagramsRequested)
                     .arg(r.repair->datagramsRepaired);
    if (r.sender)
        lines << QStringLiteral("  sender: pace %1 MB/s, parity %2%, datagrams resent %3")
                     .arg(mbps(double(r.sender->paceBytesPerSecond)))
                     .arg(r.sender->parityPercent)
                     .arg(r.sender->datagramsResent);
    if (r.lowestPsnr) lines << QStringLiteral("  lowest PSNR %1 dB").arg(*r.lowestPsnr, 0, 'f', 1);
    lines << resultText(r, QStringLiteral("  checks passed"), QStringLiteral("  FAILED: "),
                        QStringLiteral("  INTERRUPTED: cut short, no verdict"));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString benchTable(const std::vector<BenchResult> &rows) {
    const QStringList head{QStringLiteral("transport"), QStringLiteral("size"), QStringLiteral("depth"),
                           QStringLiteral("codec"), QStringLiteral("rcv"), QStringLiteral("fps"),
                           QStringLiteral("CPU us/frame"), QStringLiteral("wall us/frame"), QStringLiteral("image MB/s"),
                           QStringLiteral("transfer MB/s"), QStringLiteral("p50 us"), QStringLiteral("p99 us"),
                           QStringLiteral("max us"), QStringLiteral("sent"), QStringLiteral("received"),
                           QStringLiteral("dropped"), QStringLiteral("corrupt"), QStringLiteral("result")};
    std::vector<QStringList> cells;
    for (const BenchResult &r : rows) {
        QStringList c{r.transport, QStringLiteral("%1x%2").arg(r.format.width).arg(r.format.height),
                      QString::number(depthText(r.format.depth).chopped(4).toInt()), jpegText(r.jpegLevel),
                      QString::number(r.receivers)};
        if (!r.skipped.isEmpty()) {
            for (qsizetype i = c.size(); i < head.size() - 1; ++i) c << QStringLiteral("-");
            c << QStringLiteral("skipped: %1").arg(r.skipped);
        } else {
            c << QString::number(r.fps(), 'f', 1) << QString::number(r.cpuUsPerFrame(), 'f', 0)
              << QString::number(r.wallUsPerFrame(), 'f', 0) << mbps(r.imageBytesPerS()) << mbps(r.transferBytesPerS());
            if (r.latency)
                c << QString::number(r.latency->p50) << QString::number(r.latency->p99) << QString::number(r.latency->max);
            else
                c << QStringLiteral("-") << QStringLiteral("-") << QStringLiteral("-");
            c << QString::number(r.framesSent) << QString::number(r.framesReceived) << QString::number(r.framesDropped)
              << QString::number(r.framesCorrupt)
              << resultText(r, QStringLiteral("ok"), QStringLiteral("FAILED: "), QStringLiteral("interrupted"));
        }
        cells.push_back(c);
    }
    // A Markdown table, so the output drops straight into the docs.
    std::vector<qsizetype> width(size_t(head.size()), 3);
    for (qsizetype i = 0; i < head.size(); ++i) width[size_t(i)] = std::max(width[size_t(i)], head[i].size());
    for (const QStringList &c : cells)
        for (qsizetype i = 0; i < c.size() - 1; ++i) width[size_t(i)] = std::max(width[size_t(i)], c[i].size());
    const auto row = [&](const QStringList &c) {
        QString s = QStringLiteral("|");
        for (qsizetype i = 0; i < c.size(); ++i)
            s += QLatin1Char(' ') + (i + 1 < c.size() ? c[i].leftJustified(width[size_t(i)]) : c[i]) + QStringLiteral(" |");
        return s + QLatin1Char('\n');
    };
    QString out = row(head);
    QStringList rule;
    for (qsizetype i = 0; i < head.size(); ++i) rule << QString(width[size_t(i)], QLatin1Char('-'));
    out += row(rule);
    for (const QStringList &c : cells) out += row(c);
    return out;
}

} // namespace kivstream
