#include "commands.hpp"

#include <QJsonArray>
#include <QJsonDocument>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pattern.hpp"
#include "stats.hpp"

namespace kivstream {

std::atomic<bool> &stopRequested() {
    static std::atomic<bool> flag{false};
    return flag;
}

namespace {

using SteadyClock = std::chrono::steady_clock;

struct EncoderDeleter {
    void operator()(kivEncoder *e) const { kivDeleteEncoder(e); }
};
struct DecoderDeleter {
    void operator()(kivDecoder *d) const { kivDeleteDecoder(d); }
};
using EncoderPtr = std::unique_ptr<kivEncoder, EncoderDeleter>;
using DecoderPtr = std::unique_ptr<kivDecoder, DecoderDeleter>;

void print(FILE *f, const QString &text) {
    const QByteArray b = text.toLocal8Bit();
    std::fwrite(b.constData(), 1, size_t(b.size()), f);
    std::fflush(f);
}
void out(const QString &text) { print(stdout, text); }
void err(const QString &text) { print(stderr, QStringLiteral("kivstream: ") + text + QLatin1Char('\n')); }

QString libraryError(int code) {
    const QString detail = QString::fromLocal8Bit(kivLastErrorDetail());
    const QString text = QString::fromLatin1(kivErrorString(code));
    return detail.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, detail);
}

QString notAvailable(const QString &transport, const char *role) {
    const QString detail = QString::fromLocal8Bit(kivLastErrorDetail());
    return QStringLiteral("cannot create a %1 %2: the %1 transport is not available in this build (%3)")
        .arg(transport, QLatin1String(role), detail.isEmpty() ? QStringLiteral("no detail") : detail);
}

int64_t wallUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
int64_t wallMs() { return wallUs() / 1000; }
double secondsSince(SteadyClock::time_point t) { return std::chrono::duration<double>(SteadyClock::now() - t).count(); }

// Sleeps until `t` in short slices so that Ctrl-C is seen at once.
void sleepUntil(SteadyClock::time_point t) {
    while (!stopRequested().load(std::memory_order_relaxed)) {
        const auto now = SteadyClock::now();
        if (now >= t) return;
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(t - now, std::chrono::milliseconds(50)));
    }
}

// Frame pacing: the next frame is due 1/fps after the previous one was due; a
// sender that fell far behind starts afresh instead of bursting to catch up.
class Pacer {
public:
    explicit Pacer(double fps) : period_(periodOf(fps)), next_(SteadyClock::now()) {}
    // Never sleeps past `deadline`: a slow rate must not outlast the time limit.
    void wait(SteadyClock::time_point deadline) {
        if (period_ == SteadyClock::duration::zero()) return;
        next_ += period_;
        const auto now = SteadyClock::now();
        if (next_ + std::chrono::seconds(1) < now) next_ = now;
        sleepUntil(std::min(next_, deadline));
    }

private:
    // Capped while still a double: 1/fps of a tiny rate would overflow the
    // clock's integer ticks, which is undefined behaviour.
    static SteadyClock::duration periodOf(double fps) {
        if (!(fps > 0)) return SteadyClock::duration::zero();
        return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(std::min(1.0 / fps, 3600.0)));
    }

    SteadyClock::duration period_;
    SteadyClock::time_point next_;
};

// A live status line on a terminal: redrawn at most four times a second.
class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled && isatty(STDERR_FILENO)) {}
    ~Progress() { clear(); }
    bool due() {
        if (!enabled_) return false;
        const auto now = SteadyClock::now();
        if (now < next_) return false;
        next_ = now + std::chrono::milliseconds(250);
        return true;
    }
    void show(const QString &line) {
        print(stderr, QStringLiteral("\r\033[K") + line);
        shown_ = true;
    }
    void clear() {
        if (shown_) print(stderr, QStringLiteral("\r\033[K"));
        shown_ = false;
    }

