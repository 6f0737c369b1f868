// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "bench.hpp"

using namespace kivstream;

TEST(LatencyRecorder, NearestRankPercentilesAndAnExactMaximumBeyondTheReservoir) {
    LatencyRecorder r, one;
    for (int64_t i = 0; i < 100; ++i) r.add(i * 37 % 100 + 1); // 1..100, out of order
    EXPECT_EQ(std::tuple(r.percentiles()->p50, r.percentiles()->p99, r.percentiles()->max), std::tuple(50, 99, 100));
    one.add(-3); // a sender clock slightly ahead gives negative values; keep them
    EXPECT_EQ(std::tuple(one.percentiles()->p50, one.percentiles()->max), std::tuple(-3, -3));
    LatencyRecorder small(256); // far more samples than room: the maximum stays exact, the median near
    for (int64_t x = 0; x < 100000; ++x) small.add(x == 500 ? 10'000'000 : x % 1000);
    EXPECT_EQ(std::pair(small.count(), small.percentiles()->max), std::pair(uint64_t(100000), int64_t(10'000'000)));
    EXPECT_NEAR(double(small.percentiles()->p50), 500, 120);
    small.takePercentiles(), small.add(7); // a new second keeps nothing of the last, its maximum neither
    EXPECT_EQ(std::tuple(small.count(), small.percentiles()->p50, small.percentiles()->max), std::tuple(uint64_t(1), int64_t(7), int64_t(7)));
}

TEST(PanelCounter, ReportsEachFullSecondOnTheTestersRhythm) {
    const kivStreamFormat f{10, 10, KIV_DEPTH_24, 1};
    PanelCounter panel(0);
    EXPECT_FALSE(panel.poll(999));
    for (uint32_t t : {10u, 11u, 11u}) panel.addFrame(t, f);
    const auto s = panel.poll(1000).value();
    EXPECT_EQ(std::tuple(s.frames, s.transferBytes, s.transferBytesPerFrame, s.imageBytes), std::tuple(3u, 32u, 10, 960u));
    const auto empty = panel.poll(2050); // a second without frames: 0 fps, but the last format stays
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(std::tuple(empty->frames, empty->transferBytesPerFrame, empty->haveFormat), std::tuple(uint64_t(0), int64_t(0), true));
    // Held up for 4.5 s: the missed seconds come one per poll, then the rhythm resumes.
    int reports = 0;
    for (int64_t t = 6500; t <= 7000; t += 100) reports += panel.poll(t).has_value();
    EXPECT_EQ(reports, 5); // periods starting 2000 .. 6000
    EXPECT_FALSE(panel.poll(7900));
    EXPECT_TRUE(panel.poll(8000));
    EXPECT_FALSE(panel.poll(2000)); // a clock set back reports nothing until it has caught up again
}

// What parseOptions() makes of `args`: "exit <code>: <message>", or protocol:stream and the settings.
QString parsed(const QStringList &args) {
    const ParseResult r = parseOptions(args);
    if (const auto *e = std::get_if<ParseError>(&r)) return QStringLiteral("exit %1: %2").arg(e->exitCode).arg(e->message);
    const Options &o = std::get<Options>(r);
    return QStringLiteral("%1:%2 %3latency loss %4/%5/%6 %7 fec %8 seed %9/%10 rate %11 budget %12 return %13/%14").arg(o.protocol()).arg(o.stream).arg(o.latency ? "" : "no ")
        .arg(o.impairment.lossPerMillion).arg(o.impairment.burstLength).arg(o.impairment.duplicatePerMillion)
        .arg(o.transportGiven ? o.transport + QStringLiteral(" only") : QString()).arg(o.fec.value_or(-1)).arg(o.seed).arg(o.impairment.seed)
        .arg(o.maxRate.value_or(0)).arg(o.repairBudget.value_or(-1)).arg(o.returnImpairment.lossPerMillion).arg(o.returnImpairment.seed);
}

