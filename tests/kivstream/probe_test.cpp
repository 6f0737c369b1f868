// SPDX-License-Identifier: MIT
// The probe's control protocol as outside bytes, and a serve end under junk, idle and vanishing peers.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include "probe_protocol.hpp"
#include "scrape.hpp"

namespace {

using namespace kivstream::probe;

const QByteArray kStart = R"({"type":"start","id":7,"transport":"udp","stream":10600,"width":640,"height":480,"depth":24,"jpeg":-1,"seed":1,"seconds":5)";

TEST(ProbeProtocol, BadRequestsAreRefusedWithTheReason) {
    const std::pair<QByteArray, const char *> cases[] = {
        {"", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {R"({"id":1})", "\"type\" must be a short string"},
        {R"({"type":"reboot"})", "unknown message type \"reboot\""},
        {R"({"type":"hello","protocol":"http","version":1})", "not a kivprobe peer"},
        {R"({"type":"hello","protocol":"kivprobe","version":0})", "\"version\" must be within 1..1000"},
        {R"({"type":"time","t1":-5})", "\"t1\" must be within"},
        {R"({"type":"time","t1":1e300})", "\"t1\" must be a whole number"},
        {R"({"type":"collect","id":1.5})", "\"id\" must be a whole number"},
        {R"({"type":"stop","id":0})", "\"id\" must be within 1..2147483647"},
        {kStart.left(kStart.size() - 12) + "}", "\"seconds\" must be a number"},
        {kStart + R"(,"width":31})", "\"width\" must be within 32..65535"},
        {kStart + R"(,"depth":12})", "\"depth\" must be 8, 16, 24 or 32"},
        {kStart + R"(,"jpeg":101})", "\"jpeg\" must be within -1..100"},
        {kStart + R"(,"seconds":0})", "\"seconds\" must be within"},
        {kStart + R"(,"transport":"sctp"})", "\"transport\" must be tcp or udp"},
        {kStart + R"(,"group":"10.0.0.1"})", "\"group\" must be an IPv4 multicast address"},
        {kStart + R"(,"group":"239.1.1.1","transport":"tcp"})", "\"group\" must be an IPv4 multicast address"},
        {kStart + R"(,"group":")" + QByteArray(70, 'x') + "\"}", "\"group\" must be a short string"},
        {kStart + R"(,"pad":")" + QByteArray(kMaxRequestLine, ' ') + "\"}", "message longer than 4096 bytes"},
        {kStart + R"(,"type":"send","group":"239.1.1.1"})", "sends only to the probe"},
        {R"({"type":"rate","id":7,"fps":-1})", "\"fps\" must be within 0..1e+06"},
    };
    for (const auto &[line, reason] : cases) {
        SCOPED_TRACE(line.left(120).toStdString());
        QString error;
        EXPECT_FALSE(parseRequest(line.endsWith('}') || !line.startsWith('{') ? line : line + "}", error).has_value());
        EXPECT_TRUE(error.contains(QLatin1String(reason))) << error.toStdString();
    }
}