private:
    bool enabled_;
    bool shown_ = false;
    SteadyClock::time_point next_{};
};

bool limitReached(const Options &o, uint64_t frames, SteadyClock::time_point start) {
    if (o.frames) return frames >= *o.frames;
    if (o.seconds) return secondsSince(start) >= *o.seconds;
    return false;
}

// When --seconds ends a run that starts at `start`; far in the future without it.
SteadyClock::time_point deadlineOf(const Options &o, SteadyClock::time_point start) {
    if (!o.seconds) return SteadyClock::time_point::max();
    return start + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(*o.seconds));
}

// Produces the frames a sender sends: the tester's picture or the check pattern.
class FrameSource {
public:
    FrameSource(const Options &o) : jpeg_(o.jpegLevel.has_value()) {
        if (o.pattern == PatternKind::Picture) {
            picture_.emplace(o.format, o.seed);
        } else {
            pattern_.emplace(o.format, o.seed);
            buffer_.resize(pattern_->geometry().bytes);
        }
    }
    const uint8_t *frame(uint32_t n) {
        if (picture_) {
            picture_->drawLine();
            return picture_->bits();
        }
        if (jpeg_) pattern_->fillSmooth(n, buffer_.data());
        else pattern_->fillRaw(n, buffer_.data());
        return buffer_.data();
    }

private:
    bool jpeg_;
    std::optional<TestPicture> picture_;
    std::optional<CheckPattern> pattern_;
    std::vector<uint8_t> buffer_;
};

// Opens an encoder; on failure says why and returns nullptr.
EncoderPtr openEncoder(const Options &o, int stream, QString &why, bool &unsupported) {
    unsupported = false;
    EncoderPtr enc(kivGetEncoder(o.protocol, &o.format));
    if (!enc) {
        unsupported = true;
        why = notAvailable(o.transport, "sender");
        return nullptr;
    }
    int rc = kivSetDestAddress(enc.get(), o.address.toLocal8Bit().constData(), stream);
    if (rc != KIV_OK) {
        why = QStringLiteral("cannot send over %1 to %2 stream %3: %4").arg(o.transport, o.address).arg(stream).arg(libraryError(rc));
        return nullptr;
    }
    if (o.fec) rc = kivSetFecRedundancy(enc.get(), *o.fec);
    if (rc == KIV_OK && (o.impairment.lossPerMillion || o.impairment.duplicatePerMillion))
        rc = kivSetImpairment(enc.get(), &o.impairment);
    if (rc != KIV_OK) {
        why = QStringLiteral("cannot set loss protection or impairment: %1").arg(libraryError(rc));
        return nullptr;
    }
    rc = kivSetDestFormat(enc.get(), &o.format, o.jpegLevel ? 1 : 0, o.jpegLevel.value_or(0));
    if (rc != KIV_OK) {
        unsupported = rc == KIV_ERROR_UNSUPPORTED;
        why = QStringLiteral("cannot set the frame format: %1").arg(libraryError(rc));
        return nullptr;
    }
    return enc;
}

DecoderPtr openDecoder(const Options &o, int stream, int adaptive, QString &why, bool &unsupported) {
    unsupported = false;
    DecoderPtr dec(kivGetDecoder(o.protocol, nullptr));
    if (!dec) {
        unsupported = true;
        why = notAvailable(o.transport, "receiver");
        return nullptr;
    }
    kivSetAdaptiveBuffer(dec.get(), adaptive);
    const int rc = kivSetSourceAddress(dec.get(), stream);
    if (rc != KIV_OK) {
        why = QStringLiteral("cannot start the %1 receiver on stream %2: %3").arg(o.transport).arg(stream).arg(libraryError(rc));
        return nullptr;
    }
    return dec;
}

kivStreamFormat lockedFormat(kivDecoder *d) {
    return kivStreamFormat{kivGetRecvWidth(d), kivGetRecvHeight(d), kivGetRecvDepth(d), kivGetRecvOrientation(d)};
}

