// Local (Memory) between processes: the helper program sends (or dies), this
// process receives through the public API.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "support.hpp"

namespace kivtest {
namespace {

// The helper's command line: send <stream> <interval us> or die-mid-frame <stream> <good>, then the formats.
std::vector<std::string> helper(const char *mode, int stream, long n, const std::vector<kivStreamFormat> &formats) {
    std::vector<std::string> args{mode, std::to_string(stream), std::to_string(n)};
    for (const kivStreamFormat &f : formats)
        args.push_back(std::to_string(f.width) + "," + std::to_string(f.height) + "," + std::to_string(f.depth));
    return args;
}

TEST(CrossProcess, EveryDepthAndOddWidthArrivesByteForByteWhileTheFormatChanges) {
    constexpr int kStream = 20001;
    // The sender changes format on every frame; the segment grows but never
    // shrinks under the reader.
    std::vector<kivStreamFormat> formats = {{1, 1, KIV_DEPTH_24, 1}, {0, 5, KIV_DEPTH_32, 1}, {640, 480, KIV_DEPTH_32, 1}};
    for (uint16_t d : {KIV_DEPTH_8, KIV_DEPTH_16, KIV_DEPTH_24, KIV_DEPTH_32})
        formats.insert(formats.end(), {{320, 240, d, 1}, {33, 7, d, 1}});
    Decoder dec(kStream, 0);
    Child sender(helper("send", kStream, 1000, formats));
    int fd = -1;
    off_t size = 0;
    std::map<std::tuple<int, int, int>, int> seen;
    size_t corrupt = 0, twice = 0;
    const bool all = eventually([&] {
        if (auto r = receive(dec.handle, 20)) {
            if (!r->intact) ++corrupt;
            else if (++seen[{r->format.width, r->format.height, r->format.depth}] == 2) ++twice;
            if (fd < 0) fd = ::shm_open(segmentName(kStream).c_str(), O_RDONLY, 0);
            struct stat st {};
            EXPECT_EQ(::fstat(fd, &st), 0);
            EXPECT_GE(st.st_size, size);
            EXPECT_GE(uint64_t(st.st_size), kiv::shm::kHeaderBytes + kiv::shm::kSlotCount * (kiv::kWireHeaderSize + r->info.imageBytes));
            size = st.st_size;
        }
        return twice == formats.size();
    }, 20s);
    ::close(fd);
    EXPECT_TRUE(all) << twice << " of " << formats.size() << " formats seen twice";
    EXPECT_EQ(corrupt, 0u);
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
    Child sender(helper("send", kStream, 0, {f}));
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

// One stream's life: a receiver waiting before any sender, a second sender
// refused, a clean exit, a sender killed mid-frame, and its stale segment
// taken over.
TEST(CrossProcess, ReceiversFollowEverySenderOfAStreamAndNeverSeeAHalfFrame) {
    constexpr int kStream = 20003;
    const kivStreamFormat f{640, 480, KIV_DEPTH_24, 1};
    Decoder before(kStream, 0);
    EXPECT_EQ(kivLockReadBuffer(before.handle, 0), nullptr);
    Encoder second(f);
    uint64_t firstSession = 0;
    {
        ::umask(0); // the segment's mode must not depend on the sender's umask
        Child first(helper("send", kStream, 1000, {f}));
        ::umask(022);
        auto r = receive(before.handle, 10000);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(r->intact);
        firstSession = r->info.sessionId;
        struct stat st {};
        const int fd = ::shm_open(segmentName(kStream).c_str(), O_RDONLY, 0);
        ASSERT_EQ(::fstat(fd, &st), 0);
        ::close(fd);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_uid, ::geteuid());

        EXPECT_EQ(kivSetDestAddress(second.handle, nullptr, kStream), KIV_ERROR_BUSY);
        EXPECT_NE(std::string(kivLastErrorDetail()).find("pid " + std::to_string(first.pid())), std::string::npos)
            << kivLastErrorDetail();
        EXPECT_EQ(kivEncode(second.handle, makeFrame(0, f).data()), KIV_ERROR_STATE);

        ASSERT_EQ(::kill(first.pid(), SIGTERM), 0);
        const int status = first.wait();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_FALSE(segmentExists(kStream)); // a clean exit takes the segment with it
    }

    constexpr uint32_t kGood = 6;
    Child dying(helper("die-mid-frame", kStream, kGood, {f}));
    const int status = dying.wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    // The last complete frame arrives, also at a receiver that starts only now;
    // the half-written one never does.
    Decoder after(kStream, 0);
    for (Decoder *d : {&before, &after}) {
        std::optional<Received> last;
        while (auto r = receive(d->handle, last && last->info.frameNumber == kGood - 1 ? 300 : 5000)) {
            if (r->info.sessionId == firstSession) continue; // left over from the first sender
            EXPECT_TRUE(r->intact);
            EXPECT_LT(r->info.frameNumber, kGood);
            last = r;
        }
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(last->info.frameNumber, kGood - 1);
    }

    // The dead sender's lock went with it: the refused sender takes the stream
    // over at once, and both receivers follow it.
    ASSERT_EQ(kivSetDestAddress(second.handle, nullptr, kStream), KIV_OK) << kivLastErrorDetail();
    ASSERT_EQ(kivEncode(second.handle, makeFrame(0, f).data()), KIV_OK);
    for (Decoder *d : {&before, &after}) {
        auto r = receive(d->handle, 5000);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(r->intact);
        EXPECT_EQ(r->info.frameNumber, 0u);
        EXPECT_NE(r->info.sessionId, 0x5eedu);
        EXPECT_NE(r->info.sessionId, firstSession);
        EXPECT_EQ(d->stats().framesMalformed, 0u);
    }
}

} // namespace
} // namespace kivtest
