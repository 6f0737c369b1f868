// SPDX-License-Identifier: MIT
// probe: sweeps frame sizes, depths, compression and transports against one or
// more serve ends and finds, for each, the highest frame rate at which at
// least 99% of the frames arrive intact within a latency bound.
#include "probe.hpp"

#include <QTcpSocket>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <tuple>

#include "commands.hpp"
#include "probe_cells.hpp"
#include "common.hpp"
#include "stats.hpp"

namespace kivstream {
namespace {

using namespace probe;

// Bytes on the wire per byte of frame, headers included (Ethernet, IP and
// TCP with timestamps; UDP with our 72 bytes and the default 10% parity).
constexpr double kTcpWireFactor = 1514.0 / 1448.0;
constexpr double kUdpWireFactor = 1.10 * 1514.0 / 1400.0;
// Latency that grows by more than this share of the frame interval with each
// frame: the link carries less than about 95% of the rate.
constexpr double kRisingShare = 0.05;

// One control connection, used from the probe's own thread: every call waits
// for its answer with a timeout.
class ControlClient {
public:
    explicit ControlClient(QString hostPort) : name_(std::move(hostPort)) {}

    bool open(int defaultPort, QString &why) {
        QString host = name_;
        int port = defaultPort;
        if (const qsizetype colon = name_.lastIndexOf(':'); colon > 0 && !name_.endsWith(']') && name_.count(':') == 1) {
            bool ok = false;
            port = name_.mid(colon + 1).toInt(&ok);
            host = name_.left(colon);
            if (!ok || port < 1 || port > 65535) {
                why = QStringLiteral("'%1': the port must be 1..65535").arg(name_);
                return false;
            }
        }
        socket_.connectToHost(host, quint16(port));
        if (!socket_.waitForConnected(5000)) {
            why = QStringLiteral("cannot reach a serve end at %1 port %2: %3").arg(host).arg(port).arg(socket_.errorString());
            return false;
        }
        socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const auto hello = call(Hello{kProtocolVersion}, why);
        if (!hello) return false;
        const auto *h = std::get_if<HelloReply>(&*hello);
        if (!h) {
            why = QStringLiteral("%1 did not greet us: %2").arg(name_, describe(*hello));
            return false;
        }
        limits_ = h->limits;
        return true;
    }

    std::optional<Reply> call(const Request &r, QString &why, int timeoutMs = 10000) {
        socket_.write(encode(r));
        socket_.flush();
        return next(why, timeoutMs);
    }

    std::optional<Reply> next(QString &why, int timeoutMs) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (const auto line = reader_.next()) {
                const auto reply = parseReply(*line, why);
                if (!reply) why = QStringLiteral("%1 sent a bad reply: %2").arg(name_, why);
                return reply;
            }
            if (reader_.overlong()) {
                why = QStringLiteral("%1 sent a reply longer than %2 bytes").arg(name_).arg(kMaxReplyLine);
                return std::nullopt;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
            if (left <= 0 || stopRequested().load()) {
                why = QStringLiteral("%1 did not answer within %2 ms").arg(name_).arg(timeoutMs);
                return std::nullopt;
            }
            if (socket_.state() != QAbstractSocket::ConnectedState && socket_.bytesAvailable() == 0) {
                why = QStringLiteral("%1 closed the control connection").arg(name_);
                lost_ = true;
                return std::nullopt;
            }
            if (socket_.waitForReadyRead(int(std::min<int64_t>(left, 100)))) reader_.append(socket_.readAll());
        }
    }

    static QString describe(const Reply &r) {
        if (const auto *e = std::get_if<ErrorReply>(&r)) return e->message;
        return QStringLiteral("an unexpected reply");
    }

    const QString &name() const { return name_; }
    QString peerAddress() const { return socket_.peerAddress().toString(); }
    const ServeLimits &limits() const { return limits_; }
    bool lost() const { return lost_; }