// Waits until the transport has handed on what was encoded, so that the last
// frames of a short run are not cut off by deleting the encoder.
void drainEncoder(kivEncoder *enc) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(1);
    kivEncoderStats s{};
    while (SteadyClock::now() < deadline && kivGetEncoderStats(enc, &s) == KIV_OK &&
           s.framesSent + s.framesDropped < s.framesEncoded)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace

// ---- send ------------------------------------------------------------------

int runSend(const Options &o) {
    QString why;
    bool unsupported = false;
    EncoderPtr enc = openEncoder(o, o.stream, why, unsupported);
    if (!enc) {
        err(why);
        return kExitCannotStart;
    }
    FrameSource source(o);
    Progress progress(true);
    Pacer pacer(o.fps);
    const auto start = SteadyClock::now();
    uint32_t n = 0;
    uint64_t calls = 0, failures = 0;
    int lastError = KIV_OK;
    QString lastErrorText;
    while (!stopRequested() && !limitReached(o, calls, start)) {
        const int rc = kivEncode(enc.get(), source.frame(n));
        ++n;
        ++calls;
        if (rc != KIV_OK) {
            ++failures;
            if (rc != lastError) err(QStringLiteral("frame %1 not sent: %2").arg(calls).arg(libraryError(rc)));
            lastError = rc;
        }
        if (progress.due()) {
            kivEncoderStats s{};
            kivGetEncoderStats(enc.get(), &s);
            progress.show(QStringLiteral("%1 s: encoded %2, sent %3, dropped %4")
                              .arg(secondsSince(start), 0, 'f', 1).arg(s.framesEncoded).arg(s.framesSent).arg(s.framesDropped));
        }
        pacer.wait(deadlineOf(o, start));
    }
    drainEncoder(enc.get());
    progress.clear();
    kivEncoderStats s{};
    kivGetEncoderStats(enc.get(), &s);
    const double secs = secondsSince(start);
    out(QStringLiteral("sent over %1 to %2 stream %3: %4 frames in %5 s (%6 fps); encoded %7, sent %8, dropped %9, "
                       "%10 bytes%11\n")
            .arg(o.transport, o.protocol == KIV_PROTOCOL_MEMORY ? QStringLiteral("local") : o.address)
            .arg(o.stream)
            .arg(calls)
            .arg(secs, 0, 'f', 2)
            .arg(secs > 0 ? double(calls) / secs : 0, 0, 'f', 1)
            .arg(s.framesEncoded)
            .arg(s.framesSent)
            .arg(s.framesDropped)
            .arg(s.bytesSent)
            .arg(failures ? QStringLiteral(", %1 failed").arg(failures) : QString()));
    return kExitOk;
}

// ---- receive ---------------------------------------------------------------

