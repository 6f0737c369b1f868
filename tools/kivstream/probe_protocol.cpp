// SPDX-License-Identifier: MIT
#include "probe_protocol.hpp"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace kivstream::probe {
namespace {

// JSON numbers are doubles: whole numbers are exact up to 2^53, wall-clock
// microseconds included.
constexpr double kMaxExactInteger = 9007199254740992.0;

// Field readers: false (with `error` set) when the field is missing, of the
// wrong type or out of range.
class Fields {
public:
    Fields(const QJsonObject &o, QString &error) : o_(o), error_(error) {}

    bool integer(const char *name, int64_t low, int64_t high, int64_t &out) {
        const QJsonValue v = o_.value(QLatin1String(name));
        const double d = v.toDouble(NAN);
        if (!v.isDouble() || !std::isfinite(d) || d != std::floor(d) || std::fabs(d) > kMaxExactInteger)
            return fail(name, "a whole number");
        if (d < double(low) || d > double(high)) return fail(name, QStringLiteral("within %1..%2").arg(low).arg(high));
        out = int64_t(d);
        return true;
    }
    template <typename T> bool integer(const char *name, int64_t low, int64_t high, T &out) {
        int64_t v = 0;
        if (!integer(name, low, high, v)) return false;
        out = T(v);
        return true;
    }
    bool number(const char *name, double low, double high, double &out) {
        const QJsonValue v = o_.value(QLatin1String(name));
        if (!v.isDouble() || !std::isfinite(v.toDouble())) return fail(name, "a number");
        out = v.toDouble();
        if (out < low || out > high) return fail(name, QStringLiteral("within %1..%2").arg(low).arg(high));
        return true;
    }
    bool text(const char *name, QString &out, bool optional = false) {
        const QJsonValue v = o_.value(QLatin1String(name));
        if (optional && v.isUndefined()) return true;
        if (!v.isString() || v.toString().size() > 64) return fail(name, "a short string");
        out = v.toString();
        return true;
    }

private:
    bool fail(const char *name, const QString &what) {
        error_ = QStringLiteral("\"%1\" must be %2").arg(QLatin1String(name), what);
        return false;
    }
    const QJsonObject &o_;
    QString &error_;
};

std::optional<QJsonObject> objectOf(const QByteArray &line, QString &error) {
    QJsonParseError pe{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &pe);
    if (pe.error != QJsonParseError::NoError) {
        error = QStringLiteral("not JSON: %1 at byte %2").arg(pe.errorString()).arg(pe.offset);
        return std::nullopt;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    return doc.object();
}

// A line no longer than `limit`, parsed to an object with its "type".
std::optional<QJsonObject> messageOf(const QByteArray &text, qsizetype limit, const char *what, QString &type, QString &error) {
    if (text.size() > limit) {
        error = QStringLiteral("%1 longer than %2 bytes").arg(QLatin1String(what)).arg(limit);
        return std::nullopt;
    }
    auto o = objectOf(text, error);
    if (!o || !Fields(*o, error).text("type", type)) return std::nullopt;
    return o;
}

QByteArray line(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n'; }

constexpr int64_t kMaxId = 0x7fffffff;
constexpr int64_t kMaxClock = int64_t(kMaxExactInteger);

} // namespace

QString transportName(Transport t) { return t == Transport::Tcp ? QStringLiteral("tcp") : QStringLiteral("udp"); }

QJsonObject ServeLimits::toJson() const {
    return {{"max_probes", maxProbes},
            {"max_connections", maxConnections},
            {"hello_timeout_ms", helloTimeoutMs},
            {"idle_timeout_ms", idleTimeoutMs},
            {"max_streams_per_probe", maxStreamsPerProbe},
            {"max_cell_seconds", maxCellSeconds},
            {"max_fps", maxFps},
            {"max_width", qint64(maxWidth)},
            {"max_height", qint64(maxHeight)},
            {"max_frames_per_cell", qint64(maxFramesPerCell)},
            {"max_records_per_collect", qint64(maxRecordsPerCollect)},
            {"max_send_bytes_per_second", maxSendBytesPerSecond},
            {"stream_base", streamBase},
            {"streams", streams}};
}

std::optional<ServeLimits> ServeLimits::fromJson(const QJsonObject &o) {
    ServeLimits l;
    QString error;
    Fields f(o, error);
    const bool ok = f.integer("max_probes", 1, 1000, l.maxProbes) && f.integer("max_connections", 1, 10000, l.maxConnections) &&
                    f.integer("hello_timeout_ms", 1, 600000, l.helloTimeoutMs) &&
                    f.integer("idle_timeout_ms", 1, 3600000, l.idleTimeoutMs) &&
                    f.integer("max_streams_per_probe", 1, 1000, l.maxStreamsPerProbe) &&
                    f.number("max_cell_seconds", 0.001, 86400, l.maxCellSeconds) && f.number("max_fps", 0.001, 1e6, l.maxFps) &&
                    f.integer("max_width", 1, 65535, l.maxWidth) && f.integer("max_height", 1, 65535, l.maxHeight) &&
                    f.integer("max_frames_per_cell", 1, 1 << 30, l.maxFramesPerCell) &&
                    f.integer("max_records_per_collect", 1, 1 << 30, l.maxRecordsPerCollect) &&
                    f.number("max_send_bytes_per_second", 0, 1e12, l.maxSendBytesPerSecond) &&
                    f.integer("stream_base", 1, 65535, l.streamBase) && f.integer("streams", 1, 65535, l.streams);
    if (!ok) return std::nullopt;
    return l;
}

std::optional<Request> parseRequest(const QByteArray &text, QString &error) {
    QString type;
    const auto o = messageOf(text, kMaxRequestLine, "message", type, error);
    if (!o) return std::nullopt;
    Fields f(*o, error);
    if (type == QLatin1String("hello")) {
        QString name;
        Hello h;
        if (!f.text("protocol", name) || !f.integer("version", 1, 1000, h.version)) return std::nullopt;
        if (name != QLatin1String(kProtocolName)) {
            error = QStringLiteral("not a %1 peer").arg(QLatin1String(kProtocolName));
            return std::nullopt;
        }
        return h;
    }
    if (type == QLatin1String("time")) {
        TimeRequest t;
        if (!f.integer("t1", 0, kMaxClock, t.t1)) return std::nullopt;
        return t;
    }
    if (type == QLatin1String("collect") || type == QLatin1String("stop")) {
        int id = 0;
        if (!f.integer("id", 1, kMaxId, id)) return std::nullopt;
        if (type == QLatin1String("stop")) return Stop{id};
        return Collect{id};
    }
    if (type == QLatin1String("rate")) {
        Rate r;
        if (!f.integer("id", 1, kMaxId, r.id) || !f.number("fps", 0, 1e6, r.fps)) return std::nullopt;
        return r;
    }
    if (type == QLatin1String("start") || type == QLatin1String("send")) {
        Start s;
        CellSpec &c = s.cell;
        QString transport;
        if (!f.integer("id", 1, kMaxId, c.id) || !f.text("transport", transport) || !f.integer("stream", 1, 65535, c.stream) ||
            !f.text("group", c.group, true) || !f.integer("width", 32, 65535, c.width) ||
            !f.integer("height", 1, 65535, c.height) || !f.integer("depth", 8, 32, c.depth) ||
            !f.integer("jpeg", -1, 100, c.jpeg) || !f.integer("seed", 0, 0xffffffffll, c.seed) ||
            !f.number("seconds", 0.001, 86400, c.seconds))
            return std::nullopt;
        if (c.depth % 8 != 0) {
            error = QStringLiteral("\"depth\" must be 8, 16, 24 or 32");
            return std::nullopt;
        }
        if (transport == QLatin1String("tcp")) c.transport = Transport::Tcp;
        else if (transport == QLatin1String("udp")) c.transport = Transport::Udp;
        else {
            error = QStringLiteral("\"transport\" must be tcp or udp");
            return std::nullopt;
        }
        if (!c.group.isEmpty() && (c.transport != Transport::Udp || !QHostAddress(c.group).isMulticast() ||
                                   QHostAddress(c.group).protocol() != QAbstractSocket::IPv4Protocol)) {
            error = QStringLiteral("\"group\" must be an IPv4 multicast address, over udp");
            return std::nullopt;
        }
        if (type == QLatin1String("send")) {
            if (!c.group.isEmpty()) {
                error = QStringLiteral("a serve end sends only to the probe, not to a group");
                return std::nullopt;
            }
            return SendStream{c};
        }
        return s;
    }
    error = QStringLiteral("unknown message type \"%1\"").arg(type);
    return std::nullopt;
}

QString checkAgainstLimits(const CellSpec &c, const ServeLimits &l) {
    if (c.stream < l.streamBase || c.stream >= l.streamBase + l.streams)
        return QStringLiteral("stream %1 is outside this serve's streams %2..%3").arg(c.stream).arg(l.streamBase).arg(l.streamBase + l.streams - 1);
    if (c.width > l.maxWidth || c.height > l.maxHeight)
        return QStringLiteral("%1x%2 is larger than this serve's %3x%4").arg(c.width).arg(c.height).arg(l.maxWidth).arg(l.maxHeight);
    if (c.seconds > l.maxCellSeconds)
        return QStringLiteral("%1 s is longer than this serve's %2 s").arg(c.seconds).arg(l.maxCellSeconds);
    return {};
}

QString checkRate(const CellSpec &c, double fps, const ServeLimits &l) {
    if (fps > l.maxFps) return QStringLiteral("%1 fps is more than this serve's %2").arg(fps).arg(l.maxFps);
    const double bytes = double(c.width) * c.height * (c.depth / 8) * fps;
    if (bytes > l.maxSendBytesPerSecond)
        return QStringLiteral("%1 MB/s is more than this serve sends, %2 MB/s").arg(bytes / 1e6, 0, 'f', 1).arg(l.maxSendBytesPerSecond / 1e6, 0, 'f', 1);
    return {};
}

QByteArray encode(const Request &r) {
    return std::visit(
        [](const auto &m) -> QByteArray {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, Hello>)
                return line({{"type", "hello"}, {"protocol", kProtocolName}, {"version", m.version}});
            else if constexpr (std::is_same_v<M, TimeRequest>)
                return line({{"type", "time"}, {"t1", qint64(m.t1)}});
            else if constexpr (std::is_same_v<M, Collect>)
                return line({{"type", "collect"}, {"id", m.id}});
            else if constexpr (std::is_same_v<M, Stop>)
                return line({{"type", "stop"}, {"id", m.id}});
            else if constexpr (std::is_same_v<M, Rate>)
                return line({{"type", "rate"}, {"id", m.id}, {"fps", m.fps}});
            else {
                const CellSpec &c = m.cell;
                QJsonObject o{{"type", std::is_same_v<M, Start> ? "start" : "send"},     {"id", c.id},          {"transport", transportName(c.transport)},
                              {"stream", c.stream},  {"width", qint64(c.width)}, {"height", qint64(c.height)},
                              {"depth", c.depth},    {"jpeg", c.jpeg},      {"seed", qint64(c.seed)},
                              {"seconds", c.seconds}};
                if (!c.group.isEmpty()) o.insert("group", c.group);
                return line(o);
            }
        },
        r);
}

namespace {

const char *const kCounterNames[] = {"frames_dropped",      "frames_incomplete",   "frames_malformed",  "datagrams_lost",
                                     "datagrams_recovered", "datagrams_requested", "datagrams_repaired", "records_dropped"};
uint64_t ReceiverCounters::*const kCounterFields[] = {
    &ReceiverCounters::framesDropped,      &ReceiverCounters::framesIncomplete,   &ReceiverCounters::framesMalformed,
    &ReceiverCounters::datagramsLost,      &ReceiverCounters::datagramsRecovered, &ReceiverCounters::datagramsRequested,
    &ReceiverCounters::datagramsRepaired,  &ReceiverCounters::recordsDropped};

} // namespace

std::optional<Reply> parseReply(const QByteArray &text, QString &error) {
    QString type;
    const auto o = messageOf(text, kMaxReplyLine, "reply", type, error);
    if (!o) return std::nullopt;
    Fields f(*o, error);
    if (type == QLatin1String("hello")) {
        HelloReply h;
        QString name;
        if (!f.text("protocol", name) || !f.integer("version", 1, 1000, h.version)) return std::nullopt;
        const auto limits = ServeLimits::fromJson(o->value("limits").toObject());
        if (name != QLatin1String(kProtocolName) || !limits) {
            error = QStringLiteral("not a %1 serve end, or its limits are unreadable").arg(QLatin1String(kProtocolName));
            return std::nullopt;
        }
        h.limits = *limits;
        return h;
    }
    if (type == QLatin1String("time")) {
        TimeReply t;
        if (!f.integer("t1", 0, kMaxClock, t.t1) || !f.integer("t2", 0, kMaxClock, t.t2) || !f.integer("t3", 0, kMaxClock, t.t3))
            return std::nullopt;
        return t;
    }
    if (type == QLatin1String("mark")) {
        Mark m;
        if (!f.integer("id", 1, kMaxId, m.id) || !f.integer("next", 0, 0xffffffffll, m.next) || !f.integer("dropped", 0, kMaxClock, m.dropped))
            return std::nullopt;
        return m;
    }
    if (type == QLatin1String("started")) {
        Started s;
        if (!f.integer("id", 1, kMaxId, s.id)) return std::nullopt;
        return s;
    }
    if (type == QLatin1String("error")) {
        ErrorReply e;
        if (!f.integer("id", 0, kMaxId, e.id)) return std::nullopt;
        e.message = o->value("message").toString().left(512);
        return e;
    }
    if (type == QLatin1String("records")) {
        Records r;
        if (!f.integer("id", 1, kMaxId, r.id)) return std::nullopt;
        r.final = o->value("final").toBool();
        const QJsonObject counters = o->value("counters").toObject();
        Fields cf(counters, error);
        for (size_t i = 0; i < std::size(kCounterNames); ++i)
            if (!cf.integer(kCounterNames[i], 0, kMaxClock, r.counters.*kCounterFields[i])) return std::nullopt;
        // Each record: number, sent, arrived, bytes, intact; all whole numbers in range.
        static constexpr double kHigh[] = {4294967295.0, kMaxExactInteger, kMaxExactInteger, 4294967295.0, 1};
        for (const QJsonValue &v : o->value("frames").toArray()) {
            const QJsonArray a = v.toArray();
            double n[5];
            bool ok = a.size() == 5;
            for (qsizetype i = 0; ok && i < 5; ++i) {
                n[i] = a[i].toDouble(-1);
                ok = a[i].isDouble() && n[i] >= 0 && n[i] <= kHigh[i] && n[i] == std::floor(n[i]);
            }
            if (!ok) {
                error = QStringLiteral("a frame record must hold 5 whole numbers in range");
                return std::nullopt;
            }
            r.frames.push_back({uint32_t(n[0]), int64_t(n[1]), int64_t(n[2]), uint32_t(n[3]), n[4] == 1});
        }
        return r;
    }
    error = QStringLiteral("unknown reply type \"%1\"").arg(type);
    return std::nullopt;
}

QByteArray encode(const Reply &r) {
    return std::visit(
        [](const auto &m) -> QByteArray {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, HelloReply>)
                return line({{"type", "hello"}, {"protocol", kProtocolName}, {"version", m.version}, {"limits", m.limits.toJson()}});
            else if constexpr (std::is_same_v<M, TimeReply>)
                return line({{"type", "time"}, {"t1", qint64(m.t1)}, {"t2", qint64(m.t2)}, {"t3", qint64(m.t3)}});
            else if constexpr (std::is_same_v<M, Started>)
                return line({{"type", "started"}, {"id", m.id}});
            else if constexpr (std::is_same_v<M, ErrorReply>)
                return line({{"type", "error"}, {"id", m.id}, {"message", m.message}});
            else if constexpr (std::is_same_v<M, Mark>)
                return line({{"type", "mark"}, {"id", m.id}, {"next", qint64(m.next)}, {"dropped", qint64(m.dropped)}});
            else {
                QJsonObject counters;
                for (size_t i = 0; i < std::size(kCounterNames); ++i)
                    counters.insert(QLatin1String(kCounterNames[i]), qint64(m.counters.*kCounterFields[i]));
                QJsonArray frames;
                for (const FrameRecord &f : m.frames)
                    frames.append(QJsonArray{qint64(f.number), qint64(f.sentUs), qint64(f.arrivedUs), qint64(f.bytes), f.intact ? 1 : 0});
                return line({{"type", "records"}, {"id", m.id}, {"final", m.final}, {"counters", counters}, {"frames", frames}});
            }
        },
        r);
}

std::optional<QByteArray> LineReader::next() {
    if (overlong_) return std::nullopt;
    const qsizetype end = buffer_.indexOf('\n');
    if (end < 0) {
        if (buffer_.size() > maxLine_) overlong_ = true;
        return std::nullopt;
    }
    if (end > maxLine_) {
        overlong_ = true;
        return std::nullopt;
    }
    QByteArray line = buffer_.left(end);
    buffer_.remove(0, end + 1);
    return line;
}

} // namespace kivstream::probe