TEST(ProbeProtocol, MessagesReadBackAsSent) {
    QString error;
    const auto start = parseRequest(kStart + R"(,"group":"239.255.10.88"})", error);
    ASSERT_TRUE(start.has_value()) << error.toStdString();
    const CellSpec sent = std::get<Start>(*start).cell;
    const auto again = parseRequest(encode(*start).chopped(1), error);
    ASSERT_TRUE(again.has_value()) << error.toStdString();
    const CellSpec &back = std::get<Start>(*again).cell;
    EXPECT_EQ(std::tie(back.id, back.stream, back.width, back.height, back.depth, back.jpeg, back.seed, back.seconds),
              std::tie(sent.id, sent.stream, sent.width, sent.height, sent.depth, sent.jpeg, sent.seed, sent.seconds));
    EXPECT_EQ(back.group, QStringLiteral("239.255.10.88"));

    Records records{7, true, {{4, 1'765'000'000'000'001, 1'765'000'000'250'000, 921600, true}, {5, 2, 3, 0, false}}, {}};
    records.counters.datagramsRepaired = 12;
    const auto reply = parseReply(encode(Reply{records}).chopped(1), error);
    ASSERT_TRUE(reply.has_value()) << error.toStdString();
    const Records &r = std::get<Records>(*reply);
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(std::tie(r.frames[0].number, r.frames[0].sentUs, r.frames[0].arrivedUs, r.frames[0].bytes, r.frames[0].intact),
              std::tie(records.frames[0].number, records.frames[0].sentUs, records.frames[0].arrivedUs, records.frames[0].bytes,
                       records.frames[0].intact));
    EXPECT_FALSE(r.frames[1].intact);
    EXPECT_EQ(r.counters.datagramsRepaired, 12u);
    EXPECT_TRUE(r.final);

    for (const char *bad : {"[4294967296,1,2,3,1]", "[1,-1,2,3,1]", "[1,1,2,3,2]", "[1,1,2,3.5,1]", "[1,1,2,3]"}) {
        const QByteArray line = QByteArray(R"({"type":"records","id":7,"counters":)") +
                                QJsonDocument(QJsonDocument::fromJson(encode(Reply{records})).object().value("counters").toObject()).toJson(QJsonDocument::Compact) +
                                R"(,"frames":[)" + bad + "]}";
        EXPECT_FALSE(parseReply(line, error).has_value()) << bad;
        EXPECT_TRUE(error.contains(QLatin1String("frame record"))) << bad << ": " << error.toStdString();
    }

    const auto hello = parseReply(encode(Reply{HelloReply{1, ServeLimits{}}}).chopped(1), error);
    ASSERT_TRUE(hello.has_value()) << error.toStdString();
    EXPECT_EQ(std::get<HelloReply>(*hello).limits.maxConnections, ServeLimits{}.maxConnections);
}

TEST(ProbeProtocol, RequestsOverTheServesLimitsAreRefused) {
    const ServeLimits limits;
    CellSpec ok;
    ok.stream = limits.streamBase;
    ok.width = 640;
    ok.height = 480;
    ok.seconds = 5;
    const std::pair<CellSpec, const char *> cases[] = {
        {[&] { auto c = ok; c.stream = limits.streamBase - 1; return c; }(), "outside this serve's streams"},
        {[&] { auto c = ok; c.stream = limits.streamBase + limits.streams; return c; }(), "outside this serve's streams"},
        {[&] { auto c = ok; c.width = limits.maxWidth + 1; return c; }(), "larger than"},
        {[&] { auto c = ok; c.height = limits.maxHeight + 1; return c; }(), "larger than"},
        {[&] { auto c = ok; c.seconds = limits.maxCellSeconds + 1; return c; }(), "longer than"},
    };
    for (const auto &[cell, reason] : cases) EXPECT_TRUE(checkAgainstLimits(cell, limits).contains(QLatin1String(reason))) << reason;
    // A stream the serve end sends: no more than its rate cap, in frames and in bytes.
    EXPECT_EQ(checkRate(ok, 30, limits), QString());
    EXPECT_TRUE(checkRate(ok, limits.maxFps + 1, limits).contains(QLatin1String("fps is more than"))) << limits.maxFps;
    const double overBytes = limits.maxSendBytesPerSecond / (640.0 * 480 * 3) + 1;
    EXPECT_TRUE(checkRate(ok, overBytes, limits).contains(QLatin1String("MB/s is more than"))) << overBytes;
}

TEST(ProbeProtocol, LinesSplitAcrossReadsAndAnOverlongOneEndsTheStream) {
    LineReader r(8);
    r.append("ab");
    EXPECT_FALSE(r.next().has_value());
    r.append("c\n12345678\nx");
    EXPECT_EQ(r.next(), QByteArray("abc"));
    EXPECT_EQ(r.next(), QByteArray("12345678"));
    r.append("xxxxxxxx");
    EXPECT_FALSE(r.next().has_value());
    EXPECT_TRUE(r.overlong());
    r.append("\n");
    EXPECT_FALSE(r.next().has_value()) << "nothing after an overlong line";
}