int runReceive(const Options &o) {
    QString why;
    bool unsupported = false;
    DecoderPtr dec = openDecoder(o, o.stream, 1, why, unsupported);
    if (!dec) {
        err(why);
        return kExitCannotStart;
    }
    const bool check = o.pattern == PatternKind::Check;
    FrameChecker checker(o.seed);
    PanelCounter panel(wallMs());
    LatencyRecorder secondLatency, totalLatency;
    const auto start = SteadyClock::now();
    uint64_t frames = 0, corrupt = 0, outOfOrder = 0, imageBytes = 0, transferBytes = 0;
    QString firstProblem;
    const auto counts = [&] {
        kivDecoderStats d{};
        kivGetDecoderStats(dec.get(), &d);
        ReceiverCounts c{d.framesDropped, d.framesMalformed, d.framesIncomplete, corrupt, std::nullopt};
        if (o.protocol == KIV_PROTOCOL_UDP) {
            kivLossStats l{};
            kivGetDecoderLossStats(dec.get(), &l);
            c.loss = l;
        }
        return c;
    };
    while (!stopRequested() && !limitReached(o, frames, start)) {
        if (const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec.get(), 50))) {
            const int64_t now = wallUs();
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec.get(), &info);
            const kivStreamFormat fmt = lockedFormat(dec.get());
            panel.addFrame(info.transferBytes, fmt);
            ++frames;
            imageBytes += info.imageBytes;
            transferBytes += info.transferBytes;
            if (o.latency) {
                secondLatency.add(now - info.sendTimeUs);
                totalLatency.add(now - info.sendTimeUs);
            }
            if (check) {
                // The receiver does not know the sender's level: hold JPEG to the loosest bound.
                const auto r = checker.check(p, fmt, info, 100);
                if (!r.ok) {
                    ++corrupt;
                    if (firstProblem.isEmpty()) firstProblem = r.problem;
                }
                if (r.outOfOrder) ++outOfOrder;
            }
            kivUnlockReadBuffer(dec.get());
        }
        if (auto second = panel.poll(wallMs())) {
            std::optional<Percentiles> lat;
            if (o.latency) lat = secondLatency.percentiles();
            secondLatency.clear();
            if (o.json)
                out(QString::fromUtf8(QJsonDocument(panelJson(*second, counts(), lat)).toJson(QJsonDocument::Compact)) +
                    QLatin1Char('\n'));
            else
                out(formatPanelLine(*second, counts(), lat) + QLatin1Char('\n'));
        }
    }
    const double secs = secondsSince(start);
    const ReceiverCounts c = counts();
    std::optional<Percentiles> lat;
    if (o.latency) lat = totalLatency.percentiles();
    if (o.json) {
        QJsonObject s{{QStringLiteral("summary"), true},
                      {QStringLiteral("transport"), o.transport},
                      {QStringLiteral("stream"), o.stream},
                      {QStringLiteral("frames_received"), qint64(frames)},
                      {QStringLiteral("seconds"), secs},
                      {QStringLiteral("fps"), secs > 0 ? double(frames) / secs : 0.0},
                      {QStringLiteral("image_bytes_per_s"), secs > 0 ? double(imageBytes) / secs : 0.0},
                      {QStringLiteral("transfer_bytes_per_s"), secs > 0 ? double(transferBytes) / secs : 0.0},
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
        out(QString::fromUtf8(QJsonDocument(s).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    } else {
        QString text = QStringLiteral("received over %1 stream %2: %3 frames in %4 s (%5 fps); dropped %6, malformed %7, "
                                      "incomplete %8")
                           .arg(o.transport)
                           .arg(o.stream)
                           .arg(frames)
                           .arg(secs, 0, 'f', 2)
                           .arg(secs > 0 ? double(frames) / secs : 0, 0, 'f', 1)
                           .arg(c.dropped)
                           .arg(c.malformed)
                           .arg(c.incomplete);
        if (check) text += QStringLiteral(", corrupt %1, out of order %2").arg(corrupt).arg(outOfOrder);
        if (c.loss)
            text += QStringLiteral("; datagrams lost %1, recovered %2; frames rebuilt %3")
                        .arg(c.loss->datagramsLost)
                        .arg(c.loss->datagramsRecovered)
                        .arg(c.loss->framesRebuilt);
        if (lat) text += QStringLiteral("; latency p50 %1 us, p99 %2 us, max %3 us").arg(lat->p50).arg(lat->p99).arg(lat->max);
        out(text + QLatin1Char('\n'));
        if (!firstProblem.isEmpty()) out(QStringLiteral("first bad frame: %1\n").arg(firstProblem));
    }
    return check && corrupt > 0 ? kExitCheckFailed : kExitOk;
}

// ---- bench -----------------------------------------------------------------

namespace {

// The receiving half of a bench: its own thread, waiting in kivLockReadBuffer.
class BenchReceiver {
public:
    BenchReceiver(kivDecoder *dec, uint32_t seed, int jpegLevel, const std::atomic<uint32_t> &framesMade)
        : dec_(dec), checker_(seed), jpegLevel_(jpegLevel), framesMade_(framesMade),
          thread_([this](std::stop_token stop) { loop(stop); }) {}

    ~BenchReceiver() { stop(); }
    void stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }

    // Frames made from picture `first` on count towards the figures; late
    // warm-up frames are still checked but not counted.
    void startMeasuring(uint32_t first) {
        first_.store(first);
        measuring_.store(true);
    }

    std::atomic<uint64_t> received{0};         // all frames, warm-up included
    std::atomic<uint64_t> measuredFrames{0};
    std::atomic<uint64_t> corrupt{0};
    std::atomic<int64_t> lastFrameSteadyNs{0};

    // Read after stop().
    uint64_t outOfOrder = 0, imageBytes = 0, transferBytes = 0;
    LatencyRecorder latency;
    std::optional<double> lowestPsnr;
    QString firstProblem;

private:
    void loop(std::stop_token stop) {
        while (!stop.stop_requested()) {
            const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec_, 50));
            if (!p) continue;
            const int64_t now = wallUs();
            kivFrameInfo info{};
            kivGetRecvFrameInfo(dec_, &info);
            const kivStreamFormat fmt = lockedFormat(dec_);
            auto r = checker_.check(p, fmt, info, jpegLevel_);
            kivUnlockReadBuffer(dec_);
            // A picture number that was never made is as wrong as a bad byte.
            if (r.ok && r.number >= framesMade_.load()) {
                r.ok = false;
                r.problem = QStringLiteral("frame stamped %1 carries picture %2, which was never sent")
                                .arg(info.frameNumber).arg(r.number);
            }
            if (!r.ok) {
                if (firstProblem.isEmpty()) firstProblem = r.problem;
                ++corrupt;
            }
            if (r.psnr && (!lowestPsnr || *r.psnr < *lowestPsnr)) lowestPsnr = r.psnr;
            ++received;
            lastFrameSteadyNs = SteadyClock::now().time_since_epoch().count();
            if (!measuring_.load() || int32_t(r.number - first_.load()) < 0) continue;
            if (r.outOfOrder) ++outOfOrder;
            ++measuredFrames;
            imageBytes += info.imageBytes;
            transferBytes += info.transferBytes;
            latency.add(now - info.sendTimeUs);
        }
    }

    kivDecoder *dec_;
    FrameChecker checker_;
    int jpegLevel_;
    const std::atomic<uint32_t> &framesMade_;
    std::atomic<bool> measuring_{false};
    std::atomic<uint32_t> first_{0};
    std::jthread thread_;
};