    // The serve end's clock minus ours, from the round trips with the least
    // delay: their median, and how far it can be off.
    struct Clock {
        double offsetUs = 0, uncertaintyUs = 0, rttUs = 0;
    };
    std::optional<Clock> measureClock(QString &why) {
        struct Sample {
            double rtt, offset;
        };
        std::vector<Sample> samples;
        for (int i = 0; i < 24; ++i) {
            const int64_t t1 = wallUs();
            const auto reply = call(TimeRequest{t1}, why, 3000);
            const int64_t t4 = wallUs();
            const auto *t = reply ? std::get_if<TimeReply>(&*reply) : nullptr;
            if (!t || t->t1 != t1) {
                if (why.isEmpty()) why = QStringLiteral("%1 answered a clock request wrongly").arg(name_);
                return std::nullopt;
            }
            samples.push_back({double((t4 - t1) - (t->t3 - t->t2)), ((t->t2 - t1) + (t->t3 - t4)) / 2.0});
        }
        std::sort(samples.begin(), samples.end(), [](const Sample &a, const Sample &b) { return a.rtt < b.rtt; });
        samples.resize(samples.size() / 4);
        std::vector<double> offsets;
        for (const Sample &s : samples) offsets.push_back(s.offset);
        std::sort(offsets.begin(), offsets.end());
        Clock c;
        c.rttUs = samples.front().rtt;
        c.offsetUs = offsets[offsets.size() / 2];
        // Half the shortest round trip bounds an asymmetric path; the spread of the best samples adds to it.
        c.uncertaintyUs = c.rttUs / 2 + (offsets.back() - offsets.front()) / 2;
        return c;
    }

private:
    QString name_;
    QTcpSocket socket_;
    LineReader reader_{kMaxReplyLine};
    ServeLimits limits_;
    bool lost_ = false;
};

struct Host {
    std::unique_ptr<ControlClient> control;
    ControlClient::Clock clock;
    std::map<uint32_t, FrameRecord> frames; // this cell's, by picture number
    ReceiverCounters counters;
};

// Least-squares slope of y against x; 0 for fewer than two points.
double slope(const std::vector<double> &x, const std::vector<double> &y) {
    const double n = double(x.size());
    if (x.size() < 2) return 0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i) sx += x[i], sy += y[i], sxx += x[i] * x[i], sxy += x[i] * y[i];
    const double d = n * sxx - sx * sx;
    return d > 0 ? (n * sxy - sx * sy) / d : 0;
}

// Five frames to a run (four when slow, the fewest that show a rising queue), half a second at least.
double runSeconds(double fps) { return std::max(0.5, (fps < 2 ? 4.0 : 5.0) / fps); }

// Long enough for the sender's rhythm to settle after a pause or a new rate.
double leadInSeconds(double fps) { return std::min(1.0, std::max(0.1, 2 / fps)); }

// One cell: a stream to every host, run at rates the search picks.
class CellProbe {
public:
    CellProbe(std::vector<Host> &hosts, const ProbeSettings &s, CellResult &result, int id, int stream)
        : hosts_(hosts), settings_(s), result_(result), id_(id), stream_(stream) {}
    ~CellProbe() { stop(); }

    bool start(double seconds, QString &why) {
        CellSpec spec;
        spec.id = id_;
        spec.transport = result_.transport;
        spec.stream = stream_;
        spec.group = result_.multicast ? settings_.group : QString();
        spec.width = result_.size.width;
        spec.height = result_.size.height;
        spec.depth = result_.depth;
        spec.jpeg = result_.jpeg;
        spec.seed = settings_.seed;
        spec.seconds = seconds;
        Options o;
        o.transport = transportName(result_.transport);
        if (settings_.reverse) {
            bool unsupported = false;
            DecoderPtr dec = openDecoder(o, stream_, 0, why, unsupported);
            if (!dec) return false;
            local_ = std::make_unique<CellReceiver>(spec, ServeLimits{}, std::move(dec));
        }
        for (Host &h : hosts_) {
            h.frames.clear();
            const auto reply = settings_.reverse ? h.control->call(SendStream{spec}, why) : h.control->call(Start{spec}, why);
            if (!reply) return false;
            if (!std::holds_alternative<Started>(*reply)) {
                why = QStringLiteral("%1: %2").arg(h.control->name(), ControlClient::describe(*reply));
                return false;
            }
            ++started_;
        }
        if (settings_.reverse) return true;
        o.address = result_.multicast ? settings_.group : hosts_.front().control->peerAddress();
        o.format = {uint16_t(result_.size.width), uint16_t(result_.size.height), uint16_t(depthCodeForBits(result_.depth)), KIV_ORIENTATION_TOP_DOWN};
        if (result_.jpeg >= 0) o.jpegLevel = result_.jpeg;
        o.pattern = PatternKind::Check;
        o.seed = settings_.seed;
        bool unsupported = false;
        encoder_ = openEncoder(o, stream_, why, unsupported);
        if (!encoder_) return false;
        source_.emplace(o);
        return true;
    }

