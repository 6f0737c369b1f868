// SPDX-License-Identifier: MIT
// Runs the kivstream program as a user or a script would and judges it by its exit status, its messages and its JSON.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

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

Outcome run(const QString &program, const QStringList &args, int timeoutMs = 60000) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) p.kill(), p.waitForFinished(5000);
    return collect(p);
}
Outcome kivstream(const QStringList &args, int timeoutMs = 60000) { return run(QStringLiteral(KIVSTREAM_BIN), args, timeoutMs); }

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

// The slowest frame's time from encode to receive is there, and under 10 s.
bool plausibleLatency(const QJsonObject &o) { return uint64_t(o.value("latency_us").toObject().value("max").toInteger(-1)) < 10'000'000; }
// UDP figures carry all three datagram counts, the others none.
int lossFields(const QJsonObject &o) { return o.contains("datagrams_lost") + o.contains("datagrams_recovered") + o.contains("frames_rebuilt"); }

class PerTransport : public testing::TestWithParam<int> {
public:
    static constexpr const char *kNames[] = {"memory", "tcp", "udp"};
    QString transport() const { return QString::fromLatin1(kNames[GetParam()]); }
};

} // namespace

// The usual format for 2 s, flat out, with UDP losses that protection must rebuild; then, 20 frames at 200 fps (0.1 s): odd
// widths (pad bytes), a UDP run without parity or repair (given-up frames count as dropped), the other depths, JPEG down to level 100.
TEST_P(PerTransport, BenchPassesItsChecksAndReportsEveryField) {
    struct Case { const char *size, *depth; int jpeg; QStringList udpLoss; };
    const Case cases[] = {{"320x240", "24", -1, {"--loss", "2,dup=1"}}, {"33x9", "8", -1, {}}, {"322x31", "32", -1, {"--loss", "2", "--fec", "0", "--repair-budget", "0"}},
                          {"331x67", "16", 0, {}}, {"256x64", "8", 100, {}}};
    int stream = 24100 + 20 * GetParam();
    for (const Case &c : cases) {
        const bool udp = transport() == QLatin1String("udp"), timed = &c == cases, lossy = timed && udp, bare = udp && c.udpLoss.contains("--fec");
        QStringList args{"bench", "--transport", transport(), "--stream", QString::number(stream++), "--size", c.size, "--depth", c.depth, "--json"};
        args << (timed ? QStringList{"--seconds", "2"} : QStringList{"--frames", "20", "--fps", "200"}) << (udp ? c.udpLoss : QStringList{});
        if (c.jpeg >= 0) args << "--jpeg" << QString::number(c.jpeg);
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const Outcome r = kivstream(args);
        ASSERT_EQ(r.exitCode, 0) << show(r);

        const QByteArray text = r.out.toUtf8().trimmed(); // exactly one JSON object
        QJsonParseError perr{};
        const QJsonObject o = QJsonDocument::fromJson(text, &perr).object();
        ASSERT_EQ(perr.error, QJsonParseError::NoError) << show(r);
        ASSERT_FALSE(text.contains('\n')) << show(r);
        const auto n = [&](const char *key) { return o.value(key).toInteger(-1); };
        EXPECT_EQ(std::tuple(o.value("transport").toString(), QStringLiteral("%1x%2").arg(n("width")).arg(n("height")), n("depth"),
                             n("jpeg_level"), n("frames_corrupt"), plausibleLatency(o)), std::tuple(transport(), c.size, atoi(c.depth), c.jpeg, 0, true));
        const QJsonObject latency = o.value("latency_us").toObject();
        for (const QJsonValue &v : {o.value("fps"), o.value("cpu_us_per_frame"), o.value("wall_us_per_frame"), o.value("frames_received"),
                                    latency.value("p50"), latency.value("p99"), latency.value("max")})
            EXPECT_GT(v.toDouble(), 0) << text.toStdString();
        // Each of the 20 measured frames is received, dropped or lost, and TCP loses none.
        const qint64 lost = transport() == QLatin1String("tcp") ? 0 : n("frames_lost");
        if (!timed) {
            EXPECT_EQ(n("frames_received") + n("frames_dropped") + n("frames_lost"), 20) << text.toStdString();
            EXPECT_EQ(n("frames_lost"), lost);
            if (bare) { EXPECT_GT(n("frames_dropped"), n("frames_lost")); }
        }
        if (bare) { EXPECT_EQ(o.value("repair_state").toString(), "unavailable") << text.toStdString(); }
        for (const char *key : {"datagrams_requested", "datagrams_repaired", "datagrams_resent", "parity_percent"})
            if (udp) { EXPECT_GE(n(key), 0) << key; }
        // Raw frames: every byte that arrives is an image byte.
        if (c.jpeg < 0) { EXPECT_EQ(n("image_bytes_per_s"), n("transfer_bytes_per_s")); }
        EXPECT_TRUE(o.value("passed").toBool()) << text.toStdString();
        EXPECT_GT(o.value("seconds").toDouble(), timed ? 1.5 : 0.09);
        if (timed) { EXPECT_GT(n("frames_sent"), 80); }
        // Flat out, frames the receiver falls behind on are given up with their losses.
        if (lossy) {
            EXPECT_GT(n("datagrams_recovered"), 0);
            EXPECT_LE(n("datagrams_recovered"), n("datagrams_lost"));
            EXPECT_GT(n("frames_rebuilt"), 0);
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
        QTemporaryDir dir;
        const QString csvPath = dir.filePath("run.csv");
        ASSERT_TRUE(startReceiver(receiver, QStringList{"receive", "--frames", "150", "--json", "--latency", "--csv", csvPath} + common, seen)) << seen.toStdString();
        // It sends until told to stop (Ctrl-C, or SIGTERM), stops cleanly and still prints its summary.
        sender.start(QStringLiteral(KIVSTREAM_BIN), QStringList{"send", "--seconds", "60", "--fps", "100", "--json"} + common + format +
                                                        (GetParam() == 2 ? QStringList{"--loss", "1", "--fec", "0"} : QStringList{})); // repaired, below
        const bool received = receiver.waitForFinished(30000);
        ::kill(pid_t(sender.processId()), GetParam() == 1 ? SIGTERM : SIGINT);
        const Outcome sent = sender.waitForFinished(10000) ? collect(sender) : Outcome{};
        EXPECT_EQ(sent.exitCode, 0) << show(sent);
        EXPECT_FALSE(sent.err.contains("\033[")) << "progress into a pipe";
        const QJsonObject sendSummary = QJsonDocument::fromJson(sent.out.toUtf8()).object();
        EXPECT_TRUE(sendSummary.value("interrupted").toBool()) << show(sent);
        EXPECT_GE(sendSummary.value("frames_sent").toInteger(), 150);
        ASSERT_TRUE(received) << show(sent);
        const Outcome r = collect(receiver, seen);
        const QStringList lines = r.out.trimmed().split('\n');
        const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
        // 150 frames at 100 fps after a second or more of waiting: the rate counts from the first frame.
        EXPECT_FALSE(summary.value("interrupted").toBool(true)) << show(r);
        EXPECT_GT(summary.value("fps").toDouble(), 70);
        const double image = summary.value("image_bytes_per_s").toDouble(), transfer = summary.value("transfer_bytes_per_s").toDouble();
        SCOPED_TRACE(show(r));
        EXPECT_EQ(std::tuple(r.exitCode, summary.value("summary").toBool(), summary.value("frames_received").toInt(), summary.value("frames_corrupt").toInt(-1)),
                  std::tuple(0, true, 150, 0));
        EXPECT_GT(transfer, 0);
        EXPECT_EQ(transfer < image, format.contains("--jpeg")) << transfer << " against " << image; // raw: equal, each second below
        const bool udp = GetParam() == 2; // and only UDP loses datagrams, here to be repaired
        EXPECT_EQ(lossFields(summary), udp ? 3 : 0);
        EXPECT_EQ(std::pair(summary.value("datagrams_lost").toInteger() > 0, summary.value("datagrams_repaired").toInteger() > 0), std::pair(udp, udp));
        EXPECT_TRUE(plausibleLatency(summary)) << "latency max " << summary.value("latency_us").toObject().value("max").toInteger(-1);
        EXPECT_TRUE(QJsonDocument::fromJson(lines[0].toUtf8())["depth"].isNull()) << "a depth before a frame: " << lines[0].toStdString();
        // Some second saw frames of this format, and its byte figures are per frame times frames.
        int busySeconds = 0;
        qint64 lastTime = 0;
        for (const QString &line : lines.mid(0, lines.size() - 1)) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            SCOPED_TRACE(line.toStdString());
            if (lastTime) { EXPECT_EQ(o.value("time_ms").toInteger(), lastTime + 1000); }
            lastTime = o.value("time_ms").toInteger();
            const qint64 fps = o.value("fps").toInteger(), perFrame = o.value("image_bytes_per_frame").toInteger(),
                         transfer = o.value("transfer_bytes_per_s").toInteger();
            busySeconds += fps > 0;
            EXPECT_EQ(lossFields(o), udp ? 3 : 0);
            if (fps == 0) continue;
            EXPECT_EQ(perFrame, qint64(kivGetByteSize(&f)));
            EXPECT_EQ(o.value("depth").toInt(), format[3].toInt());
            EXPECT_TRUE(plausibleLatency(o)) << "latency max " << o.value("latency_us").toObject().value("max").toInteger(-1);
            EXPECT_EQ(QStringLiteral("%1x%2").arg(o.value("width").toInt()).arg(o.value("height").toInt()).toStdString(), format[1].toStdString());
            EXPECT_EQ(o.value("image_bytes_per_s").toInteger(), fps * perFrame);
            if (format.contains("--jpeg")) { EXPECT_LT(transfer, fps * perFrame); }
            else EXPECT_EQ(transfer, fps * perFrame);
        }
        EXPECT_GT(busySeconds, 0) << show(r);
        // --csv: the same seconds in the tester's report columns.
        QFile csv(csvPath);
        ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromUtf8(csv.readAll()).trimmed().split('\n');
        ASSERT_EQ(rows.size(), lines.size()); // a header and the seconds; the seconds and a summary
        EXPECT_EQ(rows[0].toStdString(), "time,fps,image_bytes_per_s,transfer_bytes_per_s,frames_lost,frames_incomplete,frames_dropped,latency_p50_us,latency_p99_us");
        for (qsizetype i = 1; i < rows.size(); ++i) {
            const QJsonObject o = QJsonDocument::fromJson(lines[i - 1].toUtf8()).object();
            EXPECT_EQ(rows[i].section(',', 1, 3).toStdString(),
                      QStringLiteral("%1,%2,%3").arg(o["fps"].toInteger()).arg(o["image_bytes_per_s"].toInteger()).arg(o["transfer_bytes_per_s"].toInteger()).toStdString());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, PerTransport, testing::Range(0, 3), [](const auto &i) { return std::string(PerTransport::kNames[i.param]); });

double childCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// The exit status of each outcome. On stderr: nothing when done, the reason once when the transport fails (a sender
// whose destination never connects too) or nothing came, and for bad arguments what is wrong and a hint (texts in
// "says" must show, those with "!" must not); a CSV file that fails says so too. Waiting sleeps: no run spins.
TEST(KivstreamCli, ExitStatusMessagesAndNoSpinning) {
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::AnyIPv4, 24030)) << "port 24030 is taken by something else";
    const QStringList sendTo{"send", "--stream", "24032", "--frames", "2", "--fps", "0", "--transport"}, slow{"send", "--stream", "24033", "--seconds", "1", "--fps"};
    const QString inUse = QString::fromLatin1(kivErrorString(KIV_ERROR_BUSY)), bad = kivErrorString(KIV_ERROR_ADDRESS);
    const std::tuple<QStringList, int, QStringList> cases[] = {
        {{"send", "--depth", "12"}, 2, {"--depth must be 8, 16, 24 or 32", "kivstream --help"}},
        {{"receive", "--transport", "tcp", "--stream", "24030", "--seconds", "5"}, 1, {inUse + " (port 24030 is already in use)"}},
        {{"bench", "--transport", "tcp", "--stream", "24030", "--seconds", "5"}, 1, {inUse + " (port 24030 is already in use)"}},
        {sendTo + QStringList{"udp", "--address", "300.1.1.1"}, 1, {bad, "300.1.1.1"}}, {{"bench", "--transport", "udp", "--stream", "24035", "--address", "300.1.1.1"}, 1, {bad, "300.1.1.1"}},
        {sendTo + QStringList{"tcp", "--address", "nonexistent.invalid"}, 1, {"cannot resolve nonexistent.invalid"}},
        {sendTo + QStringList{"tcp"}, 1, {"24032", "refused", ": 0 of 2 frames"}},
        {{"nosuch", "--help"}, 2, {"unknown command 'nosuch'"}}, {{"bench", "--help"}, 0, {"Usage: kivstream bench [options]\n", "5 interrupted"}},
        {{"send", "--help"}, 0, {"--rate <R>", "!--repair-budget"}}, {{"receive", "--help"}, 0, {"--repair-budget <MS>", "!--rate"}},
        {{"receive", "--stream", "24037", "--pattern", "check", "--seconds", "1"}, 4, {"no frame arrived on memory stream 24037", "nothing was checked"}},
        {{"send", "--stream", "24038", "--frames", "1"}, 0, {"sent over memory to stream 24038: 1 of 1 frames", "!127.0.0.1"}},
        {{"receive", "--csv", "/nonexistent/run.csv"}, 1, {"cannot write /nonexistent/run.csv"}}, {{"receive", "--stream", "24029", "--csv", "/dev/full", "--seconds", "1.5"}, 4, {"cannot write /dev/full: No space left on device; no more rows"}},
        // A rate slower than the time limit: one frame, and the limit ends the run, not a wait for an empty queue.
        {slow + QStringList{"1e-10"}, 0, {"stream 24033: 1 of 1 frames in 1."}}, {slow + QStringList{"0.2"}, 0, {"stream 24033: 1 of 1 frames in 1."}},
    };
    for (const auto &[args, exit, says] : cases) {
        const double cpu0 = childCpuSeconds();
        const Outcome r = kivstream(args, 20000);
        SCOPED_TRACE(args.join(' ').toStdString() + "\n" + show(r));
        EXPECT_EQ(r.exitCode, exit);
        EXPECT_EQ(r.err.count("kivstream: ") - r.err.count("; no more rows"), exit ? 1 : 0); // the reason once
        if (exit == 2) { EXPECT_EQ(r.out.toStdString(), ""); }
        for (const QString &s : says) EXPECT_EQ((r.out + r.err).contains(s.mid(s.startsWith('!'))), !s.startsWith('!')) << s.toStdString();
        EXPECT_LT(childCpuSeconds() - cpu0, 0.3) << args.join(' ').toStdString();
    }
    // Without CAP_NET_ADMIN, net.core.rmem_max caps a UDP receiver's buffer: it says so, and how to allow more.
    QFile rmemMax(QStringLiteral("/proc/sys/net/core/rmem_max"));
    if (const qint64 cap = rmemMax.open(QIODevice::ReadOnly) ? rmemMax.readAll().trimmed().toLongLong() : 0; ::geteuid() == 0 && cap < (32 << 20)) {
        const Outcome r = run("setpriv", {"--bounding-set=-net_admin", KIVSTREAM_BIN, "receive", "--transport", "udp", "--stream", "24039", "--seconds", "1"});
        EXPECT_TRUE(r.err.contains(QStringLiteral("capped at %1 KiB (asked for 32768 KiB); raise net.core.rmem_max").arg(cap / 1024))) << show(r);
    }
}

