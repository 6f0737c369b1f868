// SPDX-License-Identifier: MIT
#include "history.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace kivtester {

namespace {

QString utcText(int64_t ms) { return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs); }
QString optionalText(const std::optional<int64_t> &v) { return v ? QString::number(*v) : QString(); }
QJsonValue u64(uint64_t v) { return QJsonValue(qint64(v)); }

// A counter that went down belongs to another decoder: all of it is new.
uint64_t since(uint64_t now, uint64_t before) { return now >= before ? now - before : now; }

} // namespace

QString csvHeader()
{
    return QStringLiteral("time,fps,image_bytes_per_s,transfer_bytes_per_s,frames_lost,frames_incomplete,"
                          "frames_dropped,latency_p50_us,latency_p99_us");
}

QString csvRow(const HistoryRow &r)
{
    return QStringList{utcText(r.startMs), QString::number(r.frames), QString::number(r.imageBytes),
                       QString::number(r.transferBytes), QString::number(r.lost), QString::number(r.incomplete),
                       QString::number(r.dropped), optionalText(r.p50Us), optionalText(r.p99Us)}
        .join(u',');
}

LatencySampler::LatencySampler(size_t capacity) : samples_(std::max<size_t>(capacity, 1)) {}

void LatencySampler::add(int64_t us)
{
    max_ = seen_ == 0 ? us : std::max(max_, us);
    ++seen_;
    if (used_ < samples_.size()) {
        samples_[used_++] = us;
        return;
    }
    // Every sample equally likely to stay.
    const uint64_t slot = std::uniform_int_distribution<uint64_t>(0, seen_ - 1)(rng_);
    if (slot < samples_.size())
        samples_[size_t(slot)] = us;
}

std::optional<int64_t> LatencySampler::percentile(double p)
{
    if (used_ == 0)
        return std::nullopt;
    const size_t rank = size_t(std::ceil(p * double(used_)));
    const auto nth = samples_.begin() + ptrdiff_t(std::clamp<size_t>(rank, 1, used_) - 1);
    std::nth_element(samples_.begin(), nth, samples_.begin() + ptrdiff_t(used_));
    return *nth;
}

bool SecondRecorder::addFrame(const FrameStamp &f)
{
    if (haveLast_ && f.session == session_) {
        // Frame numbers wrap at 2^32; one from behind (reordered, repeated) is no loss.
        const uint32_t ahead = f.number - last_;
        if (ahead != 0 && ahead < 0x80000000u) {
            lost_ += ahead - 1;
            last_ = f.number;
        }
    } else {
        haveLast_ = true;
        session_ = f.session;
        last_ = f.number;
    }
    // Compared this way round, no send time can overflow the difference.
    if (f.sendUs < f.receivedUs - kLatencyWindowUs || f.sendUs > f.receivedUs + kLatencyWindowUs)
        return false;
    latency_.add(f.receivedUs - f.sendUs);
    return true;
}

HistoryRow SecondRecorder::takeSecond(const PanelSecond &panel, const kivDecoderStats &decoder)
{
    HistoryRow r;
    r.startMs = panel.startMs;
    r.frames = panel.frames;
    r.imageBytes = panel.imageBytes;
    r.transferBytes = panel.transferBytes;
    r.lost = lost_;
    r.incomplete = since(decoder.framesIncomplete, before_.framesIncomplete);
    r.dropped = since(decoder.framesDropped, before_.framesDropped);
    r.p50Us = latency_.percentile(0.50);
    r.p99Us = latency_.percentile(0.99);
    latency_.clear();
    lost_ = 0;
    before_ = decoder;
    return r;
}

void SecondRecorder::restart()
{
    latency_.clear();
    haveLast_ = false;
    lost_ = 0;
    before_ = {};
}

RunHistory::RunHistory(size_t keepSeconds) : keep_(std::max<size_t>(keepSeconds, 1)), runLatency_(size_t(1) << 16) {}

void RunHistory::start(const QJsonObject &settings, int64_t nowMs)
{
    settings_ = settings;
    startMs_ = nowMs;
    rows_.clear();
    totals_ = {};
    skipped_ = 0;
    second_.restart();
    runLatency_.clear();
}

void RunHistory::addFrame(const FrameStamp &f)
{
    if (second_.addFrame(f))
        runLatency_.add(f.receivedUs - f.sendUs);
    else
        ++skipped_;
}

const HistoryRow &RunHistory::closeSecond(const PanelSecond &panel, const kivDecoderStats &decoder)
{
    if (rows_.size() == keep_)
        rows_.pop_front();
    rows_.push_back(second_.takeSecond(panel, decoder));
    const HistoryRow &r = rows_.back();
    totals_.frames += r.frames;
    totals_.imageBytes += r.imageBytes;
    totals_.transferBytes += r.transferBytes;
    totals_.lost += r.lost;
    totals_.incomplete += r.incomplete;
    totals_.dropped += r.dropped;
    totals_.startMs = r.startMs + 1000; // the run's end so far
    return r;
}

QString RunHistory::csv() const
{
    QString text = csvHeader() + QLatin1Char('\n');
    for (const HistoryRow &r : rows_)
        text += csvRow(r) + QLatin1Char('\n');
    return text;
}

QJsonObject RunHistory::summary()
{
    QJsonValue latency(QJsonValue::Null);
    if (runLatency_.count() > 0)
        latency = QJsonObject{{QStringLiteral("p50"), qint64(*runLatency_.percentile(0.50))},
                              {QStringLiteral("p99"), qint64(*runLatency_.percentile(0.99))},
                              {QStringLiteral("max"), qint64(runLatency_.max())},
                              {QStringLiteral("frames"), u64(runLatency_.count())}};
    return {{QStringLiteral("settings"), settings_},
            {QStringLiteral("start"), utcText(startMs_)},
            {QStringLiteral("end"), utcText(std::max(startMs_, totals_.startMs))},
            {QStringLiteral("clock"), sameClock_ ? QStringLiteral("shared") : QStringLiteral("may differ")},
            {QStringLiteral("totals"),
             QJsonObject{{QStringLiteral("frames"), u64(totals_.frames)},
                         {QStringLiteral("image_bytes"), u64(totals_.imageBytes)},
                         {QStringLiteral("transfer_bytes"), u64(totals_.transferBytes)},
                         {QStringLiteral("frames_lost"), u64(totals_.lost)},
                         {QStringLiteral("frames_incomplete"), u64(totals_.incomplete)},
                         {QStringLiteral("frames_dropped"), u64(totals_.dropped)}}},
            {QStringLiteral("latency_us"), latency},
            {QStringLiteral("latency_frames_skipped"), u64(skipped_)}};
}

} // namespace kivtester