    // Frames at a slow rate until every host has one: connections and joins take a moment.
    // `fps` should be one the link carries: a UDP frame sent faster is lost whole.
    bool warmUp(double fps, QString &why) {
        const double seconds = std::max(4.0, 2.5 / fps);
        const auto deadline = SteadyClock::now() + std::chrono::microseconds(int64_t(seconds * 1e6));
        const auto period = std::chrono::microseconds(int64_t(1e6 / fps));
        auto due = SteadyClock::now();
        if (settings_.reverse && !setRemoteRate(fps, why)) return false;
        while (SteadyClock::now() < deadline && !stopRequested().load()) {
            if (!settings_.reverse && SteadyClock::now() >= due) {
                send();
                due += period;
            }
            // Asked often, not once a frame: at a slow rate the first frame is there long before the next is due.
            sleepUntil(std::min({due, deadline, SteadyClock::now() + std::chrono::milliseconds(100)}));
            if (!collect(why)) return false;
            if (std::all_of(hosts_.begin(), hosts_.end(), [](const Host &h) { return !h.frames.empty(); })) {
                if (settings_.reverse && !setRemoteRate(0, why)) return false;
                double bytes = 0, n = 0;
                for (const auto &[number, f] : hosts_.front().frames) bytes += f.bytes, ++n;
                result_.bytesPerFrame = bytes / n;
                result_.wireBitsPerFrame = 8 * result_.bytesPerFrame * (result_.transport == Transport::Tcp ? kTcpWireFactor : kUdpWireFactor);
                return true;
            }
        }
        why = QStringLiteral("no frame arrived within %1 s at %2 fps").arg(seconds, 0, 'f', 0).arg(fps, 0, 'g', 2);
        return false;
    }

    RunResult run(double fps, double seconds, double boundMs, QString &why) {
        RunResult r;
        r.fps = fps;
        Pacer pacer(fps);
        // A few frames at the new rate first, uncounted: a UDP sender paces by
        // the rhythm it has seen, and a rate that just changed is not yet one.
        uint64_t dropped0 = 0, dropped1 = 0;
        if (!stream(fps, leadInSeconds(fps), pacer, dropped0, why)) return r;
        const uint32_t first = next_;
        std::vector<ReceiverCounters> c0;
        for (const Host &h : hosts_) c0.push_back(h.counters);
        if (!stream(fps, seconds, pacer, dropped1, why)) return r;
        const uint32_t end = next_; // the run's frames are [first, end)
        r.sent = end - first;
        // What comes later than the bound is late whatever it is. A stream the
        // serve end sends goes on meanwhile, uncounted: pausing it would upset
        // its sender's rhythm.
        uint64_t ignored = 0;
        if (settings_.reverse) {
            if (!stream(fps, (boundMs + 20) / 1000.0, pacer, ignored, why)) return r;
        } else {
            sleepUntil(SteadyClock::now() + std::chrono::milliseconds(int64_t(boundMs) + 20));
        }
        if (!collect(why)) return r;
        const uint32_t unsent = uint32_t(dropped1 - dropped0);

        const uint32_t need = r.sent - r.sent / 100; // 99%, rounded in the link's favour
        r.passed = r.sent > 0;
        r.intact = r.sent;
        // The worst host: one that failed before one that passed, then fewer
        // frames intact, more datagrams lost, a higher p99.
        std::tuple<bool, uint32_t, int64_t, double> worst{true, UINT32_MAX, 0, 0};
        for (size_t i = 0; i < hosts_.size(); ++i) {
            const Host &h = hosts_[i];
            std::vector<double> latencies, numbers;
            LatencyRecorder recorded;
            uint32_t intact = 0;
            for (auto it = h.frames.lower_bound(first); it != h.frames.end() && it->first < end; ++it) {
                if (!it->second.intact) continue;
                // The serve end's clock minus ours: its arrivals (or, reversed, its stamps) are moved to ours.
                const double ms = (double(it->second.arrivedUs - it->second.sentUs) + (settings_.reverse ? 1 : -1) * h.clock.offsetUs) / 1000.0;
                if (ms > boundMs) continue;
                ++intact;
                latencies.push_back(ms);
                recorded.add(std::llround(ms * 1000));
                numbers.push_back(double(it->first));
            }
            const auto percentiles = recorded.percentiles();
            const double p99 = percentiles ? double(percentiles->p99) / 1000 : 0;
            // A queue that grows frame by frame: the link falls behind the
            // rate, and a longer run would lose frames to the bound.
            const double rising = slope(numbers, latencies);
            const bool falling = intact >= 4 && rising > kRisingShare * 1000.0 / fps;
            const bool ok = intact >= need && p99 <= boundMs && !falling;
            const int64_t lost = int64_t(h.counters.datagramsLost - c0[i].datagramsLost);
            const std::tuple<bool, uint32_t, int64_t, double> rank{ok, intact, -lost, -p99};
            if (rank < worst) {
                worst = rank;
                r.worstHost = h.control->name();
                if (falling && intact >= need) r.why = QStringLiteral("latency rising %1 ms a frame: the link falls behind").arg(rising, 0, 'f', 1);
                else if (!ok) r.why = reasonFor(h, c0[i], r.sent, intact, unsent);
                else if (lost > 0)
                    r.why = QStringLiteral("loss: %1 datagrams lost, %2 recovered").arg(lost).arg(h.counters.datagramsRecovered - c0[i].datagramsRecovered);
                else r.why = QStringLiteral("latency: p99 %1 ms").arg(p99, 0, 'f', 1);
            }
            r.intact = std::min(r.intact, intact);
            r.p50Ms = std::max(r.p50Ms, percentiles ? double(percentiles->p50) / 1000 : 0);
            r.p99Ms = std::max(r.p99Ms, p99);
            r.passed = r.passed && ok;
        }
        // One host has no worse one to name.
        if (hosts_.size() == 1 && r.passed) r.worstHost.clear(), r.why.clear();
        return r;
    }

