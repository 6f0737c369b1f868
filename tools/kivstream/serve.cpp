// SPDX-License-Identifier: MIT
// serve: the far end of a probe. It receives the test streams that probes ask
// for, checks every frame and reports what arrived over the probe's control
// connection. It never sends anything but replies on that connection: TCP
// streams are received on a port it listens on, and a UDP receiver's repair
// requests go only to the stream's own sender.
#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "commands.hpp"
#include "common.hpp"
#include "metrics.hpp"
#include "probe.hpp"
#include "probe_cells.hpp"
#include "probe_protocol.hpp"

namespace kivstream {
namespace {

using namespace probe;

// The group a UDP receiver of this library joins: a probe may only name that one.
// An IPv4 peer of a dual-stack socket comes as ::ffff:a.b.c.d; the UDP transport takes a.b.c.d.
QString plainAddress(const QHostAddress &a) {
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip).toString() : a.toString();
}

QString joinedGroup() { return qEnvironmentVariable("KIVSTREAM_MULTICAST_GROUP", QStringLiteral("239.255.10.88")); }


class Server;

// One control connection.
class Session {
public:
    Session(Server &server, QTcpSocket *socket);
    ~Session();
    bool greeted() const { return greeted_; }
    bool idleTooLong(const ServeLimits &l) const {
        return SteadyClock::now() - lastMessage_ > std::chrono::milliseconds(greeted_ ? l.idleTimeoutMs : l.helloTimeoutMs);
    }
    void expireCells();
    QString peer() const { return peer_; }
    QTcpSocket *socket() const { return socket_; }
    bool closing() const { return closing_; }
    void close(const QString &why);
    const std::map<int, std::unique_ptr<CellReceiver>> &cells() const { return cells_; }

private:
    void onReadable();
    void handle(const Request &r);
    void send(const Reply &r) { socket_->write(encode(r)); }

    Server &server_;
    QTcpSocket *socket_;
    QString peer_;
    LineReader reader_{kMaxRequestLine};
    bool greeted_ = false, closing_ = false;
    SteadyClock::time_point lastMessage_ = SteadyClock::now();
    std::map<int, std::unique_ptr<CellReceiver>> cells_;
    std::map<int, std::unique_ptr<CellSender>> senders_; // --reverse: streams to the probe
};

class Server {
public:
    Server(const ProbeSettings &s, MetricsEndpoint *metrics) : settings_(s), metrics_(metrics) {
        limits_.streamBase = s.streamBase;
        QObject::connect(&listener_, &QTcpServer::newConnection, [this] { accept(); });
        QObject::connect(&tick_, &QTimer::timeout, [this] { onTick(); });
    }

    bool listen(QString &why) {
        const QHostAddress address = settings_.listenAddress.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(settings_.listenAddress);
        if (address.isNull()) {
            why = QStringLiteral("'%1' is not an IP address to listen on").arg(settings_.listenAddress);
            return false;
        }
        if (!listener_.listen(address, quint16(settings_.port))) {
            why = QStringLiteral("cannot listen on %1 port %2: %3").arg(address.toString()).arg(settings_.port).arg(listener_.errorString());
            return false;
        }
        tick_.start(100);
        return true;
    }

    const ServeLimits &limits() const { return limits_; }
    int greetedSessions() const {
        return int(std::count_if(sessions_.begin(), sessions_.end(), [](const auto &s) { return s->greeted(); }));
    }
    bool streamInUse(int stream) const { return streams_.count(stream) != 0; }
    void claim(int stream) { streams_.insert(stream); }
    void release(int stream) { streams_.erase(stream); }
    void log(const QString &line) { out(line + QLatin1Char('\n')); }
    // A cell's metrics. Cells rotate over the streams, so they are counted
    // together under the range, not each under its own number.
    std::unique_ptr<StreamMetrics> cellMetrics(Transport t, const QString &role) const {
        if (!metrics_) return nullptr;
        return metrics_->stream(transportName(t), QStringLiteral("%1-%2").arg(limits_.streamBase).arg(limits_.streamBase + limits_.streams - 1), role);
    }

private:
    void accept() {
        while (QTcpSocket *s = listener_.nextPendingConnection()) {
            if (int(sessions_.size()) >= limits_.maxConnections) {
                // Junk and idle connections must not lock a real probe out:
                // the oldest that never said hello makes room.
                const auto silent = std::find_if(sessions_.begin(), sessions_.end(), [](const auto &x) { return !x->greeted(); });
                if (silent == sessions_.end()) {
                    s->abort();
                    s->deleteLater();
                    continue;
                }
                (*silent)->close(QStringLiteral("too many connections"));
                sessions_.erase(silent);
            }
            sessions_.push_back(std::make_unique<Session>(*this, s));
        }
    }

