#include <gtest/gtest.h>

#include <QStringList>

#include <algorithm>
#include <numeric>
#include <random>

#include "stats.hpp"

using namespace kivstream;

TEST(LatencyRecorder, NearestRankPercentilesAndAnExactMaximumBeyondTheReservoir) {
    LatencyRecorder none;
    EXPECT_FALSE(none.percentiles());

    std::vector<int64_t> v(100);
    std::iota(v.begin(), v.end(), 1);
    std::shuffle(v.begin(), v.end(), std::mt19937(1));
    LatencyRecorder r;
    for (int64_t x : v) r.add(x);
    const auto p = r.percentiles();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->p50, 50);
    EXPECT_EQ(p->p99, 99);
    EXPECT_EQ(p->max, 100);

    LatencyRecorder one;
    one.add(-3); // a sender clock slightly ahead gives negative values; keep them
    EXPECT_EQ(one.percentiles()->p50, -3);
    EXPECT_EQ(one.percentiles()->max, -3);

    // Far more samples than room: the maximum stays exact, the median stays near.
    LatencyRecorder small(256);
    for (int64_t x = 0; x < 100000; ++x) small.add(x == 500 ? 10'000'000 : x % 1000);
    EXPECT_EQ(small.count(), 100000u);
    EXPECT_EQ(small.percentiles()->max, 10'000'000);
    EXPECT_NEAR(double(small.percentiles()->p50), 500, 120);
}

TEST(PanelCounter, ReportsEachFullSecondOnTheTestersRhythm) {
    const kivStreamFormat f{10, 10, KIV_DEPTH_24, 1};
    const uint32_t frameBytes = kivGetByteSize(&f);
    PanelCounter panel(0);
    EXPECT_FALSE(panel.poll(999));
    for (int i = 0; i < 3; ++i) panel.addFrame(100, f);
    auto s = panel.poll(1000);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->frames, 3u);
    EXPECT_EQ(s->transferBytes, 300u);
    EXPECT_EQ(s->transferBytesPerFrame, 100);
    EXPECT_EQ(s->imageBytesPerFrame, frameBytes);
    EXPECT_EQ(s->imageBytes, 3u * frameBytes);
    EXPECT_TRUE(s->haveFormat);

    // The average is rounded down: 32 / 3 is 10.
    for (uint32_t t : {10u, 11u, 11u}) panel.addFrame(t, f);
    s = panel.poll(2050);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->transferBytesPerFrame, 10);

    // A second without frames reports 0 fps but keeps the last format.
    s = panel.poll(3000);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->frames, 0u);
    EXPECT_TRUE(s->haveFormat);

    // Held up for 3.5 s: the missed seconds come one per poll, then the rhythm resumes.
    int reports = 0;
    for (int64_t t = 6500; t <= 7000; t += 100) reports += panel.poll(t).has_value();
    EXPECT_EQ(reports, 4); // periods starting 3000, 4000, 5000, 6000
    EXPECT_FALSE(panel.poll(7900));
    EXPECT_TRUE(panel.poll(8000));

    // A clock set back reports nothing until it has caught up again.
    EXPECT_FALSE(panel.poll(2000));
}

TEST(BenchTable, EveryRowHasTheHeadersColumnsWhateverItsOutcome) {
    BenchResult ok;
    ok.transport = QStringLiteral("memory");
    ok.format = {320, 240, KIV_DEPTH_24, 1};
    ok.framesSent = ok.framesReceived = 100;
    ok.seconds = 2;
    ok.latency = Percentiles{10, 20, 30};
    BenchResult jpeg = ok;
    jpeg.jpegLevel = 50;
    jpeg.latency.reset();
    jpeg.failure = QStringLiteral("3 corrupt frames, first: frame 7: byte 12 differs");
    BenchResult skipped = ok;
    skipped.transport = QStringLiteral("udp");
    skipped.skipped = QStringLiteral("not in this build");

    const QStringList lines = benchTable({ok, jpeg, skipped}).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5); // head, rule, three rows
    for (const QString &l : lines) EXPECT_EQ(l.count(QLatin1Char('|')), lines.first().count(QLatin1Char('|'))) << l.toStdString();
    EXPECT_TRUE(lines[2].contains(QStringLiteral("| 50.0 "))) << lines[2].toStdString(); // fps
    EXPECT_TRUE(lines[3].contains(QStringLiteral("FAILED"))) << lines[3].toStdString();
    EXPECT_TRUE(lines[4].contains(QStringLiteral("skipped"))) << lines[4].toStdString();

    // A failed run never reads as a pass in the JSON either.
    EXPECT_FALSE(benchJson(jpeg).value(QStringLiteral("passed")).toBool());
    EXPECT_TRUE(benchJson(ok).value(QStringLiteral("passed")).toBool());
}