    // After an overload, frames still queued would count against the next run:
    // the stream pauses until they are through.
    void settle() {
        QString why;
        if (settings_.reverse && !setRemoteRate(0, why)) return;
        size_t seen = 0;
        for (int quiet = 0, i = 0; quiet < 3 && i < 30 && !stopRequested().load(); ++i) {
            sleepUntil(SteadyClock::now() + std::chrono::milliseconds(100));
            if (!collect(why)) return;
            size_t now = 0;
            for (const Host &h : hosts_) now += h.frames.size();
            quiet = now == seen ? quiet + 1 : 0;
            seen = now;
        }
    }

    // Bytes per second that arrived at the first host between `from` and the
    // newest frame, by the serve end's own clock.
    double arrivalRate(uint32_t from) const {
        const auto &frames = hosts_.front().frames;
        int64_t t0 = INT64_MAX, t1 = 0;
        double bytes = 0;
        for (auto it = frames.lower_bound(from); it != frames.end(); ++it) {
            if (it->second.arrivedUs < t0) t0 = it->second.arrivedUs;
            else bytes += it->second.bytes; // the first frame opens the interval
            t1 = std::max(t1, it->second.arrivedUs);
        }
        return t1 > t0 ? bytes * 1e6 / double(t1 - t0) : 0;
    }

    uint32_t nextNumber() const { return next_; }

    // As fast as it goes for a moment (over TCP, which delivers what fits).
    bool flood(double seconds, QString &why) {
        if (settings_.reverse) {
            const double frameBytes = double(result_.size.width) * result_.size.height * result_.depth / 8;
            const ServeLimits &l = hosts_.front().control->limits();
            if (!setRemoteRate(std::min({500.0, l.maxFps, l.maxSendBytesPerSecond / frameBytes}), why)) return false;
            sleepUntil(SteadyClock::now() + std::chrono::microseconds(int64_t(seconds * 1e6)));
            return setRemoteRate(0, why);
        }
        const auto end = SteadyClock::now() + std::chrono::microseconds(int64_t(seconds * 1e6));
        while (SteadyClock::now() < end && !stopRequested().load()) {
            send();
            sleepUntil(SteadyClock::now() + std::chrono::milliseconds(2));
        }
        return true;
    }
    void send() { kivEncode(encoder_.get(), source_->frame(next_++)); }