// Channels are the tester's; latency needs the sender's clock, which memory guarantees and the network transports
// are asked for (protocol:stream; 4096x4096x32 is exactly 64 MiB).
TEST(Options, Accepted) {
    const QString rest = " fec -1 seed 1/0 rate 0 budget -1 return 0/0", plain = " loss 0/0/0 " + rest; // nothing of UDP's asked for
    const std::pair<QStringList, QString> cases[] = {
        {{"send"}, "3:10588 latency" + plain}, {{"send", "--channel", "5"}, "3:10593 latency" + plain}, {{"bench"}, "3:27000 latency" + plain},
        {{"receive", "--transport", "tcp", "--stream", "24001"}, "2:24001 no latency loss 0/0/0 tcp only" + rest}, {{"bench", "--channel", "0"}, "3:10588 latency" + plain},
        {{"receive", "--transport", "udp", "--latency"}, "1:10588 latency loss 0/0/0 udp only" + rest}, {{"send", "--size", "4096x4096", "--depth", "32"}, "3:10588 latency" + plain},
        {{"bench", "--transport", "tcp", "--receivers", "1"}, "2:27000 no latency loss 0/0/0 tcp only" + rest},
        {{"send", "--transport", "udp", "--loss", "2.5,burst=3,dup=1"}, "1:10588 no latency loss 25000/3/10000 udp only fec -1 seed 1/1 rate 0 budget -1 return 0/2"},
        {{"bench", "--all", "--transport", "tcp"}, "2:27000 no latency loss 0/0/0 tcp only" + rest}, {{"receive", "--stream", "65535"}, "3:65535 latency" + plain},
        {{"send", "--transport", "udp", "--fec", "100", "--seed", "4294967295", "--loss", "1,return=2.5"},
         "1:10588 no latency loss 10000/0/0 udp only fec 100 seed 4294967295/4294967295 rate 0 budget -1 return 25000/4294967296"},
        {{"send", "--transport", "udp", "--rate", "60Mbit"}, "1:10588 no latency loss 0/0/0 udp only fec -1 seed 1/0 rate 7500000 budget -1 return 0/0"},
        {{"bench", "--transport", "udp", "--rate", "1.5KB", "--repair-budget", "0"}, "1:27000 no latency loss 0/0/0 udp only fec -1 seed 1/0 rate 1500 budget 0 return 0/0"},
        {{"bench", "--size", "32x8", "--receivers", "16", "--fps", "100000"}, "3:27000 latency" + plain},
    };
    for (const auto &[args, says] : cases) EXPECT_EQ(parsed(args).toStdString(), says.toStdString()) << args.join(' ').toStdString();
}

TEST(Options, RefusedWithExitTwoAndWhatIsWrong) {
    const QString all = " picks sizes, compression and streams itself; it takes --transport, ", rate = "--rate must be bytes per second up to 1e12, or a number with kbit, Mbit, Gbit, KB, MB or GB (e.g. 60Mbit), not ";
    const std::pair<QStringList, QString> cases[] = {
        {{"send", "--size", "4096x4097", "--depth", "32"}, "a 4096x4097 frame of 32 bits is over the library's 64 MiB frame limit"},
        {{}, "missing command: send, receive, bench, probe or serve (see --help)"}, {{"stream"}, "unknown command 'stream': use send, receive, bench, probe or serve"},
        {{"send", "x"}, "unexpected argument 'x'"}, {{"bench", "--transport", "pigeon"}, "unknown transport 'pigeon': use memory, tcp or udp"},
        {{"send", "--size", "320x70000"}, "--size must be WxH with each 1..65535, not '320x70000'"}, {{"send", "--depth", "12"}, "--depth must be 8, 16, 24 or 32, not '12'"},
        {{"send", "--jpeg", "101"}, "--jpeg must be a level 0..100, not '101'"}, {{"send", "--channel", "1", "--stream", "2"}, "give --channel or --stream, not both"},
        {{"send", "--channel", "60000"}, "--channel must be 0..54947, not '60000'"}, {{"receive", "--stream", "65536"}, "--stream must be 1..65535, not '65536'"},
        {{"send", "--frames", "0"}, "--frames must be a positive count, not '0'"}, {{"send", "--seconds", "nan"}, "--seconds must be a positive number, not 'nan'"},
        {{"bench", "--fps", "-1"}, "--fps must be 0..100000, not '-1'"}, {{"receive", "--address", "10.0.0.1"}, "--address does not apply to receive"},
        {{"send", "--pattern", "zebra"}, "--pattern must be picture or check, not 'zebra'"}, {{"bench", "--pattern", "picture"}, "bench checks every frame, so it sends only --pattern check"},
        {{"bench", "--size", "16x16"}, "--pattern check needs a width of at least 32"}, {{"send", "--fec", "5"}, "--fec applies to --transport udp only"},
        {{"send", "--transport", "udp", "--fec", "101"}, "--fec must be a percentage 0..100, not '101'"},
        {{"bench", "--transport", "udp", "--loss", "1,bursty=4"}, "--loss: unknown part 'bursty=4' (burst=N, dup=D or return=R)"},
        {{"send", "--transport", "udp", "--loss", "1,burst=0"}, "--loss: burst must be 1..1000, not '0'"}, {{"bench", "--receivers", "17"}, "--receivers must be 1..16, not '17'"},
        {{"bench", "--transport", "tcp", "--receivers", "2"}, "--receivers above 1 needs the memory or udp transport"},
        {{"bench", "--scaling", "--channel", "1"}, "bench --scaling" + all + "--address, --depth, --fps, --seconds and --json"},
        {{"bench", "--scaling", "--size", "64x64"}, "bench --scaling" + all + "--address, --depth, --fps, --seconds and --json"},
        {{"bench", "--all", "--scaling"}, "bench takes --all or --scaling, not both"}, {{"bench", "--all", "--channel", "1"}, "bench --all" + all + "--depth, --fps, --seconds and --json"},
        {{"bench", "--all", "--size", "64x64"}, "bench --all" + all + "--depth, --fps, --seconds and --json"},
        {{"send", "--transport", "udp", "--rate", "60mbit"}, rate + "'60mbit'"}, {{"bench", "--transport", "udp", "--rate", "0.1"}, rate + "'0.1'"},
        {{"send", "--rate", "1MB"}, "--rate applies to --transport udp only"}, {{"receive", "--transport", "udp", "--repair-budget", "1001"}, "--repair-budget must be 0..1000 ms, not '1001'"},
        {{"send", "--transport", "udp", "--repair-budget", "9"}, "--repair-budget does not apply to send"}, {{"receive", "--repair-budget", "9"}, "--repair-budget applies to --transport udp only"},
        {{"send", "--transport", "udp", "--loss", "1,return=101"}, "--loss: return must be 0..100, not '101'"},
        {{"recieve"}, "unknown command 'recieve': use send, receive, bench, probe or serve (did you mean 'receive'?)"}, {{"nosuch", "--help"}, "unknown command 'nosuch': use send, receive, bench, probe or serve"},
        {{"send", "--trasnport", "tcp"}, "Unknown option 'trasnport'. Did you mean --transport?"}, {{"bench", "--al"}, "Unknown option 'al'. Did you mean --all?"}, {{"send", "--seed", "4294967296"}, "--seed must be 0..4294967295, not '4294967296'"},
    };
    for (const auto &[args, says] : cases) EXPECT_EQ(parsed(args).toStdString(), ("exit 2: " + says).toStdString()) << args.join(' ').toStdString();
}

