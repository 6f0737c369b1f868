// Runs the kivstream program as a user or a script would and judges it by its
// exit status, its messages and its JSON.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <chrono>

#include "kivVidStreamLib2.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Outcome {
    int exitCode = -1;
    bool finished = false;
    QString out, err;
};

Outcome kivstream(const QStringList &args, int timeoutMs = 60000) {
    QProcess p;
    p.start(QStringLiteral(KIVSTREAM_BIN), args);
    Outcome r;
    if (!p.waitForStarted(10000)) return r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// A transport (or JPEG) that this build does not carry yet is a reason to skip, not a failure.
bool notInThisBuild(const Outcome &r) {
    return r.exitCode == 1 && (r.err.contains(QStringLiteral("not available in this build")) ||
                               r.err.contains(QStringLiteral("JPEG is not available")));
}

#define SKIP_IF_NOT_IN_BUILD(run)                                                                   \
    do {                                                                                            \
        if (notInThisBuild(run)) GTEST_SKIP() << "not in this build: " << (run).err.toStdString(); \
    } while (0)

std::string show(const Outcome &r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout: " + r.out.toStdString() + "\nstderr: " + r.err.toStdString();
}

} // namespace

TEST(KivstreamCli, BadArgumentsExitWith2AndSayWhatIsWrong) {
    struct Case {
        QStringList args;
        QString says;
    };
    const Case cases[] = {
        {{}, "missing command"},
        {{"stream"}, "unknown command 'stream'"},
        {{"send", "extra"}, "unexpected argument 'extra'"},
        {{"send", "--bogus"}, "bogus"},
        {{"bench", "--transport", "pigeon"}, "unknown transport 'pigeon'"},
        {{"send", "--size", "320"}, "--size must be WxH"},
        {{"send", "--size", "0x240"}, "--size must be WxH"},
        {{"send", "--size", "320x70000"}, "--size must be WxH"},
        {{"send", "--size", "65535x65535", "--depth", "32"}, "64 MiB"},
        {{"send", "--depth", "12"}, "--depth must be 8, 16, 24 or 32"},
        {{"send", "--jpeg", "101"}, "--jpeg must be a level 0..100"},
        {{"send", "--jpeg", "-1"}, "--jpeg must be a level 0..100"},
        {{"send", "--channel", "1", "--stream", "2"}, "not both"},
        {{"send", "--channel", "60000"}, "--channel must be"},
        {{"receive", "--stream", "0"}, "--stream must be 1..65535"},
        {{"receive", "--stream", "65536"}, "--stream must be 1..65535"},
        {{"send", "--frames", "10", "--seconds", "1"}, "not both"},
        {{"send", "--frames", "0"}, "--frames must be a positive count"},
        {{"send", "--seconds", "nan"}, "--seconds must be a positive number"},
        {{"bench", "--fps", "-1"}, "--fps must be"},
        {{"receive", "--address", "10.0.0.1"}, "--address does not apply to receive"},
        {{"send", "--json"}, "--json does not apply to send"},
        {{"send", "--all"}, "--all does not apply to send"},
        {{"send", "--pattern", "zebra"}, "--pattern must be picture or check"},
        {{"bench", "--pattern", "picture"}, "bench checks every frame"},
        {{"bench", "--size", "16x16"}, "width of at least 32"},
        {{"bench", "--all", "--size", "640x480"}, "bench --all picks"},
        {{"send", "--address", ""}, "--address is empty"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const Outcome r = kivstream(c.args, 20000);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 2) << show(r);
        EXPECT_TRUE(r.err.contains(c.says)) << show(r);
        EXPECT_TRUE(r.out.isEmpty()) << show(r);
    }
    const Outcome help = kivstream({"--help"}, 20000);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("bench"))) << show(help);
}

// The bench on one transport passes its own checks and reports in JSON.
class KivstreamBench : public testing::TestWithParam<std::tuple<std::string, int>> {};