    void stop() {
        encoder_.reset();
        QString why;
        for (int i = 0; i < started_; ++i) {
            if (const auto reply = hosts_[size_t(i)].control->call(Stop{id_}, why)) absorb(hosts_[size_t(i)], *reply);
        }
        started_ = 0;
        local_.reset();
    }

private:
    // Frames at `fps` for `seconds`: sent here, or by the serve end when reversed.
    // `dropped`: the sender's frames dropped so far, at the end.
    bool stream(double fps, double seconds, Pacer &pacer, uint64_t &dropped, QString &why) {
        const auto end = SteadyClock::now() + std::chrono::microseconds(int64_t(seconds * 1e6));
        if (settings_.reverse) {
            if (!setRemoteRate(fps, why)) return false;
            const uint32_t started = next_;
            sleepUntil(end);
            // The mark taken now says where the frames of this stretch end.
            if (!setRemoteRate(fps, why, &dropped)) return false;
            if (int32_t(next_ - started) < 0) next_ = started;
            return true;
        }
        while (SteadyClock::now() < end && !stopRequested().load()) {
            send();
            pacer.wait(end);
        }
        kivEncoderStats e{};
        kivGetEncoderStats(encoder_.get(), &e);
        dropped = e.framesDropped;
        return true;
    }

    // Sets the rate of the stream a serve end sends; next_ follows its mark.
    bool setRemoteRate(double fps, QString &why, uint64_t *dropped = nullptr) {
        Host &h = hosts_.front();
        const auto reply = h.control->call(Rate{id_, fps}, why);
        if (!reply) return false;
        const auto *mark = std::get_if<Mark>(&*reply);
        if (!mark) {
            why = QStringLiteral("%1: %2").arg(h.control->name(), ControlClient::describe(*reply));
            return false;
        }
        next_ = mark->next;
        if (dropped) *dropped = mark->dropped;
        return true;
    }

    bool collect(QString &why) {
        if (local_) {
            absorb(hosts_.front(), Reply{local_->take(false)});
            return true;
        }
        for (Host &h : hosts_) {
            const auto reply = h.control->call(Collect{id_}, why);
            if (!reply) return false;
            if (!absorb(h, *reply)) {
                why = QStringLiteral("%1: %2").arg(h.control->name(), ControlClient::describe(*reply));
                return false;
            }
        }
        return true;
    }

    static bool absorb(Host &h, const Reply &reply) {
        const auto *records = std::get_if<Records>(&reply);
        if (!records) return false;
        for (const FrameRecord &f : records->frames) {
            auto [it, fresh] = h.frames.emplace(f.number, f);
            if (!fresh && f.intact && !it->second.intact) it->second = f;
        }
        h.counters = records->counters;
        return true;
    }

    QString reasonFor(const Host &h, const ReceiverCounters &before, uint32_t sent, uint32_t intact, uint32_t unsent) const {
        if (intact >= sent - sent / 100) return QStringLiteral("latency");
        QStringList parts;
        if (unsent) parts << QStringLiteral("rate: the sender could not send %1 of %2 frames in time").arg(unsent).arg(sent);
        const uint64_t incomplete = h.counters.framesIncomplete - before.framesIncomplete;
        const uint64_t lost = h.counters.datagramsLost - before.datagramsLost;
        if (incomplete || lost)
            parts << QStringLiteral("loss: %1 frames incomplete, %2 datagrams lost, %3 recovered")
                         .arg(incomplete).arg(lost).arg(h.counters.datagramsRecovered - before.datagramsRecovered);
        if (parts.isEmpty()) parts << QStringLiteral("%1 of %2 frames intact in time").arg(intact).arg(sent);
        return parts.join(QStringLiteral("; "));
    }

    std::vector<Host> &hosts_;
    const ProbeSettings &settings_;
    CellResult &result_;
    int id_, stream_;
    int started_ = 0;
    EncoderPtr encoder_;
    std::optional<FrameSource> source_;
    std::unique_ptr<CellReceiver> local_; // reversed: what the serve end sends us
    uint32_t next_ = 0;
};

double boundFor(const ProbeSettings &s, double fps) {
    return s.latencyBoundMs > 0 ? s.latencyBoundMs : std::max(250.0, 2000.0 / fps);
}