    void onTick() {
        if (stopRequested().load()) {
            for (auto &s : sessions_) s->close(QStringLiteral("the serve end is stopping"));
            sessions_.clear();
            QCoreApplication::quit();
            return;
        }
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            Session &s = **it;
            s.expireCells();
            if (!s.closing() && s.idleTooLong(limits_)) s.close(s.greeted() ? QStringLiteral("idle too long") : QStringLiteral("no hello in time"));
            if (s.closing() || s.socket()->state() == QAbstractSocket::UnconnectedState) {
                if (s.greeted()) log(QStringLiteral("probe %1: ended").arg(s.peer()));
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }

    const ProbeSettings &settings_;
    MetricsEndpoint *metrics_;
    ServeLimits limits_;
    QTcpServer listener_;
    QTimer tick_;
    std::list<std::unique_ptr<Session>> sessions_;
    std::set<int> streams_;
};

Session::Session(Server &server, QTcpSocket *socket)
    : server_(server), socket_(socket), peer_(plainAddress(socket->peerAddress())) {
    // Bounded: a peer that never ends a line costs at most this much.
    socket_->setReadBufferSize(kMaxRequestLine * 16);
    QObject::connect(socket_, &QTcpSocket::readyRead, [this] { onReadable(); });
}

Session::~Session() {
    // A probe that vanished leaves its streams to the next one.
    for (const auto &[id, cell] : cells_) server_.release(cell->spec().stream);
    QObject::disconnect(socket_, nullptr, nullptr, nullptr);
    socket_->deleteLater();
}

void Session::close(const QString &why) {
    if (closing_) return;
    closing_ = true;
    for (const auto &[id, cell] : cells_) server_.release(cell->spec().stream);
    cells_.clear();
    senders_.clear();
    if (greeted_) send(ErrorReply{0, why});
    socket_->disconnectFromHost();
}

void Session::expireCells() {
    const auto ended = [this](const auto &entry) {
        if (!entry.second->expired()) return false;
        send(ErrorReply{entry.first, QStringLiteral("cell %1 ended: its time ran out").arg(entry.first)});
        return true;
    };
    std::erase_if(cells_, [&](const auto &entry) {
        if (!ended(entry)) return false;
        server_.release(entry.second->spec().stream);
        return true;
    });
    std::erase_if(senders_, ended);
}

void Session::onReadable() {
    if (closing_) return;
    reader_.append(socket_->readAll());
    while (!closing_) {
        const auto line = reader_.next();
        if (reader_.overlong()) return close(QStringLiteral("a message longer than %1 bytes").arg(kMaxRequestLine));
        if (!line) break;
        lastMessage_ = SteadyClock::now();
        QString error;
        const auto request = parseRequest(*line, error);
        if (!request) {
            if (!greeted_) return close(error);
            send(ErrorReply{0, error});
            continue;
        }
        handle(*request);
    }
}

void Session::handle(const Request &r) {
    const ServeLimits &limits = server_.limits();
    if (const auto *h = std::get_if<Hello>(&r)) {
        if (h->version != kProtocolVersion) return close(QStringLiteral("protocol version %1 is not %2").arg(h->version).arg(kProtocolVersion));
        if (!greeted_ && server_.greetedSessions() >= limits.maxProbes) {
            send(ErrorReply{0, QStringLiteral("busy: %1 probes already").arg(limits.maxProbes)});
            return close(QStringLiteral("busy"));
        }
        if (!greeted_) server_.log(QStringLiteral("probe %1: connected").arg(peer_));
        greeted_ = true;
        return send(HelloReply{kProtocolVersion, limits});
    }
    if (!greeted_) return close(QStringLiteral("hello first"));
    if (const auto *t = std::get_if<TimeRequest>(&r)) {
        const int64_t t2 = wallUs();
        return send(TimeReply{t->t1, t2, wallUs()});
    }
    if (const auto *s = std::get_if<Start>(&r)) {
        const CellSpec &c = s->cell;
        QString why = checkAgainstLimits(c, limits);
        if (why.isEmpty() && cells_.count(c.id)) why = QStringLiteral("cell %1 is open already").arg(c.id);
        if (why.isEmpty() && int(cells_.size()) >= limits.maxStreamsPerProbe)
            why = QStringLiteral("%1 streams at once at most").arg(limits.maxStreamsPerProbe);
        if (why.isEmpty() && server_.streamInUse(c.stream)) why = QStringLiteral("stream %1 is in use").arg(c.stream);
        if (why.isEmpty() && !c.group.isEmpty() && c.group != joinedGroup())
            why = QStringLiteral("this serve end receives multicast on %1, not %2").arg(joinedGroup(), c.group);
        DecoderPtr dec;
        if (why.isEmpty()) {
            Options o;
            o.transport = transportName(c.transport);
            bool unsupported = false;
            dec = openDecoder(o, c.stream, 0, why, unsupported);
        }
        if (!dec) return send(ErrorReply{c.id, why});
        server_.claim(c.stream);
        cells_[c.id] = std::make_unique<CellReceiver>(c, limits, std::move(dec), server_.cellMetrics(c.transport, QStringLiteral("receiver")));
        server_.log(QStringLiteral("probe %1: cell %2, %3x%4x%5 %6 over %7%8 on stream %9")
                        .arg(peer_).arg(c.id).arg(c.width).arg(c.height).arg(c.depth)
                        .arg(c.jpeg < 0 ? QStringLiteral("raw") : QStringLiteral("JPEG %1").arg(c.jpeg))
                        .arg(transportName(c.transport)).arg(c.group.isEmpty() ? QString() : QStringLiteral(" to ") + c.group)
                        .arg(c.stream));
        return send(Started{c.id});
    }
    if (const auto *ss = std::get_if<SendStream>(&r)) {
        const CellSpec &c = ss->cell;
        QString why = checkAgainstLimits(c, limits);
        if (why.isEmpty() && (cells_.count(c.id) || senders_.count(c.id))) why = QStringLiteral("cell %1 is open already").arg(c.id);
        if (why.isEmpty() && int(cells_.size() + senders_.size()) >= limits.maxStreamsPerProbe)
            why = QStringLiteral("%1 streams at once at most").arg(limits.maxStreamsPerProbe);
        Options o;
        o.transport = transportName(c.transport);
        o.address = peer_; // to the probe and no one else
        o.format = {uint16_t(c.width), uint16_t(c.height), uint16_t(depthCodeForBits(c.depth)), KIV_ORIENTATION_TOP_DOWN};
        if (c.jpeg >= 0) o.jpegLevel = c.jpeg;
        o.pattern = PatternKind::Check;
        o.seed = c.seed;
        EncoderPtr enc;
        if (why.isEmpty()) {
            bool unsupported = false;
            enc = openEncoder(o, c.stream, why, unsupported);
        }
        if (!enc) return send(ErrorReply{c.id, why});
        senders_[c.id] = std::make_unique<CellSender>(c, std::move(enc), o, server_.cellMetrics(c.transport, QStringLiteral("sender")));
        server_.log(QStringLiteral("probe %1: cell %2, sending %3x%4x%5 over %6 to its stream %7")
                        .arg(peer_).arg(c.id).arg(c.width).arg(c.height).arg(c.depth).arg(transportName(c.transport)).arg(c.stream));
        return send(Started{c.id});
    }
    if (const auto *rate = std::get_if<Rate>(&r)) {
        const auto sender = senders_.find(rate->id);
        if (sender == senders_.end()) return send(ErrorReply{rate->id, QStringLiteral("no cell %1 that this serve end sends").arg(rate->id)});
        if (const QString why = checkRate(sender->second->spec(), rate->fps, limits); !why.isEmpty()) return send(ErrorReply{rate->id, why});
        return send(sender->second->setRate(rate->fps));
    }
    const int id = std::holds_alternative<Collect>(r) ? std::get<Collect>(r).id : std::get<Stop>(r).id;
    if (const auto sender = senders_.find(id); sender != senders_.end() && std::holds_alternative<Stop>(r)) {
        send(sender->second->setRate(0));
        senders_.erase(sender);
        return;
    }
    const auto cell = cells_.find(id);
    if (cell == cells_.end()) return send(ErrorReply{id, QStringLiteral("no cell %1").arg(id)});
    const bool final = std::holds_alternative<Stop>(r);
    send(cell->second->take(final));
    if (final) {
        server_.release(cell->second->spec().stream);
        cells_.erase(cell);
    }
}

} // namespace

int runServe(const ProbeSettings &s) {
    // Before the control port: a metrics port in use stops it first.
    std::unique_ptr<MetricsEndpoint> metrics;
    if (!startMetrics(s.metrics, metrics)) return kExitCannotStart;
    Server server(s, metrics.get());
    QString why;
    if (!server.listen(why)) {
        err(why);
        return kExitCannotStart;
    }
    const ServeLimits &l = server.limits();
    out(QStringLiteral("serving probes on %1 port %2 (streams %3..%4, at most %5 probes); Ctrl-C ends")
            .arg(s.listenAddress.isEmpty() ? QStringLiteral("every address") : s.listenAddress).arg(s.port)
            .arg(l.streamBase).arg(l.streamBase + l.streams - 1).arg(l.maxProbes) + QLatin1Char('\n'));
    QCoreApplication::exec();
    return kExitOk;
}

} // namespace kivstream
