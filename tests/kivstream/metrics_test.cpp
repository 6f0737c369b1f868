// SPDX-License-Identifier: MIT
// A receiver's Prometheus endpoint, scraped as a Prometheus server would.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>

#include <memory>
#include <vector>

#include "scrape.hpp"

namespace {

using kivtest::http;
using kivtest::metric;

TEST(Metrics, AScrapeMatchesTheReceiversOwnSummaryAndJunkNeverHoldsItUp) {
    constexpr quint16 kPort = 24990;
    QProcess receiver;
    receiver.start(QStringLiteral(KIVSTREAM_BIN), {"receive", "--stream", "24991", "--seconds", "4", "--json", "--metrics", "24990"});
    ASSERT_TRUE(receiver.waitForReadyRead(5000)) << receiver.readAllStandardError().toStdString();
    EXPECT_TRUE(receiver.readAllStandardError().contains("metrics on http://127.0.0.1:24990/metrics"));

    // A client that connects and says nothing, and one that asks for anything else.
    QTcpSocket silent;
    silent.connectToHost(QStringLiteral("127.0.0.1"), kPort);
    ASSERT_TRUE(silent.waitForConnected(3000));
    for (const QByteArray request : {"GET /other HTTP/1.0\r\n\r\n", "POST /metrics HTTP/1.0\r\n\r\n", "junk\r\n\r\n"})
        EXPECT_FALSE(http(kPort, request).startsWith("HTTP/1.1 200")) << request.toStdString();

    // The sender's own, while it sends.
    QProcess sender;
    sender.start(QStringLiteral(KIVSTREAM_BIN), {"send", "--stream", "24991", "--frames", "60", "--fps", "60", "--metrics", "24995"});
    QThread::msleep(600);
    const QByteArray sending = http(24995, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(metric(sending, "kivstream_link_state"), 2) << sending.toStdString();
    EXPECT_GT(metric(sending, "kivstream_frames_sent_total"), 0) << sending.toStdString();
    EXPECT_EQ(metric(sending, "kivstream_frames_received_total"), -1) << "a sender has no receiver's metrics";
    ASSERT_TRUE(sender.waitForFinished(10000));
    QThread::msleep(300);
    const QByteArray page = http(kPort, "GET /metrics HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(page.startsWith("HTTP/1.1 200")) << page.left(200).toStdString();
    ASSERT_TRUE(receiver.waitForFinished(10000));
    const QList<QByteArray> lines = receiver.readAllStandardOutput().trimmed().split('\n');
    const QJsonObject summary = QJsonDocument::fromJson(lines.last()).object();
    const struct { const char *metric, *json; double scale; } same[] = {
        {"kivstream_frames_received_total", "frames_received", 1},
        {"kivstream_frames_dropped_total", "frames_dropped", 1},
        {"kivstream_frame_latency_seconds_count", "frames_received", 1},
        {"kivstream_image_bytes_total", "image_bytes_per_s", summary.value("receiving_seconds").toDouble()},
    };
    for (const auto &s : same)
        EXPECT_NEAR(metric(page, s.metric), summary.value(QLatin1String(s.json)).toDouble() * s.scale, 1) << s.metric;
    EXPECT_GE(metric(page, "kivstream_frames_received_total"), 50); // a memory receiver may join after the first

    // A port in use stops each command before it starts.
    QProcess first;
    first.start(QStringLiteral(KIVSTREAM_BIN), {"receive", "--stream", "24992", "--seconds", "3", "--metrics", "24993"});
    ASSERT_TRUE(first.waitForReadyRead(5000));
    for (const QStringList &args : {QStringList{"receive", "--stream", "24994", "--seconds", "3"}, QStringList{"bench", "--seconds", "1"},
                                    QStringList{"serve", "--port", "24998"}}) {
        QProcess second;
        second.start(QStringLiteral(KIVSTREAM_BIN), args + QStringList{"--metrics", "127.0.0.1:24993"});
        ASSERT_TRUE(second.waitForFinished(5000)) << args.front().toStdString();
        EXPECT_EQ(second.exitCode(), 1) << args.front().toStdString();
        EXPECT_TRUE(second.readAllStandardError().contains("cannot serve metrics on 127.0.0.1:24993")) << args.front().toStdString();
    }
    first.kill();
    first.waitForFinished(3000);
}

} // namespace

// Silent and dribbling clients take all four of the server's workers while a stream runs: the stream loses nothing, and
// each of them is let go after the 2 s request timeout, so scrapes get through again.
TEST(Metrics, JunkClientsHoldingEveryWorkerNeverTouchTheStream) {
    constexpr quint16 kPort = 24996;
    QProcess receiver, sender;
    receiver.start(QStringLiteral(KIVSTREAM_BIN), {"receive", "--transport", "tcp", "--stream", "24997", "--seconds", "6",
                                                   "--pattern", "check", "--json", "--metrics", "24996"});
    ASSERT_TRUE(receiver.waitForReadyRead(5000)) << receiver.readAllStandardError().toStdString();
    sender.start(QStringLiteral(KIVSTREAM_BIN), {"send", "--transport", "tcp", "--stream", "24997", "--frames", "180", "--fps",
                                                 "60", "--pattern", "check", "--json"});
    std::vector<std::unique_ptr<QTcpSocket>> junk;
    for (int i = 0; i < 6; ++i) {
        junk.push_back(std::make_unique<QTcpSocket>());
        junk.back()->connectToHost(QStringLiteral("127.0.0.1"), kPort);
        ASSERT_TRUE(junk.back()->waitForConnected(3000));
        junk.back()->write(i % 2 ? "GET /metrics HTTP/1.1\r\nHost: x\r\n" : "G");
        junk.back()->flush();
    }
    // A scrape queued behind them, answered once a worker is let go;
    // dribbling a byte now and then buys a junk client no more time.
    QTcpSocket scrape;
    scrape.connectToHost(QStringLiteral("127.0.0.1"), kPort);
    ASSERT_TRUE(scrape.waitForConnected(3000));
    scrape.write("GET /metrics HTTP/1.0\r\n\r\n");
    QElapsedTimer waited;
    waited.start();
    qint64 answeredMs = INT64_MAX; // never
    QByteArray page;
    while (waited.elapsed() < 8000 && scrape.state() == QAbstractSocket::ConnectedState) {
        if (scrape.waitForReadyRead(250) && answeredMs == INT64_MAX) answeredMs = waited.elapsed();
        page += scrape.readAll();
        for (auto &j : junk)
            if (j->state() == QAbstractSocket::ConnectedState) j->write("a"), j->flush();
    }
    page += scrape.readAll();
    EXPECT_TRUE(page.startsWith("HTTP/1.1 200")) << page.left(200).toStdString();
    EXPECT_GE(answeredMs, 1500) << "the junk never held the workers: the test proves nothing";
    EXPECT_LE(answeredMs, 5000) << "a junk client was held past the request timeout";
    for (size_t i = 0; i < junk.size(); ++i) {
        junk[i]->waitForDisconnected(6000);
        EXPECT_EQ(junk[i]->state(), QAbstractSocket::UnconnectedState) << "junk client " << i << " still held";
    }
    ASSERT_TRUE(sender.waitForFinished(10000));
    ASSERT_TRUE(receiver.waitForFinished(10000));
    const QJsonObject sent = QJsonDocument::fromJson(sender.readAllStandardOutput().trimmed().split('\n').last()).object();
    const QJsonObject got = QJsonDocument::fromJson(receiver.readAllStandardOutput().trimmed().split('\n').last()).object();
    // A stream held up for the 2 s would lose about 120 frames at the sender.
    const std::string both = QJsonDocument(sent).toJson().toStdString() + QJsonDocument(got).toJson().toStdString();
    EXPECT_GE(sent.value("frames_sent").toInt(), 150) << both;
    EXPECT_EQ(got.value("frames_received").toInt() + got.value("frames_dropped").toInt(), sent.value("frames_sent").toInt()) << both;
    EXPECT_EQ(got.value("frames_corrupt").toInt(-1), 0) << both;
}