// ---- A serve end, as a probe and as junk peers meet it ----------------------

class Peer {
public:
    explicit Peer(quint16 port) { socket.connectToHost(QStringLiteral("127.0.0.1"), port); }
    bool connected() { return socket.waitForConnected(3000); }
    // The next line, or an empty array once the serve end closed or went quiet.
    QByteArray ask(const QByteArray &line, int timeoutMs = 5000) {
        if (!line.isEmpty()) socket.write(line + '\n'), socket.flush();
        const QDeadlineTimer deadline(timeoutMs);
        while (!buffer.contains('\n') && !deadline.hasExpired()) {
            if (!socket.waitForReadyRead(100) && socket.state() != QAbstractSocket::ConnectedState) break;
            buffer += socket.readAll();
        }
        const qsizetype end = buffer.indexOf('\n');
        if (end < 0) return {};
        const QByteArray reply = buffer.left(end);
        buffer.remove(0, end + 1);
        return reply;
    }
    bool closedByServe() {
        socket.waitForDisconnected(3000);
        return socket.state() == QAbstractSocket::UnconnectedState;
    }
    QTcpSocket socket;
    QByteArray buffer;
};

// The reply's type, or the whole reply when it is not the one expected.
std::string typeOf(const QByteArray &reply) {
    const QString type = QJsonDocument::fromJson(reply).object().value("type").toString();
    return type == QLatin1String("error") || type.isEmpty() ? reply.toStdString() : type.toStdString();
}

const QByteArray kHello = R"({"type":"hello","protocol":"kivprobe","version":1})";

// A serve end on ports of its own: ctest runs the tests side by side.
template <quint16 Port>
class ServeAt : public testing::Test {
protected:
    void SetUp() override {
        serve.start(QStringLiteral(KIVSTREAM_BIN), {"serve", "--port", QString::number(kPort), "--streams", QString::number(kStreams),
                                                    "--metrics", QString::number(kMetricsPort)});
        // It says where it listens once it does.
        ASSERT_TRUE(serve.waitForReadyRead(10000)) << serve.readAllStandardError().toStdString();
        ASSERT_TRUE(serve.readAllStandardOutput().startsWith("serving probes"));
    }
    void TearDown() override {
        serve.terminate();
        serve.waitForFinished(5000);
    }
    static constexpr quint16 kPort = Port, kMetricsPort = Port + 1, kStreams = Port + 20;
    QProcess serve;
};
using Serve = ServeAt<24580>;
using ServeProbed = ServeAt<24680>;

TEST_F(Serve, JunkAndIdlePeersNeverLockOutAProbe) {
    std::vector<std::unique_ptr<Peer>> silent;
    for (int i = 0; i < ServeLimits{}.maxConnections + 8; ++i) {
        silent.push_back(std::make_unique<Peer>(kPort));
        ASSERT_TRUE(silent.back()->connected());
    }
    Peer junk(kPort);
    ASSERT_TRUE(junk.connected());
    junk.socket.write(QByteArray(kMaxRequestLine + 10, 'j'));
    EXPECT_TRUE(junk.closedByServe()) << "an overlong line ends the connection";

    Peer probe(kPort);
    ASSERT_TRUE(probe.connected());
    EXPECT_EQ(typeOf(probe.ask(kHello)), "hello") << "the oldest silent peer made room";
    EXPECT_NE(typeOf(probe.ask("{\"type\":\"nonsense\"}")).find("unknown message type"), std::string::npos);
    const QByteArray start = kStart + R"(,"stream":24600})";
    EXPECT_NE(typeOf(probe.ask(start.left(start.size() - 1) + R"(,"stream":10600})")).find("outside this serve's streams"), std::string::npos);
    EXPECT_EQ(typeOf(probe.ask(start)), "started");
    EXPECT_NE(typeOf(probe.ask(start)).find("cell 7 is open already"), std::string::npos);
    EXPECT_EQ(typeOf(probe.ask(R"({"type":"collect","id":7})")), "records");

    // The probe vanishes: its stream is free for the next one.
    probe.socket.abort();
    QThread::msleep(300);
    Peer next(kPort);
    ASSERT_TRUE(next.connected());
    EXPECT_EQ(typeOf(next.ask(kHello)), "hello");
    EXPECT_EQ(typeOf(next.ask(start)), "started");
    EXPECT_EQ(typeOf(next.ask(R"({"type":"stop","id":7})")), "records");
    EXPECT_NE(typeOf(next.ask(R"({"type":"stop","id":7})")).find("no cell 7"), std::string::npos) << "a stopped cell is gone";

    // A peer that never says hello goes once its time is up.
    silent.back()->socket.waitForDisconnected(ServeLimits{}.helloTimeoutMs + 2000);
    EXPECT_EQ(silent.back()->socket.state(), QAbstractSocket::UnconnectedState);
}

