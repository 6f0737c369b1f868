// Local (Memory) between processes: the helper program sends (or dies), this
// process receives through the public API.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "child.hpp"
#include "support.hpp"

namespace kivtest {
namespace {

std::vector<std::string> sendArgs(int stream, long intervalUs, const std::vector<kivStreamFormat> &formats,
                                  long maxMs = 60000) {
    std::vector<std::string> args{"send", std::to_string(stream), std::to_string(intervalUs), std::to_string(maxMs)};
    for (const kivStreamFormat &f : formats) args.push_back(formatArg(f));
    return args;
}

TEST(CrossProcess, EveryDepthAndOddWidthArrivesByteForByteWhileTheFormatChanges) {
    constexpr int kStream = 20001;
    // The sender changes format on every frame, growing and shrinking the slots.
    const std::vector<kivStreamFormat> formats = {
        {320, 240, KIV_DEPTH_16, 1}, {320, 240, KIV_DEPTH_24, 1}, {320, 240, KIV_DEPTH_32, 1},
        {320, 240, KIV_DEPTH_8, 1},  {33, 7, KIV_DEPTH_16, 1},    {33, 7, KIV_DEPTH_24, 1},
        {33, 7, KIV_DEPTH_32, 1},    {33, 7, KIV_DEPTH_8, 1},     {1, 1, KIV_DEPTH_24, 3},
        {0, 5, KIV_DEPTH_32, 1},     {640, 480, KIV_DEPTH_32, 1},
    };
    Decoder dec(kStream, 0);
    Child sender(sendArgs(kStream, 1000, formats));
    ASSERT_EQ(sender.readLine(), "ready");

    std::map<std::tuple<int, int, int, int>, int> seen;
    int corrupt = 0;
    const bool all = eventually([&] {
        if (auto r = receive(dec.handle, 20)) {
            if (!r->intact) ++corrupt;
            else ++seen[{r->format.width, r->format.height, r->format.depth, r->format.orientation}];
        }
        if (seen.size() != formats.size()) return false;
        for (auto &[f, n] : seen)
            if (n < 2) return false;
        return true;
    }, 20s);
    EXPECT_TRUE(all) << seen.size() << " of " << formats.size() << " formats seen twice";
    EXPECT_EQ(corrupt, 0);
    EXPECT_EQ(dec.stats().framesMalformed, 0u);
}

TEST(CrossProcess, NoTornOrMixedFrameReachesAnyOfSeveralReceiversUnderLoad) {
    constexpr int kStream = 20002;
    // Small frames: the sender laps all slots within a reader's time slice, so a
    // reader preempted mid-copy meets a rewritten slot often.
    const kivStreamFormat f{256, 64, KIV_DEPTH_32, 1};
    constexpr int kReaders = 4, kFrames = 3000;
    std::vector<std::unique_ptr<Decoder>> decoders;
    for (int i = 0; i < kReaders; ++i) decoders.push_back(std::make_unique<Decoder>(kStream));
    Child sender(sendArgs(kStream, 0, {f}));
    ASSERT_EQ(sender.readLine(), "ready");

    std::atomic<int> bad{0};
    std::vector<int> good(kReaders, 0);
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([&, i] {
            const auto end = std::chrono::steady_clock::now() + 30s;
            while (good[i] < kFrames && std::chrono::steady_clock::now() < end)
                if (auto r = receive(decoders[i]->handle, 100)) r->intact && r->format.width == f.width ? ++good[i] : ++bad;
        });
    for (std::thread &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    for (int i = 0; i < kReaders; ++i) {
        EXPECT_EQ(good[i], kFrames);
        EXPECT_EQ(decoders[i]->stats().framesMalformed, 0u);
    }
}

TEST(CrossProcess, SenderKilledMidFrameLeavesNoHalfFrameAndItsStreamIsTakenOver) {
    constexpr int kStream = 20003;
    const kivStreamFormat f{640, 480, KIV_DEPTH_24, 1};
    constexpr uint32_t kGood = 6;
    Decoder before(kStream, 0);
    Child dying({"die-mid-frame", std::to_string(kStream), std::to_string(kGood), formatArg(f)});
    const int status = dying.wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

    // The last complete frame arrives, also at a receiver that starts only now;
    // the half-written one never does.
    Decoder after(kStream, 0);
    for (Decoder *d : {&before, &after}) {
        std::optional<Received> last;
        while (auto r = receive(d->handle, last && last->info.frameNumber == kGood - 1 ? 300 : 5000)) {
            EXPECT_TRUE(r->intact);
            EXPECT_LT(r->info.frameNumber, kGood);
            last = r;
        }
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(last->info.frameNumber, kGood - 1);
        EXPECT_EQ(d->stats().framesMalformed, 0u);
    }

    // The dead sender's lock went with it: a new sender takes the stream over at
    // once, and both receivers follow it.
    Encoder enc(f);
    ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, kStream), KIV_OK) << kivLastErrorDetail();
    const std::vector<uint8_t> frame0 = makeFrame(0, f);
    ASSERT_EQ(kivEncode(enc.handle, frame0.data()), KIV_OK);
    for (Decoder *d : {&before, &after}) {
        auto r = receive(d->handle, 5000);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(r->intact);
        EXPECT_EQ(r->info.frameNumber, 0u);
        EXPECT_NE(r->info.sessionId, 0x5eedu);
    }
}

TEST(CrossProcess, SecondLiveSenderIsRefusedUntilTheFirstDies) {
    constexpr int kStream = 20004;
    const kivStreamFormat f{16, 16, KIV_DEPTH_8, 1};
    Child first(sendArgs(kStream, 20000, {f}));
    ASSERT_EQ(first.readLine(), "ready");

    Encoder second(f);
    EXPECT_EQ(kivSetDestAddress(second.handle, nullptr, kStream), KIV_ERROR_BUSY);
    EXPECT_NE(std::string(kivLastErrorDetail()).find("pid " + std::to_string(first.pid())), std::string::npos)
        << kivLastErrorDetail();
    const uint8_t pixels[16 * 16] = {};
    EXPECT_EQ(kivEncode(second.handle, pixels), KIV_ERROR_STATE);

    // A helper started now is refused the same way and says so.
    Child third(sendArgs(kStream, 20000, {f}));
    EXPECT_EQ(third.readLine().rfind("busy -5", 0), 0u);

    ::kill(first.pid(), SIGKILL);
    first.wait();
    EXPECT_EQ(kivSetDestAddress(second.handle, nullptr, kStream), KIV_OK) << kivLastErrorDetail();
}

TEST(CrossProcess, ReceiverStartedFirstPicksUpTheSenderAndFollowsARestart) {
    constexpr int kStream = 20005;
    const kivStreamFormat f{64, 48, KIV_DEPTH_24, 1};
    Decoder dec(kStream);
    EXPECT_EQ(kivLockReadBuffer(dec.handle, 0), nullptr);

    uint64_t sessions[2] = {};
    for (uint64_t &session : sessions) {
        Child sender(sendArgs(kStream, 1000, {f}));
        ASSERT_EQ(sender.readLine(), "ready");
        std::optional<Received> r;
        ASSERT_TRUE(eventually([&] {
            r = receive(dec.handle, 50);
            return r && r->info.sessionId != sessions[0];
        }));
        EXPECT_TRUE(r->intact);
        session = r->info.sessionId;

        // A clean exit takes the segment with it.
        ASSERT_TRUE(sender.terminate());
        const int status = sender.wait();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_FALSE(segmentExists(kStream));
    }
    EXPECT_NE(sessions[0], sessions[1]);
    EXPECT_EQ(dec.stats().framesMalformed, 0u);
}

} // namespace
} // namespace kivtest