TEST_P(KivstreamBench, PassesItsChecksAndReportsEveryField) {
    const auto &[name, stream] = GetParam();
    const QString transport = QString::fromStdString(name);
    const Outcome r = kivstream({"bench", "--transport", transport, "--stream", QString::number(stream), "--size", "320x240",
                             "--depth", "24", "--seconds", "2", "--json"});
    ASSERT_TRUE(r.finished) << show(r);
    SKIP_IF_NOT_IN_BUILD(r);
    ASSERT_EQ(r.exitCode, 0) << show(r);

    // Exactly one JSON object on stdout.
    const QByteArray text = r.out.toUtf8().trimmed();
    ASSERT_FALSE(text.contains('\n')) << show(r);
    QJsonParseError perr{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &perr);
    ASSERT_EQ(perr.error, QJsonParseError::NoError) << show(r);
    ASSERT_TRUE(doc.isObject());
    const QJsonObject o = doc.object();

    EXPECT_EQ(o.value("transport").toString(), transport);
    EXPECT_TRUE(o.value("jpeg_level").isNull());
    for (const char *key : {"width", "height", "depth", "frames_sent", "frames_received", "frames_dropped",
                            "frames_corrupt", "seconds", "fps", "image_bytes_per_s", "transfer_bytes_per_s"})
        EXPECT_TRUE(o.value(key).isDouble()) << key << " in " << text.toStdString();
    EXPECT_EQ(o.value("width").toInt(), 320);
    EXPECT_EQ(o.value("height").toInt(), 240);
    EXPECT_EQ(o.value("depth").toInt(), 24);
    const QJsonObject latency = o.value("latency_us").toObject();
    for (const char *key : {"p50", "p99", "max"}) EXPECT_TRUE(latency.value(key).isDouble()) << key;
    EXPECT_LE(latency.value("p50").toDouble(), latency.value("p99").toDouble());
    EXPECT_LE(latency.value("p99").toDouble(), latency.value("max").toDouble());

    EXPECT_EQ(o.value("frames_corrupt").toInt(), 0);
    EXPECT_GT(o.value("frames_received").toDouble(), 0);
    EXPECT_LE(o.value("frames_received").toDouble(), o.value("frames_sent").toDouble());
    EXPECT_GT(o.value("seconds").toDouble(), 1.5);
    // Raw frames: every byte that arrives is an image byte.
    EXPECT_DOUBLE_EQ(o.value("image_bytes_per_s").toDouble(), o.value("transfer_bytes_per_s").toDouble());
    EXPECT_TRUE(o.value("passed").toBool());
}

INSTANTIATE_TEST_SUITE_P(Transports, KivstreamBench,
                         testing::Values(std::make_tuple(std::string("memory"), 24010), std::make_tuple(std::string("tcp"), 24011),
                                         std::make_tuple(std::string("udp"), 24012)),
                         [](const auto &info) { return std::get<0>(info.param); });

// Every depth, odd widths with pad bytes, raw and JPEG, over each transport.
class KivstreamBenchFormats : public testing::TestWithParam<std::tuple<std::string, int>> {};

TEST_P(KivstreamBenchFormats, OddSizesEveryDepthRawAndJpeg) {
    const auto &[name, streamBase] = GetParam();
    const QString transport = QString::fromStdString(name);
    struct Case {
        const char *size, *depth, *jpeg;
    };
    const Case cases[] = {{"321x17", "16", nullptr}, {"33x9", "8", nullptr}, {"322x31", "32", nullptr},
                          {"320x240", "24", "50"},   {"331x67", "16", "0"},  {"256x64", "8", "90"}};
    int stream = streamBase;
    int ran = 0;
    for (const Case &c : cases) {
        QStringList args{"bench", "--transport", transport, "--stream", QString::number(stream++), "--size", c.size,
                         "--depth", c.depth, "--frames", "40", "--fps", "200", "--json"};
        if (c.jpeg) args << "--jpeg" << c.jpeg;
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const Outcome r = kivstream(args);
        ASSERT_TRUE(r.finished) << show(r);
        if (notInThisBuild(r)) continue; // JPEG may be missing while raw is there
        EXPECT_EQ(r.exitCode, 0) << show(r);
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        EXPECT_EQ(o.value("frames_corrupt").toInt(-1), 0) << show(r);
        EXPECT_GT(o.value("frames_received").toInt(), 0) << show(r);
        if (c.jpeg) {
            EXPECT_EQ(o.value("jpeg_level").toInt(-1), QString::fromLatin1(c.jpeg).toInt());
        }
        ++ran;
    }
    if (ran == 0) GTEST_SKIP() << name << " is not in this build";
}