TEST(KivstreamCli, CtrlCStopsAReceiverCleanlyAndStillPrintsTheSummary) {
    for (const auto &[transport, sig] : {std::pair{"memory", SIGINT}, std::pair{"tcp", SIGTERM}, std::pair{"udp", SIGINT}}) {
        QProcess p;
        QByteArray seen; // its first once-a-second line shows it is up and its handlers are in place
        ASSERT_TRUE(startReceiver(p, {"receive", "--transport", transport, "--stream", "24031"}, seen)) << show(collect(p, seen));
        ::kill(pid_t(p.processId()), sig);
        const Outcome r = p.waitForFinished(10000) ? collect(p, seen) : Outcome{};
        SCOPED_TRACE(std::string(transport) + " " + std::to_string(sig) + "\n" + show(r));
        EXPECT_EQ(r.exitCode, 4); // it got nothing, and says why that may be
        EXPECT_GT(r.out.count('\n'), 1);
        EXPECT_TRUE(r.out.contains(QStringLiteral("received over %1 stream 24031: 0 frames").arg(transport)));
        EXPECT_TRUE(r.err.contains(QStringLiteral("no frame arrived on %1 stream 24031").arg(transport)));
        EXPECT_EQ(r.err.contains("another receiver on this host bound port 24031"), transport == std::string("udp"));
    }
}