// Two receivers, 10 pictures made: bad frames count in the warm-up too, the figures only from the measured
// ones, and the lowest PSNR is not the last. A bench fails on a bad frame, or measuring none unless interrupted.
TEST(BenchFindings, AddUpOverReceiversAndRefuseAPictureNeverSent) {
    struct Frame { bool ok; uint32_t picture; double psnr; bool measured; };
    const Frame frames[] = {{true, 2, 35, false}, {false, 6, 12, false}, {true, 3, 31, true},
                            {true, 4, 10, true},  {true, 10, 40, true},  {true, 5, 27, true}};
    BenchFindings a, b;
    for (const Frame &f : frames)
        (&f < frames + 3 ? b : a).add({f.ok, f.picture == 4, f.picture, f.psnr, QStringLiteral("bad")}, // 4 came out of order
                                      kivFrameInfo{1, f.picture, 0, 0, 0, 40, 100}, 10, f.measured, 7);
    EXPECT_EQ(std::tuple(a.measured, a.corrupt, a.imageBytes, a.transferBytes, *a.lowestPsnr, a.firstProblem.contains("picture 10, which was never sent")), std::tuple(3u, 1u, 300u, 120u, 10.0, true));
    b.merge(a);
    EXPECT_EQ(std::tuple(b.measured, b.corrupt, b.outOfOrder, b.imageBytes, b.transferBytes, *b.lowestPsnr, b.firstProblem),
              std::tuple(4u, 2u, 1u, 400u, 160u, 10.0, "bad")); // the lowest of both
    BenchFindings none, one;
    one.measured = 1;
    EXPECT_EQ(std::tuple(benchFailure(a, false).left(26), benchFailure(none, false), benchFailure(none, true), benchFailure(one, false)),
              std::tuple("1 corrupt frames, first: f", "no frames received", "", ""));
}

// Each second's line counts what happened in that second; the repair state and the recent loss rate are as they are now.
TEST(ReceiverCounts, ASecondCountsOnlyWhatGrewInIt) {
    const ReceiverCounts before{5, 1, 2, 3, kivLossStats{10, 8, 2}, kivRepairStats{1, 4, 3, KIV_REPAIR_UNKNOWN, 100}};
    const ReceiverCounts now{7, 1, 4, 9, kivLossStats{15, 12, 3}, kivRepairStats{2, 6, 5, KIV_REPAIR_WORKING, 250}};
    const ReceiverCounts d = countsSince(now, before);
    EXPECT_EQ(std::tuple(d.dropped, d.malformed, d.incomplete, d.corrupt), std::tuple(2u, 0u, 2u, 6u));
    EXPECT_EQ(std::tuple(d.loss->datagramsLost, d.loss->datagramsRecovered, d.loss->framesRebuilt), std::tuple(5u, 4u, 1u));
    EXPECT_EQ(std::tuple(d.repair->datagramsRequested, d.repair->datagramsRepaired, d.repair->state, d.repair->lossPerMillion),
              std::tuple(2u, 2u, uint32_t(KIV_REPAIR_WORKING), 250u));
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