struct BenchRun {
    int status = kExitOk; // kExitCannotStart when the transport did not come up
    bool unsupported = false;
    QString error;
    BenchResult result;
};

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// With several receivers, each percentile is that of the slowest one.
std::optional<Percentiles> mergedLatency(const std::vector<std::unique_ptr<BenchReceiver>> &receivers) {
    std::optional<Percentiles> worst;
    for (const auto &rcv : receivers)
        if (const auto p = rcv->latency.percentiles()) {
            if (!worst) worst = Percentiles{};
            worst->p50 = std::max(worst->p50, p->p50);
            worst->p99 = std::max(worst->p99, p->p99);
            worst->max = std::max(worst->max, p->max);
        }
    return worst;
}

BenchRun benchOnce(const Options &o, bool showProgress) {
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
    std::vector<std::unique_ptr<BenchReceiver>> receivers;
    for (const DecoderPtr &dec : decs)
        receivers.push_back(std::make_unique<BenchReceiver>(dec.get(), o.seed, o.jpegLevel.value_or(100), made));
    const auto sum = [&](auto field) {
        uint64_t n = 0;
        for (const auto &rcv : receivers) n += field(*rcv);
        return n;
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
            total.framesDropped += s.framesDropped;
            total.framesMalformed += s.framesMalformed;
            total.framesIncomplete += s.framesIncomplete;
        }
        return total;
    };
    Progress progress(showProgress);

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
        if (progress.due())
            progress.show(QStringLiteral("%1 %2x%3: %4 s, sent %5, received %6, corrupt %7")
                              .arg(o.transport)
                              .arg(o.format.width)
                              .arg(o.format.height)
                              .arg(secondsSince(start), 0, 'f', 1)
                              .arg(sent)
                              .arg(sum([](const BenchReceiver &x) { return x.measuredFrames.load(); }))
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
    for (const auto &rcv : receivers) rcv->stop();
    const auto lastFrame = SteadyClock::time_point(SteadyClock::duration(lastFrameNs()));
    // Up to the last frame, not the drain's idle wait, which costs nothing.
    r.cpuSeconds = processCpuSeconds() - cpu0;
    progress.clear();

    kivGetEncoderStats(enc.get(), &e1);
    const kivDecoderStats d1 = decoderStats();
    r.seconds = std::chrono::duration<double>(std::max(sendEnd, lastFrame) - start).count();
    r.framesSent = e1.framesSent - e0.framesSent;
    r.framesReceived = sum([](const BenchReceiver &x) { return x.measuredFrames.load(); });
    const uint64_t recvDropped = (d1.framesDropped - d0.framesDropped) + (d1.framesIncomplete - d0.framesIncomplete);
    r.framesDropped = (e1.framesDropped - e0.framesDropped) + recvDropped;
    r.framesMalformed = d1.framesMalformed - d0.framesMalformed;
    r.framesCorrupt = sum([](const BenchReceiver &x) { return x.corrupt.load(); });
    const uint64_t accounted = r.framesReceived + recvDropped, expected = r.framesSent * uint64_t(o.receivers);
    r.framesLost = expected > accounted ? expected - accounted : 0;
    LatencyRecorder latency;
    QString firstProblem;
    for (const auto &rcv : receivers) {
        r.framesOutOfOrder += rcv->outOfOrder;
        r.imageBytes += rcv->imageBytes;
        r.transferBytes += rcv->transferBytes;
        if (rcv->lowestPsnr && (!r.lowestPsnr || *rcv->lowestPsnr < *r.lowestPsnr)) r.lowestPsnr = rcv->lowestPsnr;
        if (firstProblem.isEmpty()) firstProblem = rcv->firstProblem;
    }
    r.latency = receivers.size() == 1 ? receivers.front()->latency.percentiles() : mergedLatency(receivers);
    if (o.protocol == KIV_PROTOCOL_UDP) {
        kivLossStats total{};
        for (const DecoderPtr &dec : decs) {
            kivLossStats l{};
            kivGetDecoderLossStats(dec.get(), &l);
            total.datagramsLost += l.datagramsLost;
            total.datagramsRecovered += l.datagramsRecovered;
            total.framesRebuilt += l.framesRebuilt;
        }
        r.loss = total;
    }
    if (r.framesCorrupt > 0)
        r.failure = QStringLiteral("%1 corrupt frames, first: %2").arg(r.framesCorrupt).arg(firstProblem);
    else if (r.framesReceived == 0 && !r.interrupted)
        r.failure = QStringLiteral("no frames received");
    return run;
}