// Its SIGINT handler is in place once the kernel lists the signal as caught.
bool catchesSigint(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray status = f.readAll();
    const qsizetype at = status.indexOf("SigCgt:");
    return at >= 0 && (status.mid(at + 7, 17).trimmed().toULongLong(nullptr, 16) & (1u << (SIGINT - 1)));
}

// A bench cut short has no verdict: exit 5, and the summary or the table says it was interrupted.
TEST(KivstreamCli, CtrlCCutsABenchShortAndItSaysSo) {
    const std::pair<QStringList, QStringList> cases[] = {
        {{"bench", "--stream", "24039", "--seconds", "30"}, {"(interrupted)", "INTERRUPTED: cut short, no verdict"}},
        {{"bench", "--all", "--transport", "memory", "--seconds", "30"}, {"| interrupted |", "interrupted in run 1 of 8; the later runs did not happen"}}};
    for (const auto &[args, says] : cases) {
        QProcess p;
        p.start(QStringLiteral(KIVSTREAM_BIN), args);
        const QDeadlineTimer deadline(15000);
        while (p.state() != QProcess::NotRunning && !catchesSigint(p.processId()) && !deadline.hasExpired()) QThread::msleep(10);
        ::kill(pid_t(p.processId()), SIGINT);
        const Outcome r = p.waitForFinished(20000) ? collect(p) : Outcome{};
        SCOPED_TRACE(args.join(' ').toStdString() + "\n" + show(r));
        EXPECT_EQ(r.exitCode, 5);
        for (const QString &s : says) EXPECT_TRUE(r.out.contains(s)) << s.toStdString();
        EXPECT_FALSE(r.out.contains("| ok |"));
    }
}

