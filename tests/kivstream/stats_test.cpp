#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "stats.hpp"

using namespace kivstream;

TEST(LatencyRecorder, NearestRankPercentilesAndAnExactMaximumBeyondTheReservoir) {
    EXPECT_FALSE(LatencyRecorder().percentiles());
    std::vector<int64_t> v(100);
    std::iota(v.begin(), v.end(), 1);
    std::shuffle(v.begin(), v.end(), std::mt19937(1));
    LatencyRecorder r, one;
    for (int64_t x : v) r.add(x);
    EXPECT_EQ(std::tuple(r.percentiles()->p50, r.percentiles()->p99, r.percentiles()->max), std::tuple(50, 99, 100));
    one.add(-3); // a sender clock slightly ahead gives negative values; keep them
    EXPECT_EQ(std::tuple(one.percentiles()->p50, one.percentiles()->max), std::tuple(-3, -3));
    // Far more samples than room: the maximum stays exact, the median stays near.
    LatencyRecorder small(256);
    for (int64_t x = 0; x < 100000; ++x) small.add(x == 500 ? 10'000'000 : x % 1000);
    EXPECT_EQ(small.count(), 100000u);
    EXPECT_EQ(small.percentiles()->max, 10'000'000);
    EXPECT_NEAR(double(small.percentiles()->p50), 500, 120);
}

TEST(PanelCounter, ReportsEachFullSecondOnTheTestersRhythm) {
    const kivStreamFormat f{10, 10, KIV_DEPTH_24, 1};
    PanelCounter panel(0);
    EXPECT_FALSE(panel.poll(999));
    for (uint32_t t : {10u, 11u, 11u}) panel.addFrame(t, f);
    const auto s = panel.poll(1000);
    ASSERT_TRUE(s);
    EXPECT_EQ(std::tuple(s->frames, s->transferBytes, s->transferBytesPerFrame), std::tuple(3u, 32u, 10));
    EXPECT_EQ(s->imageBytes, 3u * kivGetByteSize(&f));
    // A second without frames reports 0 fps but keeps the last format.
    const auto empty = panel.poll(2050).value();
    EXPECT_TRUE(empty.frames == 0 && empty.haveFormat);
    // Held up for 4.5 s: the missed seconds come one per poll, then the rhythm resumes.
    int reports = 0;
    for (int64_t t = 6500; t <= 7000; t += 100) reports += panel.poll(t).has_value();
    EXPECT_EQ(reports, 5); // periods starting 2000 .. 6000
    EXPECT_FALSE(panel.poll(7900));
    EXPECT_TRUE(panel.poll(8000));
    // A clock set back reports nothing until it has caught up again.
    EXPECT_FALSE(panel.poll(2000));
}

TEST(BenchResult, AFailedRunNeverReadsAsAPass) {
    BenchResult failed;
    failed.transport = QStringLiteral("memory");
    failed.format = {320, 240, KIV_DEPTH_24, 1};
    failed.framesSent = failed.framesReceived = 100;
    failed.seconds = 2;
    failed.failure = QStringLiteral("3 corrupt frames, first: frame 7: byte 12 differs");
    EXPECT_FALSE(benchJson(failed).value(QStringLiteral("passed")).toBool());
    const QStringList lines = benchTable({failed}).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3); // head, rule, the row
    EXPECT_TRUE(lines[2].contains(QStringLiteral("FAILED"))) << lines[2].toStdString();
}