// Ramps the rate up from `start` until a run fails, then halves the gap
// between the best pass and the lowest fail while the time lasts.
// Without a link estimate to start near, the ramp takes bigger steps.
void search(CellProbe &probe, CellResult &cell, const ProbeSettings &s, double startFps, double rampFactor,
            SteadyClock::time_point end, const std::function<void(double)> &progress) {
    QString why;
    double pass = 0, fail = 0;
    double fps = std::clamp(startFps, 0.25, s.maxFps);
    const auto secondsLeft = [&] { return std::chrono::duration<double>(end - SteadyClock::now()).count(); };
    while (!stopRequested().load()) {
        const double bound = boundFor(s, fps);
        const double length = runSeconds(fps);
        if (secondsLeft() < length + leadInSeconds(fps) + bound / 1000.0) break;
        progress(fps);
        const RunResult r = probe.run(fps, length, bound, why);
        if (!why.isEmpty()) {
            cell.error = why;
            return;
        }
        cell.runs.push_back(r);
        if (r.passed) {
            pass = fps;
            cell.best = r;
        } else {
            fail = fps;
            probe.settle();
        }
        if (pass >= s.maxFps) {
            cell.atCeiling = true;
            return;
        }
        if (fail == 0) fps = std::min(s.maxFps, fps * rampFactor);
        else if (pass == 0) fps = fps / 1.6;
        else if (fail / pass > 1.1) fps = std::sqrt(pass * fail);
        else return;
        if (fps < 0.25) return;
    }
}

QString sizeName(const ProbeSize &s, int depth) { return QStringLiteral("%1x%2x%3").arg(s.width).arg(s.height).arg(depth); }

} // namespace

QString CellResult::label() const {
    return QStringLiteral("%1 %2, %3").arg(sizeName(size, depth),
                                           jpeg < 0 ? QStringLiteral("raw") : QStringLiteral("JPEG level %1").arg(jpeg),
                                           multicast ? QStringLiteral("UDP multicast") : transportName(transport).toUpper());
}

QString CellResult::answer(double linkMbit) const {
    const QString link = linkMbit > 0 ? QStringLiteral("; link about %1 Mbit/s").arg(linkMbit, 0, 'f', 0) : QString();
    if (!error.isEmpty()) return QStringLiteral("%1: not measured (%2)").arg(label(), error);
    if (!best) {
        const RunResult *last = runs.empty() ? nullptr : &runs.back();
        return QStringLiteral("%1: not carried even at %2 fps%3%4")
            .arg(label())
            .arg(last ? last->fps : 0, 0, 'g', 3)
            .arg(last && !last->why.isEmpty() ? QStringLiteral(" (%1%2)").arg(last->worstHost.isEmpty() ? QString() : last->worstHost + QStringLiteral(": "), last->why) : QString())
            .arg(link);
    }
    const QString p99 = QStringLiteral("p99 %1 ms").arg(best->p99Ms, 0, 'f', best->p99Ms < 10 ? 1 : 0);
    const QString worstOfGroup = best->worstHost.isEmpty() ? QString() : QStringLiteral("; worst receiver %1 (%2)").arg(best->worstHost, best->why);
    if (atCeiling) return QStringLiteral("%1: carried at %2 fps (%3)%4").arg(label()).arg(best->fps, 0, 'g', 4).arg(p99, worstOfGroup);
    QString worst;
    for (auto it = runs.rbegin(); it != runs.rend(); ++it)
        if (!it->passed && !it->worstHost.isEmpty()) {
            worst = QStringLiteral("; above it %1 fails first (%2)").arg(it->worstHost, it->why);
            break;
        }
    return QStringLiteral("%1: carried up to %2 fps (%3)%4%5%6").arg(label()).arg(best->fps, 0, 'g', 3).arg(p99, link, worst, worstOfGroup);
}

