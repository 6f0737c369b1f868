// Runs the kivstream program as a user or a script would and judges it by its
// exit status, its messages and its JSON.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>

#include "kivVidStreamLib2.h"

#include <signal.h>
#include <sys/resource.h>

namespace {

struct Outcome {
    int exitCode = -1; // -1 unless it exited on its own
    QString out, err;
};

std::string show(const Outcome &r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout: " + r.out.toStdString() + "\nstderr: " + r.err.toStdString();
}

Outcome collect(QProcess &p, const QByteArray &earlier = {}) {
    const bool exited = p.state() == QProcess::NotRunning && p.exitStatus() == QProcess::NormalExit;
    return {exited ? p.exitCode() : -1, QString::fromLocal8Bit(earlier + p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

Outcome kivstream(const QStringList &args, int timeoutMs = 60000) {
    QProcess p;
    p.start(QStringLiteral(KIVSTREAM_BIN), args);
    if (!p.waitForFinished(timeoutMs)) p.kill(), p.waitForFinished(5000);
    return collect(p);
}

// Starts a receiver and waits for its first once-a-second line: then it is up.
bool startReceiver(QProcess &p, const QStringList &args, QByteArray &seen) {
    p.start(QStringLiteral(KIVSTREAM_BIN), args);
    const QDeadlineTimer deadline(15000);
    while (!seen.contains('\n') && p.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        p.waitForReadyRead(500);
        seen += p.readAllStandardOutput();
    }
    return seen.contains('\n') && p.state() == QProcess::Running;
}

// One test per transport, each with its own stream numbers.
class PerTransport : public testing::TestWithParam<int> {
public:
    static constexpr const char *kNames[] = {"memory", "tcp", "udp"};
    QString transport() const { return QString::fromLatin1(kNames[GetParam()]); }
};

} // namespace

TEST(KivstreamCli, BadArgumentsExitWith2AndSayWhatIsWrong) {
    const std::pair<QStringList, QString> cases[] = {
        {{}, "missing command"},
        {{"stream"}, "unknown command 'stream'"},
        {{"send", "extra"}, "unexpected argument 'extra'"},
        {{"bench", "--transport", "pigeon"}, "unknown transport 'pigeon'"},
        {{"send", "--size", "320x70000"}, "--size must be WxH"},
        {{"send", "--size", "4096x4097", "--depth", "32"}, "64 MiB"},
        {{"send", "--depth", "12"}, "--depth must be 8, 16, 24 or 32"},
        {{"send", "--jpeg", "101"}, "--jpeg must be a level 0..100"},
        {{"send", "--channel", "1", "--stream", "2"}, "not both"},
        {{"send", "--channel", "60000"}, "--channel must be"},
        {{"receive", "--stream", "65536"}, "--stream must be 1..65535"},
        {{"send", "--frames", "0"}, "--frames must be a positive count"},
        {{"send", "--seconds", "nan"}, "--seconds must be a positive number"},
        {{"bench", "--fps", "-1"}, "--fps must be"},
        {{"receive", "--address", "10.0.0.1"}, "--address does not apply to receive"},
        {{"send", "--pattern", "zebra"}, "--pattern must be picture or check"},
        {{"bench", "--pattern", "picture"}, "bench checks every frame"},
        {{"bench", "--size", "16x16"}, "width of at least 32"},
        {{"send", "--fec", "5"}, "apply to --transport udp only"},
        {{"send", "--transport", "udp", "--fec", "101"}, "--fec must be a percentage 0..100"},
        {{"bench", "--transport", "udp", "--loss", "1,bursty=4"}, "unknown part 'bursty=4'"},
        {{"send", "--transport", "udp", "--loss", "1,burst=0"}, "burst must be 1..1000"},
        {{"bench", "--transport", "tcp", "--receivers", "2"}, "memory or udp"}, {{"bench", "--receivers", "17"}, "1..16"},
        {{"bench", "--all", "--scaling"}, "not both"},
    };
    for (const auto &[args, says] : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const Outcome r = kivstream(args, 20000);
        EXPECT_EQ(r.exitCode, 2) << show(r);
        EXPECT_TRUE(r.err.contains(says)) << show(r);
        EXPECT_TRUE(r.out.isEmpty()) << show(r);
    }
}

// The usual format for two seconds, then odd widths (pad bytes), the other
// depths, and JPEG down to the highest compression on a small colour frame.
TEST_P(PerTransport, BenchPassesItsChecksAndReportsEveryField) {
    struct Case { const char *size, *depth, *jpeg; };
    const Case cases[] = {{"320x240", "24", nullptr}, {"33x9", "8", nullptr}, {"322x31", "32", nullptr},
                          {"331x67", "16", "0"}, {"256x64", "8", "90"}};
    int stream = 24100 + 20 * GetParam();
    for (const Case &c : cases) {
        const bool timed = &c == cases;
        QStringList args{"bench", "--transport", transport(), "--stream", QString::number(stream++), "--size", c.size,
                         "--depth", c.depth, "--json"};
        args << (timed ? QStringList{"--seconds", "2"} : QStringList{"--frames", "20", "--fps", "200"});
        if (c.jpeg) args << "--jpeg" << c.jpeg;
        // UDP rehearses a lossy link: protection must rebuild what the sender drops.
        const bool lossy = timed && transport() == QLatin1String("udp");
        if (lossy) args << "--loss" << "2,dup=1";
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const Outcome r = kivstream(args);
        ASSERT_EQ(r.exitCode, 0) << show(r);

        // Exactly one JSON object on stdout.
        const QByteArray text = r.out.toUtf8().trimmed();
        ASSERT_FALSE(text.contains('\n')) << show(r);
        QJsonParseError perr{};
        const QJsonObject o = QJsonDocument::fromJson(text, &perr).object();
        ASSERT_EQ(perr.error, QJsonParseError::NoError) << show(r);
        EXPECT_EQ(o.value("transport").toString(), transport());
        for (const char *key : {"fps", "cpu_us_per_frame", "wall_us_per_frame"})
            EXPECT_GT(o.value(key).toDouble(), 0) << key << " in " << text.toStdString();
        // Each of the 20 measured frames is received, dropped or lost, and TCP loses none.
        const auto n = [&](const char *key) { return o.value(key).toInteger(-1); };
        const qint64 lost = transport() == QLatin1String("tcp") ? 0 : n("frames_lost");
        EXPECT_TRUE(timed || (n("frames_received") + n("frames_dropped") + n("frames_lost") == 20 && n("frames_lost") == lost))
            << text.toStdString();
        for (const char *key : {"p50", "p99", "max"})
            EXPECT_TRUE(o.value("latency_us").toObject().value(key).isDouble()) << key << " in " << text.toStdString();
        EXPECT_EQ(QStringLiteral("%1x%2").arg(o.value("width").toInt()).arg(o.value("height").toInt()), c.size);
        EXPECT_EQ(o.value("depth").toInt(), atoi(c.depth));
        EXPECT_EQ(o.value("frames_corrupt").toInt(-1), 0);
        EXPECT_GT(o.value("frames_received").toDouble(), 0);
        EXPECT_GT(o.value("seconds").toDouble(), timed ? 1.5 : 0);
        EXPECT_EQ(o.value("jpeg_level").toInt(-1), c.jpeg ? atoi(c.jpeg) : -1);
        // Raw frames: no level, and every byte that arrives is an image byte.
        const bool sameBytes = o.value("image_bytes_per_s").toDouble() == o.value("transfer_bytes_per_s").toDouble();
        EXPECT_TRUE(c.jpeg || (o.value("jpeg_level").isNull() && sameBytes)) << text.toStdString();
        EXPECT_TRUE(o.value("passed").toBool());
        if (lossy) {
            EXPECT_GT(o.value("datagrams_recovered").toInt(), 0) << text.toStdString();
            // Flat out, frames the receiver falls behind on are given up with their losses.
            EXPECT_LE(o.value("datagrams_recovered").toInt(), o.value("datagrams_lost").toInt()) << text.toStdString();
            EXPECT_GT(o.value("frames_rebuilt").toInt(), 0) << text.toStdString();
        }
    }
}

// send in one process, receive --pattern check in another: every byte checked
// by a receiver that knows nothing but the frames, and figures for every second.
TEST_P(PerTransport, SendAndASeparateReceiverCheckEveryFrame) {
    const QStringList common{"--transport", transport(), "--stream", QString::number(24200 + GetParam()), "--pattern", "check"};
    const std::pair<kivStreamFormat, QStringList> formats[] = {
        {{321, 40, KIV_DEPTH_16, 1}, {"--size", "321x40", "--depth", "16"}},
        {{640, 360, KIV_DEPTH_32, 1}, {"--size", "640x360", "--depth", "32", "--jpeg", "30"}}};
    for (const auto &[f, format] : formats) {
        SCOPED_TRACE(format.join(QLatin1Char(' ')).toStdString());
        QProcess receiver, sender;
        QByteArray seen;
        ASSERT_TRUE(startReceiver(receiver, QStringList{"receive", "--frames", "150", "--json"} + common, seen))
            << show(collect(receiver, seen));
        // It sends until told to stop, and stops cleanly.
        sender.start(QStringLiteral(KIVSTREAM_BIN), QStringList{"send", "--seconds", "60", "--fps", "100"} + common + format);
        const bool received = receiver.waitForFinished(30000);
        ::kill(pid_t(sender.processId()), SIGINT);
        sender.waitForFinished(10000);
        const Outcome sent = collect(sender);
        EXPECT_EQ(sent.exitCode, 0) << show(sent);
        ASSERT_TRUE(received) << show(sent);
        const Outcome r = collect(receiver, seen);
        EXPECT_EQ(r.exitCode, 0) << show(r);
        const QStringList lines = r.out.trimmed().split('\n');
        const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
        EXPECT_TRUE(summary.value("summary").toBool()) << show(r);
        EXPECT_EQ(summary.value("frames_received").toInt(), 150) << show(r);
        EXPECT_EQ(summary.value("frames_corrupt").toInt(-1), 0) << show(r);
        // Some second saw frames of this format, and its byte figures are per frame times frames.
        int busySeconds = 0;
        for (const QString &line : lines.mid(0, lines.size() - 1)) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            const qint64 fps = o.value("fps").toInteger(), perFrame = o.value("image_bytes_per_frame").toInteger();
            if (fps == 0) continue;
            ++busySeconds;
            EXPECT_EQ(std::tuple(o.value("width").toInt(), o.value("height").toInt(), perFrame),
                      std::tuple(int(f.width), int(f.height), qint64(kivGetByteSize(&f)))) << line.toStdString();
            EXPECT_EQ(o.value("image_bytes_per_s").toInteger(), fps * perFrame) << line.toStdString();
            const qint64 transfer = o.value("transfer_bytes_per_s").toInteger();
            EXPECT_TRUE(format.contains("--jpeg") ? transfer > 0 && transfer < fps * perFrame : transfer == fps * perFrame)
                << line.toStdString();
        }
        EXPECT_GT(busySeconds, 0) << show(r);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, PerTransport, testing::Range(0, 3),
                         [](const auto &info) { return std::string(PerTransport::kNames[info.param]); });

// Said once, with the library's reason; a sender whose destination never
// connects (no such name, nobody listening) has failed too.
TEST(KivstreamCli, ATransportThatCannotStartExitsWith1AndSaysWhyOnce) {
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::AnyIPv4, 24030)) << "port 24030 is taken by something else";
    const QStringList sendOne{"send", "--stream", "24032", "--frames", "2", "--transport"};
    const QString inUse = QString::fromLatin1(kivErrorString(KIV_ERROR_BUSY)), bad = kivErrorString(KIV_ERROR_ADDRESS);
    const std::pair<QStringList, QStringList> cases[] = {
        {{"receive", "--transport", "tcp", "--stream", "24030", "--seconds", "5"}, {inUse, "24030"}},
        {{"bench", "--transport", "tcp", "--stream", "24030", "--seconds", "5"}, {inUse, "24030"}},
        {sendOne + QStringList{"udp", "--address", "300.1.1.1"}, {bad, "300.1.1.1"}},
        {sendOne + QStringList{"udp", "--address", "::1"}, {bad, "::1"}},
        {sendOne + QStringList{"tcp", "--address", "::1::"}, {bad, "::1::"}},
        {sendOne + QStringList{"tcp", "--address", "nonexistent.invalid"}, {"nonexistent.invalid"}},
        {sendOne + QStringList{"tcp"}, {"127.0.0.1 stream 24032"}},
    };
    for (const auto &[args, says] : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const Outcome r = kivstream(args, 20000);
        EXPECT_EQ(r.exitCode, 1) << show(r);
        EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << show(r);
        for (const QString &text : says) EXPECT_TRUE(r.err.contains(text)) << show(r);
    }
}

// A rate slower than the time limit: one frame, and the limit ends the run,
// not a wait for an empty queue. Waiting sleeps: no core spent spinning.
TEST(KivstreamCli, SlowRatesSendOneFrameAndStopAtTheTimeLimit) {
    const auto cpuSeconds = [] {
        rusage u{};
        getrusage(RUSAGE_CHILDREN, &u);
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
    };
    const double cpu0 = cpuSeconds();
    for (const char *fps : {"1e-10", "0.2"}) {
        const Outcome r = kivstream({"send", "--transport", "memory", "--stream", "24033", "--fps", fps, "--seconds", "1"});
        EXPECT_EQ(r.exitCode, 0) << show(r);
        EXPECT_TRUE(r.out.contains("stream 24033: 1 frames in 1.")) << show(r);
    }
    EXPECT_LT(cpuSeconds() - cpu0, 0.5);
}

TEST(KivstreamCli, CtrlCStopsCleanlyAndStillPrintsTheSummary) {
    for (const auto &[transport, sig] : {std::pair{"memory", SIGINT}, std::pair{"tcp", SIGTERM}, std::pair{"udp", SIGINT}}) {
        SCOPED_TRACE(std::string(transport) + " signal " + std::to_string(sig));
        QProcess p;
        QByteArray seen;
        // The first once-a-second line shows it is up and its handlers are in place.
        ASSERT_TRUE(startReceiver(p, {"receive", "--transport", transport, "--stream", "24031"}, seen)) << show(collect(p, seen));
        ASSERT_TRUE(seen.contains("fps 0")) << seen.toStdString();
        ::kill(pid_t(p.processId()), sig);
        ASSERT_TRUE(p.waitForFinished(10000));
        const Outcome r = collect(p, seen);
        EXPECT_EQ(r.exitCode, 0) << show(r);
        EXPECT_TRUE(r.out.contains(QStringLiteral("received over %1 stream 24031: 0 frames").arg(transport))) << show(r);
    }
}