TEST_F(ServeProbed, AProbeMeasuresThroughItBothWaysAndEndsCleanlyWhenItVanishes) {
    QProcess probe;
    const QTemporaryDir dir;
    for (const auto &[way, plot] : {std::pair{"--json", "envelope.png"}, {"--reverse", "envelope.svg"}}) { // --json twice: this way
        SCOPED_TRACE(way);
        const QString plotPath = dir.filePath(QLatin1String(plot));
        probe.start(QStringLiteral(KIVSTREAM_BIN), {"probe", QStringLiteral("127.0.0.1:%1").arg(kPort), "--size", "320x240", "--jpeg", "raw",
                                                    "--transport", "udp", "--budget", "8", way, "--fps", "30", "--json", "--plot", plotPath});
        ASSERT_TRUE(probe.waitForFinished(30000));
        EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
        EXPECT_GT(QFileInfo(plotPath).size(), 1000) << plot;
        const QJsonObject report = QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
        EXPECT_LE(report.value("elapsed_s").toDouble(), 8.5);
        // One clock on loopback: no offset to speak of, and an uncertainty that the round trip gives.
        EXPECT_GT(report.value("round_trip_ms").toDouble(), 0.0);
        EXPECT_GT(report.value("clock_uncertainty_ms").toDouble(), 0.0);
        EXPECT_LT(report.value("clock_offset_ms").toDouble(), 1.0);
        const QJsonObject cell = report.value("cells").toArray().at(0).toObject();
        // 30 on a quiet machine, but a busy one may lose a loopback stream at any rate: some rate came through.
        EXPECT_GT(cell.value("highest_intact_fps").toDouble(), 0.0) << QJsonDocument(cell).toJson().toStdString();
    }

    // Its cells, counted for Prometheus under its stream range, each way.
    const QByteArray page = kivtest::http(kMetricsPort, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(page.contains(R"(kivstream_frames_received_total{role="receiver",stream="24700-24763",transport="udp"})")) << page.toStdString();
    EXPECT_GT(kivtest::metric(page, "kivstream_frames_received_total"), 10);
    EXPECT_GT(kivtest::metric(page, "kivstream_frames_sent_total", "sender"), 10);
    EXPECT_EQ(kivtest::metric(page, "kivstream_streams_open", "receiver"), 0);
    EXPECT_EQ(kivtest::metric(page, "kivstream_streams_open", "sender"), 0);

    // The serve end goes away in the middle of a sweep.
    probe.start(QStringLiteral(KIVSTREAM_BIN), {"probe", QStringLiteral("127.0.0.1:%1").arg(kPort), "--budget", "30"});
    ASSERT_TRUE(probe.waitForReadyRead(10000));
    serve.kill();
    ASSERT_TRUE(probe.waitForFinished(20000));
    const QString err = QString::fromLocal8Bit(probe.readAllStandardError());
    EXPECT_TRUE(err.contains(QLatin1String("closed the control connection"))) << err.toStdString();
}

} // namespace