int runProbe(const ProbeSettings &s) {
    const auto begin = SteadyClock::now();
    const auto deadline = begin + std::chrono::microseconds(int64_t(s.budgetSeconds * 1e6));
    Progress progress(!s.json);
    ProbeReport report;
    report.hosts = s.hosts;
    report.budgetSeconds = s.budgetSeconds;
    report.latencyBoundMs = s.latencyBoundMs;

    std::vector<Host> hosts;
    for (const QString &name : s.hosts) {
        Host h;
        h.control = std::make_unique<ControlClient>(name);
        QString why;
        std::optional<ControlClient::Clock> clock;
        if (!h.control->open(s.port, why) || !(clock = h.control->measureClock(why))) {
            err(why);
            return kExitCannotStart;
        }
        h.clock = *clock;
        report.clockOffsetMs = std::max(report.clockOffsetMs, std::fabs(clock->offsetUs) / 1000.0);
        report.clockUncertaintyMs = std::max(report.clockUncertaintyMs, clock->uncertaintyUs / 1000.0);
        report.rttMs = std::max(report.rttMs, clock->rttUs / 1000.0);
        if (!s.json)
            out(QStringLiteral("%1: clock offset %2 ms (+/- %3 ms), round trip %4 ms")
                    .arg(name).arg(clock->offsetUs / 1000.0, 0, 'f', 2).arg(clock->uncertaintyUs / 1000.0, 0, 'f', 2)
                    .arg(clock->rttUs / 1000.0, 0, 'f', 2) + QLatin1Char('\n'));
        hosts.push_back(std::move(h));
    }
    // Streams every host allows; each cell takes the next, so that a late
    // datagram of one never lands in another.
    int streamFirst = 0, streamEnd = 65536;
    for (const Host &h : hosts) {
        streamFirst = std::max(streamFirst, h.control->limits().streamBase);
        streamEnd = std::min(streamEnd, h.control->limits().streamBase + h.control->limits().streams);
    }
    if (streamFirst >= streamEnd) {
        err(QStringLiteral("the serve ends have no stream number in common"));
        return kExitCannotStart;
    }
    int cellId = 0, stream = streamFirst;
    const auto nextStream = [&] { return stream = stream + 1 < streamEnd ? stream + 1 : streamFirst; };

    // The link first, with TCP, which delivers what fits: as fast as it goes for a moment.
    const bool multicast = !s.group.isEmpty();
    const bool haveTcp = std::count(s.transports.begin(), s.transports.end(), Transport::Tcp) && !multicast;
    if (haveTcp && !stopRequested().load()) {
        progress.show(QStringLiteral("measuring the link with TCP"));
        CellResult link;
        link.size = {640, 480};
        link.transport = Transport::Tcp;
        CellProbe cell(hosts, s, link, ++cellId, nextStream());
        QString why;
        if (cell.start(10, why) && cell.warmUp(10, why)) {
            const uint32_t from = cell.nextNumber();
            if (cell.flood(1.5, why)) {
                cell.settle();
                report.linkMbit = cell.arrivalRate(from) * 8 * kTcpWireFactor / 1e6;
            }
        }
        if (report.linkMbit == 0) err(QStringLiteral("could not measure the link: %1").arg(why));
    }

    QString lostHost;
    std::vector<CellResult> cells;
    for (Transport t : s.transports)
        for (const int jpeg : s.jpegLevels)
            for (const ProbeSize &size : s.sizes)
                for (const int depth : s.depths) {
                    CellResult c;
                    c.size = size;
                    c.depth = depth;
                    c.jpeg = jpeg;
                    c.transport = multicast ? Transport::Udp : t;
                    c.multicast = multicast;
                    if (multicast && t == Transport::Tcp) continue;
                    cells.push_back(c);
                }
    // What a cell's search takes, roughly: a warm-up and three runs at the
    // rate the link estimate predicts (JPEG taken as a tenth of raw), at most
    // 8 s. The budget is shared out in proportion, so a slow cell gets more
    // time, but not all of it.
    const auto predictedFps = [&](const CellResult &c, bool raw) {
        const double bits = double(c.size.width) * c.size.height * c.depth * (c.transport == Transport::Tcp ? kTcpWireFactor : kUdpWireFactor);
        return report.linkMbit > 0 ? std::clamp(report.linkMbit * 1e6 / bits * (raw ? 1 : 10), 0.25, s.maxFps) : 10.0;
    };
    const auto need = [&](const CellResult &c) {
        const double f = predictedFps(c, c.jpeg < 0);
        return std::min(8.0, 1 + 3 * (runSeconds(f) + leadInSeconds(f) + boundFor(s, f) / 1000.0));
    };
    double needLeft = 0;
    for (const CellResult &c : cells) needLeft += need(c);
    for (size_t i = 0; i < cells.size() && !stopRequested().load(); ++i) {
        CellResult &c = cells[i];
        const double left = std::chrono::duration<double>(deadline - SteadyClock::now()).count();
        const double slice = left * need(c) / needLeft;
        needLeft -= need(c);
        const auto end = SteadyClock::now() + std::chrono::microseconds(int64_t(std::max(0.0, slice) * 1e6));
        CellProbe cell(hosts, s, c, ++cellId, nextStream());
        QString why;
        const auto show = [&](double fps) {
            progress.show(QStringLiteral("cell %1 of %2: %3 at %4 fps; %5 s of the budget left")
                              .arg(i + 1).arg(cells.size()).arg(c.label()).arg(fps, 0, 'g', 3)
                              .arg(std::max(0.0, std::chrono::duration<double>(deadline - SteadyClock::now()).count()), 0, 'f', 0));
        };
        show(0);
        // Warm up at half the rate the link would carry raw frames (JPEG is smaller), 10 fps at most.
        const double warmFps = report.linkMbit > 0 ? std::clamp(predictedFps(c, true) / 2, 0.25, 10.0) : c.transport == Transport::Udp ? 2 : 10;
        if (cell.start(std::min(hosts.front().control->limits().maxCellSeconds, slice + 30), why) && cell.warmUp(warmFps, why)) {
            const bool estimated = report.linkMbit > 0 && c.wireBitsPerFrame > 0;
            search(cell, c, s, estimated ? 0.85 * report.linkMbit * 1e6 / c.wireBitsPerFrame : 5, estimated ? 1.15 : 2, end, show);
            if (c.runs.empty() && c.error.isEmpty())
                c.error = QStringLiteral("the budget left no time for a run; try --size %1x%2 or a larger --budget").arg(c.size.width).arg(c.size.height);
        } else {
            c.error = why;
        }
        cell.stop();
        progress.clear();
        if (!s.json) out(c.answer(report.linkMbit) + QLatin1Char('\n'));
        // Without a serve end there is nothing more to measure.
        if (const auto gone = std::find_if(hosts.begin(), hosts.end(), [](const Host &h) { return h.control->lost(); }); gone != hosts.end()) {
            lostHost = gone->control->name();
            break;
        }
    }
    progress.clear();
    report.cells = std::move(cells);
    report.interrupted = stopRequested().load();
    report.elapsedSeconds = secondsSince(begin);
    if (report.linkMbit == 0)
        for (const CellResult &c : report.cells)
            if (c.best) report.linkMbit = std::max(report.linkMbit, c.best->fps * c.wireBitsPerFrame / 1e6);

    if (s.json) {
        out(probeJson(report));
    } else {
        out(QStringLiteral("\n%1 | %2 | %3 | %4 | %5").arg(QStringLiteral("cell"), -40).arg(QStringLiteral("highest intact fps"), 18)
                .arg(QStringLiteral("p50 ms"), 7).arg(QStringLiteral("p99 ms"), 7).arg(QStringLiteral("Mbit/s\n")));
        for (const CellResult &c : report.cells)
            out(QStringLiteral("%1 | %2 | %3 | %4 | %5")
                    .arg(c.label(), -40)
                    .arg(c.best ? QString::number(c.best->fps, 'g', 4) + (c.atCeiling ? QStringLiteral("+") : QString()) : QStringLiteral("-"), 18)
                    .arg(c.best ? QString::number(c.best->p50Ms, 'f', 1) : QStringLiteral("-"), 7)
                    .arg(c.best ? QString::number(c.best->p99Ms, 'f', 1) : QStringLiteral("-"), 7)
                    .arg(c.best ? QString::number(c.best->fps * c.wireBitsPerFrame / 1e6, 'f', 1) : QStringLiteral("-")) + QLatin1Char('\n'));
        out(QStringLiteral("link about %1 Mbit/s%2; clocks agree to +/- %3 ms; %4 s of a %5 s budget%6")
                .arg(report.linkMbit, 0, 'f', 0).arg(haveTcp ? QString() : QStringLiteral(" (at least: what UDP carried)"))
                .arg(report.clockUncertaintyMs, 0, 'f', 2).arg(report.elapsedSeconds, 0, 'f', 1).arg(s.budgetSeconds, 0, 'f', 0)
                .arg(report.interrupted ? QStringLiteral("; interrupted") : QString()) + QLatin1Char('\n'));
    }
    if (!s.plotPath.isEmpty()) {
        QString why;
        if (!writeProbePlot(report, s.plotPath, why)) {
            err(why);
            return kExitCannotStart;
        }
    }
    if (!lostHost.isEmpty()) {
        err(QStringLiteral("%1 closed the control connection: the sweep ends here").arg(lostHost));
        return kExitCannotStart;
    }
    return report.interrupted ? 130 : kExitOk; // 128 + SIGINT, as a shell reports it
}

} // namespace kivstream