// bench --all: a row per size and codec, each with frames and passed. TCP goes to this host whatever group --address names.
TEST(KivstreamCli, BenchAllRunsEverySizeAndCodec) {
    const Outcome r = kivstream({"bench", "--all", "--transport", "tcp", "--address", "239.255.10.88", "--seconds", "0.1"});
    const QStringList lines = r.out.trimmed().split('\n');
    ASSERT_EQ(r.exitCode, 0) << show(r);
    ASSERT_EQ(lines.size(), 10) << show(r);
    const char *sizes[] = {"320x240", "1280x720", "1920x1080", "3840x2160"};
    for (int i = 2; i < 10; ++i) {
        QStringList c = lines[i].split('|');
        for (QString &s : c) s = s.trimmed();
        SCOPED_TRACE(lines[i].toStdString());
        ASSERT_GT(c.size(), 18);
        EXPECT_EQ(c.mid(1, 5).join(',').toStdString(), QStringLiteral("tcp,%1,24,%2,1").arg(sizes[i / 2 - 1], i % 2 ? "jpeg 50" : "raw").toStdString());
        EXPECT_GT(c[15].toInt(), 0) << "received";
        EXPECT_EQ(std::pair(c[17].toStdString(), c[18].toStdString()), std::pair(std::string("0"), std::string("ok"))) << "corrupt, result";
    }
}

