#include <gtest/gtest.h>

#include "bench.hpp"
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
        {{"send", "--size", "4096x4096", "--depth", "32"}, KIV_PROTOCOL_MEMORY, 10588, true}, // exactly 64 MiB
    };
    for (const auto &[args, protocol, stream, latency] : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const ParseResult r = parseOptions(args);
        ASSERT_TRUE(std::holds_alternative<Options>(r)) << std::get<ParseError>(r).message.toStdString();
        const Options &o = std::get<Options>(r);
        EXPECT_EQ(std::tuple(o.protocol, o.stream, o.latency), std::tuple(protocol, stream, latency));
    }
}

// Two receivers, 10 pictures made: bad frames count in the warm-up too, the
// figures only from the measured ones, and the lowest PSNR is not the last.
TEST(BenchFindings, AddUpOverReceiversAndRefuseAPictureNeverSent) {
    struct Frame { bool ok; uint32_t picture; double psnr; bool measured; };
    const Frame frames[] = {{true, 2, 35, false}, {false, 6, 12, false}, {true, 3, 31, true},
                            {true, 4, 22, true},  {true, 10, 40, true},  {true, 5, 27, true}};
    BenchFindings a, b;
    for (const Frame &f : frames)
        (&f < frames + 3 ? b : a).add({f.ok, false, f.picture, f.psnr, QStringLiteral("bad")},
                                      kivFrameInfo{1, f.picture, 0, 0, 0, 40, 100}, 10, f.measured, 7);
    EXPECT_EQ(std::tuple(a.measured, a.corrupt, a.imageBytes, a.transferBytes, *a.lowestPsnr), std::tuple(3u, 1u, 300u, 120u, 22.0));
    EXPECT_TRUE(a.firstProblem.contains(QStringLiteral("picture 10, which was never sent"))) << a.firstProblem.toStdString();
    b.merge(a);
    EXPECT_EQ(std::tuple(b.measured, b.corrupt, b.imageBytes, *b.lowestPsnr), std::tuple(4u, 2u, 400u, 12.0));
    EXPECT_EQ(b.firstProblem, QStringLiteral("bad"));
    // A bench fails on a bad frame, and on measuring none unless it was interrupted.
    BenchFindings none;
    EXPECT_TRUE(benchFailure(b, false).startsWith(QStringLiteral("2 corrupt frames, first: bad")));
    EXPECT_EQ(benchFailure(none, false), QStringLiteral("no frames received"));
    EXPECT_TRUE(benchFailure(none, true).isEmpty());
    none.measured = 1;
    EXPECT_TRUE(benchFailure(none, false).isEmpty());
}

TEST(BenchTable, LinesUpAsMarkdownAndFillsSkippedRows) {
    BenchResult a, b;
    a.transport = QStringLiteral("tcp"), a.format = {1920, 1080, KIV_DEPTH_24, 1}, a.jpegLevel = 50;
    a.framesSent = 120, a.framesReceived = 118, a.framesDropped = 2, a.seconds = 2, a.cpuSeconds = 0.5;
    a.imageBytes = 118 * 6220800ull, a.transferBytes = 118 * 200000ull, a.latency = Percentiles{812, 1500, 2210};
    b.transport = QStringLiteral("udp"), b.format = {320, 240, KIV_DEPTH_8, 1}, b.skipped = QStringLiteral("not in this build");
    EXPECT_EQ(benchTable({a, b}).toStdString(), R"(| transport | size      | depth | codec   | rcv | fps  | CPU us/frame | wall us/frame | image MB/s | transfer MB/s | p50 us | p99 us | max us | sent | received | dropped | corrupt | result |
| --------- | --------- | ----- | ------- | --- | ---- | ------------ | ------------- | ---------- | ------------- | ------ | ------ | ------ | ---- | -------- | ------- | ------- | ------ |
| tcp       | 1920x1080 | 24    | jpeg 50 | 1   | 59.0 | 4237         | 16949         | 367.0      | 11.8          | 812    | 1500   | 2210   | 120  | 118      | 2       | 0       | ok |
| udp       | 320x240   | 8     | raw     | 1   | -    | -            | -             | -          | -             | -      | -      | -      | -    | -        | -       | -       | skipped: not in this build |
)");
}