struct BenchPlan {
    QString transport;
    uint16_t width, height;
    std::optional<int> jpegLevel;
    int receivers = 1;
};

// Runs each planned bench in turn and prints them as one table (or JSON).
int benchRows(const Options &base, const std::vector<BenchPlan> &plans) {
    std::vector<BenchResult> rows;
    int status = kExitOk;
    int index = 0;
    for (const BenchPlan &plan : plans) {
        if (stopRequested()) break;
        Options o = base;
        o.transport = plan.transport;
        o.protocol = protocolForName(plan.transport);
        if (o.protocol == KIV_PROTOCOL_TCP) o.address = QStringLiteral("127.0.0.1"); // --address is for the udp group
        o.format.width = plan.width;
        o.format.height = plan.height;
        o.jpegLevel = plan.jpegLevel;
        o.receivers = plan.receivers;
        o.stream = kBenchStreamBase + 100 + index++;
        if (!o.frames && !o.seconds) o.seconds = 2;
        if (!base.json && isatty(STDERR_FILENO))
            print(stderr, QStringLiteral("%1 %2x%3 %4 x%5...\n").arg(plan.transport).arg(plan.width).arg(plan.height)
                              .arg(plan.jpegLevel ? QStringLiteral("jpeg %1").arg(*plan.jpegLevel) : QStringLiteral("raw"))
                              .arg(plan.receivers));
        BenchRun run = benchOnce(o, !base.json);
        if (run.status != kExitOk) {
            if (run.unsupported) {
                run.result.skipped = QStringLiteral("not in this build");
            } else {
                run.result.failure = run.error;
                status = std::max(status, kExitCannotStart);
            }
        } else if (!run.result.passed()) {
            status = kExitCheckFailed;
        }
        rows.push_back(run.result);
    }
    if (base.json) {
        QJsonArray runs;
        for (const BenchResult &r : rows) runs.append(benchJson(r));
        out(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("runs"), runs}}).toJson(QJsonDocument::Compact)) +
            QLatin1Char('\n'));
    } else {
        out(benchTable(rows));
    }
    return status;
}