// On a terminal, send and bench show how far they are four times a second, and clear it before the summary.
TEST(KivstreamCli, ProgressOnATerminalFourTimesASecond) {
    for (const char *command : {"send", "bench"}) {
        const QString line = QStringLiteral(KIVSTREAM_BIN " %1 --transport memory --stream 24034 --seconds 1.1 --fps 200").arg(command);
        const Outcome r = run(QStringLiteral("script"), {"-qec", line, "/dev/null"});
        const QString shown = r.out.left(r.out.lastIndexOf("\033[K")); // what came before the clearing
        const auto last = [&](const QString &what) { return shown.mid(shown.lastIndexOf(what) + what.size()).section(QRegularExpression("\\D"), 0, 0).toLongLong(); };
        SCOPED_TRACE(std::string(command) + "\n" + show(r));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_GE(shown.count("\033[K"), 3);
        EXPECT_LE(shown.count("\033[K"), 7);
        EXPECT_GT(last("sent "), 50);
        EXPECT_TRUE(r.out.section("\033[K", -1).startsWith(command[0] == 's' ? "sent over" : "memory 320x240 ")) << "the summary after the clearing";
        if (command[0] == 'b') {
            EXPECT_GT(last("received "), 0);
            EXPECT_LE(last("received "), last("sent "));
        }
    }
}

// A checking receiver sent the plain picture counts every frame corrupt, says which came first, and exits 3: in under a second, at its true rate.
TEST(KivstreamCli, CheckingReceiverFailsOnAnotherPicture) {
    QProcess sender;
    sender.start(QStringLiteral(KIVSTREAM_BIN), {"send", "--stream", "24036", "--frames", "40", "--fps", "20"});
    const Outcome r = kivstream({"receive", "--stream", "24036", "--frames", "3", "--pattern", "check"});
    const Outcome sent = sender.waitForFinished(10000) ? collect(sender) : Outcome{};
    SCOPED_TRACE(show(r));
    EXPECT_EQ(std::pair(sent.exitCode, r.exitCode), std::pair(0, 3)) << "sender, receiver";
    for (const char *says : {"corrupt 3,", "\nfirst bad frame: "}) EXPECT_TRUE(r.out.contains(says)) << says;
    EXPECT_FALSE(r.out.contains("(0.0 fps)"));
}
