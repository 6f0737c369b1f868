#include <gtest/gtest.h>

#include "options.hpp"
#include "stats.hpp"

using namespace kivstream;

TEST(LatencyRecorder, NearestRankPercentilesAndAnExactMaximumBeyondTheReservoir) {
    LatencyRecorder r, one;
    for (int64_t i = 0; i < 100; ++i) r.add(i * 37 % 100 + 1); // 1..100, out of order
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
    const auto s = panel.poll(1000).value();
    EXPECT_EQ(std::tuple(s.frames, s.transferBytes, s.transferBytesPerFrame), std::tuple(3u, 32u, 10));
    EXPECT_EQ(s.imageBytes, 3u * kivGetByteSize(&f));
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

// Channels are the tester's; latency needs the sender's clock, which memory
// guarantees and the network transports are asked for.
TEST(Options, WordsMapToTheLibrarysCodesAndTheTestersNumbering) {
    const std::tuple<QStringList, int, int, bool> cases[] = {
        {{"send"}, KIV_PROTOCOL_MEMORY, 10588, true},
        {{"send", "--channel", "5"}, KIV_PROTOCOL_MEMORY, 10593, true},
        {{"receive", "--transport", "tcp", "--stream", "24001"}, KIV_PROTOCOL_TCP, 24001, false},
        {{"receive", "--transport", "udp", "--latency"}, KIV_PROTOCOL_UDP, 10588, true},
        {{"bench"}, KIV_PROTOCOL_MEMORY, kBenchStreamBase, true},
        {{"bench", "--channel", "0"}, KIV_PROTOCOL_MEMORY, 10588, true},
    };
    for (const auto &[args, protocol, stream, latency] : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const ParseResult r = parseOptions(args);
        ASSERT_TRUE(std::holds_alternative<Options>(r)) << std::get<ParseError>(r).message.toStdString();
        const Options &o = std::get<Options>(r);
        EXPECT_EQ(std::tuple(o.protocol, o.stream, o.latency), std::tuple(protocol, stream, latency));
    }
}