QStringList benchTransports(const Options &base) {
    return base.transportGiven ? QStringList{base.transport}
                               : QStringList{QStringLiteral("memory"), QStringLiteral("tcp"), QStringLiteral("udp")};
}

struct Size {
    uint16_t w, h;
};
const std::optional<int> kBenchCodecs[] = {std::nullopt, 50};

int benchAll(const Options &base) {
    const Size sizes[] = {{320, 240}, {1280, 720}, {1920, 1080}, {3840, 2160}};
    std::vector<BenchPlan> plans;
    for (const QString &t : benchTransports(base))
        for (const Size &s : sizes)
            for (const auto &level : kBenchCodecs) plans.push_back({t, s.w, s.h, level});
    return benchRows(base, plans);
}

// Cost per frame against frame size, then against the number of receivers of
// one stream where a stream can have several: memory, and udp to a multicast group.
int benchScaling(const Options &base) {
    const Size sizes[] = {{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}, {3840, 2160}};
    std::vector<BenchPlan> plans;
    const QStringList transports = benchTransports(base);
    for (const QString &t : transports)
        for (const Size &s : sizes)
            for (const auto &level : kBenchCodecs) plans.push_back({t, s.w, s.h, level});
    const bool multicast = base.address.section(QLatin1Char('.'), 0, 0).toInt() / 16 == 14; // 224.0.0.0/4
    for (const QString &t : transports) {
        if (t == QLatin1String("tcp") || (t == QLatin1String("udp") && !multicast)) continue;
        for (int n : {1, 2, 4, 8})
            for (const auto &level : kBenchCodecs) plans.push_back({t, 1280, 720, level, n});
    }
    if (!multicast && transports.contains(QStringLiteral("udp")))
        err(QStringLiteral("udp against receivers needs --address with a multicast group; left out"));
    return benchRows(base, plans);
}

} // namespace

int runBench(const Options &o) {
    if (o.all) return benchAll(o);
    if (o.scaling) return benchScaling(o);
    Options run = o;
    if (!run.frames && !run.seconds) run.seconds = 5;
    BenchRun b = benchOnce(run, !run.json);
    if (b.status != kExitOk) {
        err(b.error);
        return b.status;
    }
    if (run.json)
        out(QString::fromUtf8(QJsonDocument(benchJson(b.result)).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    else
        out(benchSummary(b.result));
    return b.result.passed() ? kExitOk : kExitCheckFailed;
}

} // namespace kivstream