INSTANTIATE_TEST_SUITE_P(Transports, KivstreamBenchFormats,
                         testing::Values(std::make_tuple(std::string("memory"), 24100), std::make_tuple(std::string("tcp"), 24120),
                                         std::make_tuple(std::string("udp"), 24140)),
                         [](const auto &info) { return std::get<0>(info.param); });

namespace {
// A listening TCP socket on every local address, closed on scope exit.
class Listener {
public:
    explicit Listener(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd_, 1) == 0;
    }
    ~Listener() {
        if (fd_ >= 0) ::close(fd_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    bool ok() const { return ok_; }

private:
    int fd_;
    bool ok_ = false;
};
} // namespace

TEST(KivstreamCli, ABusyTcpPortExitsWith1AndSaysSo) {
    const uint16_t port = 24030;
    Listener busy(port);
    ASSERT_TRUE(busy.ok()) << "port " << port << " is taken by something else";
    for (const QStringList &args : {QStringList{"receive", "--transport", "tcp", "--stream", "24030", "--seconds", "5"},
                                    QStringList{"bench", "--transport", "tcp", "--stream", "24030", "--seconds", "5"}}) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const Outcome r = kivstream(args, 20000);
        ASSERT_TRUE(r.finished);
        SKIP_IF_NOT_IN_BUILD(r);
        EXPECT_EQ(r.exitCode, 1) << show(r);
        EXPECT_TRUE(r.err.contains(QStringLiteral("24030"))) << show(r);
        EXPECT_TRUE(r.err.contains(QString::fromLatin1(kivErrorString(KIV_ERROR_BUSY)))) << show(r);
    }
}

TEST(KivstreamCli, AnAddressTheTransportCannotUseExitsWith1AndSaysSo) {
    struct Case {
        const char *transport, *address;
    };
    int ran = 0;
    for (const Case &c : {Case{"udp", "300.1.1.1"}, Case{"udp", "::1"}, Case{"tcp", "::1::"}}) {
        SCOPED_TRACE(std::string(c.transport) + " " + c.address);
        const Outcome r = kivstream({"send", "--transport", c.transport, "--address", c.address, "--stream", "24032",
                                     "--frames", "1"},
                                    20000);
        ASSERT_TRUE(r.finished);
        if (notInThisBuild(r)) continue;
        ++ran;
        EXPECT_EQ(r.exitCode, 1) << show(r);
        EXPECT_TRUE(r.err.contains(QString::fromLatin1(kivErrorString(KIV_ERROR_ADDRESS)))) << show(r);
        EXPECT_TRUE(r.err.contains(QString::fromLatin1(c.address))) << show(r);
    }
    if (ran == 0) GTEST_SKIP() << "neither udp nor tcp is in this build";
}

namespace {
// Starts `args` and waits for its first line on stdout: the receiver is up.
bool startAndWaitForLine(QProcess &p, const QStringList &args, QByteArray &seen) {
    p.start(QStringLiteral(KIVSTREAM_BIN), args);
    if (!p.waitForStarted(10000)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!seen.contains('\n') && p.state() == QProcess::Running && std::chrono::steady_clock::now() < deadline) {
        p.waitForReadyRead(500);
        seen += p.readAllStandardOutput();
    }
    return seen.contains('\n') && p.state() == QProcess::Running;
}
} // namespace

TEST(KivstreamCli, CtrlCStopsCleanlyAndStillPrintsTheSummary) {
    // Whichever transport this build carries.
    for (const char *transport : {"memory", "udp", "tcp"}) {
        for (int sig : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(std::string(transport) + " signal " + std::to_string(sig));
            QProcess p;
            QByteArray seen;
            // The first once-a-second line shows it is up and its handlers are in place.
            if (!startAndWaitForLine(p, {"receive", "--transport", transport, "--stream", "24031"}, seen)) {
                p.waitForFinished(5000);
                const Outcome r{p.exitCode(), true, QString::fromLocal8Bit(seen + p.readAllStandardOutput()),
                                QString::fromLocal8Bit(p.readAllStandardError())};
                if (notInThisBuild(r)) break;
                FAIL() << show(r);
            }
            ASSERT_TRUE(seen.contains("fps 0")) << seen.toStdString();
            ::kill(pid_t(p.processId()), sig);
            ASSERT_TRUE(p.waitForFinished(10000));
            EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(p.exitCode(), 0);
            seen += p.readAllStandardOutput();
            EXPECT_TRUE(seen.contains(QByteArray("received over ") + transport + " stream 24031: 0 frames"))
                << seen.toStdString();
            if (sig == SIGTERM) return;
        }
    }
    GTEST_SKIP() << "no transport in this build";
}

// send in one process, receive --pattern check in another: every byte checked
// by a receiver that knows nothing but the frames.
class KivstreamSendReceive : public testing::TestWithParam<std::tuple<std::string, int>> {};

TEST_P(KivstreamSendReceive, ASeparateReceiverVerifiesEveryFrame) {
    const auto &[name, stream] = GetParam();
    const QString transport = QString::fromStdString(name);
    int ran = 0;
    for (const QStringList &format : {QStringList{"--size", "321x40", "--depth", "16"},
                                      QStringList{"--size", "640x360", "--depth", "32", "--jpeg", "30"}}) {
        SCOPED_TRACE(format.join(QLatin1Char(' ')).toStdString());
        QProcess receiver;
        QByteArray seen;
        const bool up = startAndWaitForLine(receiver, {"receive", "--transport", transport, "--stream", QString::number(stream),
                                                       "--pattern", "check", "--frames", "20", "--json"},
                                            seen);
        if (!up) {
            receiver.waitForFinished(5000);
            const Outcome r{receiver.exitCode(), true, QString::fromLocal8Bit(seen + receiver.readAllStandardOutput()),
                            QString::fromLocal8Bit(receiver.readAllStandardError())};
            SKIP_IF_NOT_IN_BUILD(r);
            FAIL() << show(r);
        }
        QStringList sendArgs{"send", "--transport", transport, "--stream", QString::number(stream), "--pattern", "check",
                             "--frames", "200", "--fps", "100"};
        sendArgs << format;
        const Outcome sent = kivstream(sendArgs);
        if (sent.exitCode != 0) {
            receiver.kill();
            receiver.waitForFinished(5000);
            if (notInThisBuild(sent)) continue; // JPEG may be missing while the transport is there
            FAIL() << show(sent);
        }
        ++ran;
        ASSERT_TRUE(receiver.waitForFinished(30000));
        seen += receiver.readAllStandardOutput();
        EXPECT_EQ(receiver.exitCode(), 0) << seen.toStdString() << receiver.readAllStandardError().toStdString();
        const QList<QByteArray> lines = seen.trimmed().split('\n');
        const QJsonObject summary = QJsonDocument::fromJson(lines.last()).object();
        EXPECT_TRUE(summary.value("summary").toBool()) << seen.toStdString();
        EXPECT_EQ(summary.value("frames_received").toInt(), 20) << seen.toStdString();
        EXPECT_EQ(summary.value("frames_corrupt").toInt(-1), 0) << seen.toStdString();
    }
    if (ran == 0) GTEST_SKIP() << "JPEG is not in this build";
}

INSTANTIATE_TEST_SUITE_P(Transports, KivstreamSendReceive,
                         testing::Values(std::make_tuple(std::string("memory"), 24200),
                                         std::make_tuple(std::string("tcp"), 24201),
                                         std::make_tuple(std::string("udp"), 24202)),
                         [](const auto &info) { return std::get<0>(info.param); });
