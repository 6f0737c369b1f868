// Local (Memory): the API in one process, senders in child processes that exit, die or compete, and what
// other users, junk and dead senders leave in /dev/shm.
#include <fcntl.h>
#include <csignal>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>

#include "../net_support/net_test.hpp"
#include "child_process.hpp"
#include "transports/shm_segment.hpp"

namespace {

namespace shm = kiv::shm;
using namespace std::chrono_literals;
using nettest::Clock, nettest::Decoder, nettest::Encoder, nettest::stats, nettest::waitUntil;

// Bytes that depend on frame number and format: torn or mixed frames fail.
std::vector<uint8_t> makeFrame(uint32_t frame, const kivStreamFormat &f) {
    return nettest::pattern(uint64_t(f.width) << 32 ^ uint64_t(f.height) << 48 ^ uint64_t(f.depth) << 16, frame, kivGetByteSize(&f));
}
bool intact(const uint8_t *p, uint32_t frame, const kivStreamFormat &f) { return std::ranges::equal(makeFrame(frame, f), std::span(p, kivGetByteSize(&f))); }

Decoder memoryDecoder(int stream, int adaptive = 1) {
    Decoder d = nettest::startDecoder(KIV_PROTOCOL_MEMORY, stream);
    EXPECT_EQ(kivSetAdaptiveBuffer(d.get(), adaptive), KIV_OK);
    return d;
}
Encoder memoryEncoder(const kivStreamFormat &f) { return Encoder(kivGetEncoder(KIV_PROTOCOL_MEMORY, &f)); }

struct Received : nettest::Received { bool intact = false; };

// One frame within `timeoutMs`, and whether it arrived as it was sent.
std::optional<Received> receive(kivDecoder *d, int timeoutMs) {
    const auto r = nettest::receive(d, {}, std::chrono::milliseconds(timeoutMs));
    if (!r) return std::nullopt;
    return Received{*r, r->info.imageBytes == r->bytes.size() && intact(r->bytes.data(), r->info.frameNumber, r->format)};
}

std::string prefix(int stream) { return shm::segmentPrefix(::geteuid(), stream); }

std::vector<shm::SegmentFile> segments(int stream) { return shm::listSegments(prefix(stream)); }
// Descriptors this process holds of the stream's segments.
int held(int stream) {
    int n = 0;
    for (std::error_code ec; const auto &fd : std::filesystem::directory_iterator("/proc/self/fd"))
        n += std::filesystem::read_symlink(fd, ec).string().find(prefix(stream)) != std::string::npos;
    return n;
}
std::string onlySegment(int stream) {
    auto found = segments(stream);
    return found.size() == 1 ? std::string(shm::kDir) + "/" + found[0].name : "";
}

volatile std::sig_atomic_t stopRequested = 0;

// Sends frames to stream args[0], cycling through the formats given, args[1] us apart, until SIGTERM or a minute.
KIV_TEST_CHILD(sender) {
    std::vector<kivStreamFormat> formats;
    for (size_t i = 2; i + 4 <= args.size(); i += 4) // width height depth orientation
        formats.push_back({uint16_t(std::stoi(args[i])), uint16_t(std::stoi(args[i + 1])),
                           uint16_t(std::stoi(args[i + 2])), uint16_t(std::stoi(args[i + 3]))});
    if (formats.empty()) return 64;
    const long intervalUs = std::stol(args.at(1));
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_MEMORY, &formats[0]);
    if (kivSetDestAddress(enc, nullptr, std::stoi(args.at(0))) != KIV_OK) return 3;
    for (uint32_t frame = 0, end = uint32_t(::time(nullptr)) + 60; !stopRequested && ::time(nullptr) < end; ++frame) {
        const kivStreamFormat &f = formats[frame % formats.size()];
        if (formats.size() > 1 && kivSetDestFormat(enc, &f, 0, 0) != KIV_OK) return 4;
        if (kivEncode(enc, makeFrame(frame, f).data()) != KIV_OK) return 5;
        if (intervalUs > 0) ::usleep(useconds_t(intervalUs));
    }
    return kivDeleteEncoder(enc) == KIV_OK ? 0 : 6;
}

kivtest::Spawn sending(int stream, long intervalUs, const std::vector<kivStreamFormat> &formats) {
    kivtest::Spawn s{"sender", {std::to_string(stream), std::to_string(intervalUs)}};
    for (const kivStreamFormat &f : formats)
        for (const uint16_t v : {f.width, f.height, f.depth, f.orientation}) s.args.push_back(std::to_string(v));
    return s;
}

TEST(Api, RealEncoderToDecoderInBothBufferModes) {
    const kivStreamFormat f{33, 5, KIV_DEPTH_16, 7}, badDepth{32, 8, 4, 1}, tooBig{65535, 65535, KIV_DEPTH_32, 1};
    const uint64_t n = kivGetByteSize(&f);
    // The newest frame, or in order but at most 4 behind; frames passed over are counted as dropped.
    const std::tuple<int, int, std::vector<uint32_t>, uint64_t> cases[] = {{20022, 1, {5}, 4}, {20023, 0, {2, 3, 4, 5}, 1}};
    for (const auto &[stream, adaptive, expected, dropped] : cases) {
        SCOPED_TRACE("adaptive " + std::to_string(adaptive));
        const Decoder dec = memoryDecoder(stream, adaptive);
        const Encoder enc = memoryEncoder(f);
        EXPECT_EQ(kivEncode(enc.get(), makeFrame(0, f).data()), KIV_ERROR_STATE); // no destination yet
        ASSERT_EQ(kivSetDestAddress(enc.get(), "ignored", stream), KIV_OK);
        // Each refused format leaves the last good one in force.
        for (auto [compress, level] : {std::pair{2, 0}, {-1, 0}, {0, -1}, {0, 101}})
            EXPECT_EQ(kivSetDestFormat(enc.get(), &f, compress, level), KIV_ERROR_INVALID_ARGUMENT) << compress << "," << level;
        EXPECT_EQ((std::array{kivSetDestFormat(enc.get(), &badDepth, 0, 0), kivSetDestFormat(enc.get(), &tooBig, 0, 0), kivSetDestFormat(enc.get(), nullptr, 0, 0)}),
                  (std::array{KIV_ERROR_INVALID_ARGUMENT, KIV_ERROR_TOO_LARGE, KIV_ERROR_INVALID_ARGUMENT}));
        // Once it has read a frame, the receiver is attached and has seen everything before it.
        ASSERT_EQ(kivEncode(enc.get(), makeFrame(0, f).data()), KIV_OK) << kivLastErrorDetail();
        auto first = receive(dec.get(), 5000);
        ASSERT_TRUE(first && first->intact && first->info.frameNumber == 0);
        for (uint32_t i = 1; i < 6; ++i) ASSERT_EQ(kivEncode(enc.get(), makeFrame(i, f).data()), KIV_OK);

        kivFrameInfo info{};
        EXPECT_EQ(kivGetRecvFrameInfo(dec.get(), &info), KIV_ERROR_STATE); // nothing locked
        auto *p = static_cast<uint8_t *>(const_cast<void *>(kivLockReadBuffer(dec.get(), 0)));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(kivLockReadBuffer(dec.get(), 0), nullptr); // one frame at a time
        EXPECT_EQ(kivGetRecvFrameInfo(dec.get(), nullptr), KIV_ERROR_INVALID_ARGUMENT);
        ASSERT_EQ(kivGetRecvFrameInfo(dec.get(), &info), KIV_OK);
        EXPECT_TRUE(intact(p, info.frameNumber, f));
        EXPECT_EQ((std::array<uint64_t, 2>{kivGetRecvOrientation(dec.get()), kivGetCompressedFrameSize(dec.get())}), (std::array<uint64_t, 2>{7, n})); // orientation unchanged
        EXPECT_EQ((std::array{kivUnlockReadBuffer(dec.get()), kivUnlockReadBuffer(dec.get())}), (std::array{KIV_OK, KIV_ERROR_STATE}));
        EXPECT_NE(info.sessionId, 0u);
        std::vector<uint32_t> got{info.frameNumber};
        while (auto r = receive(dec.get(), 0)) {
            EXPECT_TRUE(r->intact && r->info.sessionId == info.sessionId && r->info.sendTimeUs <= r->info.receiveTimeUs &&
                        r->info.transferBytes == n) << r->info.frameNumber;
            got.push_back(r->info.frameNumber);
        }
        EXPECT_EQ(got, expected);
        // Nothing new from a live sender: the receiver sleeps on the segment's signal for the whole wait, and does not spin.
        const auto cpu = std::clock();
        const auto idleSince = Clock::now();
        EXPECT_TRUE(!kivLockReadBuffer(dec.get(), 300) && Clock::now() - idleSince >= 300ms && double(std::clock() - cpu) / CLOCKS_PER_SEC < 0.1);
        const kivDecoderStats s = stats(dec.get());
        const kivEncoderStats es = stats(enc.get());
        EXPECT_EQ((std::vector{s.framesReceived, s.framesDelivered, s.framesDropped, s.bytesReceived}),
                  (std::vector<uint64_t>{6, 1 + expected.size(), dropped, (1 + expected.size()) * n}));
        EXPECT_EQ((std::vector{es.framesEncoded, es.framesSent, es.bytesSent}), (std::vector<uint64_t>{6, 6, 6 * n}));
        // A receiver started on a running sender counts from the frame already there (5), read or passed over.
        const Decoder late = memoryDecoder(stream, adaptive);
        for (uint32_t i = 6; i < 9; ++i) ASSERT_EQ(kivEncode(enc.get(), makeFrame(i, f).data()), KIV_OK);
        while (receive(late.get(), 100)) {}
        EXPECT_EQ(stats(late.get()).framesDropped + stats(late.get()).framesDelivered, 4u);
    }
}

TEST(CrossProcess, EveryDepthAndOddWidthArrivesByteForByteWhileTheFormatChanges) {
    constexpr int kStream = 20001;
    // The sender changes format on every frame; the segment grows but never shrinks under the reader.
    std::vector<kivStreamFormat> formats = {{1, 1, KIV_DEPTH_24, 1}, {0, 5, KIV_DEPTH_32, 1}, {640, 480, KIV_DEPTH_32, 1}};
    for (uint16_t d : {KIV_DEPTH_8, KIV_DEPTH_16, KIV_DEPTH_24, KIV_DEPTH_32})
        formats.insert(formats.end(), {{320, 240, d, 1}, {33, 7, d, 1}});
    const Decoder dec = memoryDecoder(kStream, 0);
    kivtest::Process sender(sending(kStream, 1000, formats));
    kiv::UniqueFd fd;
    off_t size = 0;
    std::map<std::tuple<int, int, int>, int> seen;
    size_t corrupt = 0, twice = 0;
    const bool all = waitUntil([&] {
        if (auto r = receive(dec.get(), 20)) {
            if (!r->intact) ++corrupt;
            else if (++seen[{r->format.width, r->format.height, r->format.depth}] == 2) ++twice;
            if (!fd) fd = kiv::UniqueFd(::open(onlySegment(kStream).c_str(), O_RDONLY | O_CLOEXEC));
            struct stat st {};
            EXPECT_TRUE(::fstat(fd.get(), &st) == 0 && st.st_size >= size) << st.st_size << " after " << size;
            EXPECT_GE(uint64_t(st.st_size), shm::kHeaderBytes + shm::kSlotCount * (kiv::kWireHeaderSize + r->info.imageBytes));
            size = st.st_size;
        }
        return twice == formats.size();
    }, 20s);
    sender.signal(SIGTERM), sender.wait(10s); // a clean exit takes the segment with it
    EXPECT_TRUE(all) << twice << " of " << formats.size() << " formats seen twice";
    EXPECT_EQ(std::pair(corrupt, stats(dec.get()).framesMalformed), std::pair(size_t(0), uint64_t(0)));
}

TEST(CrossProcess, NoTornOrMixedFrameReachesAnyOfSeveralReceiversUnderLoad) {
    constexpr int kStream = 20002, kReaders = 4, kFrames = 3000;
    // Small frames: the sender laps the slots within a time slice, so a preempted copy meets a rewrite.
    const kivStreamFormat f{256, 64, KIV_DEPTH_32, 1};
    std::vector<Decoder> decoders;
    for (int i = 0; i < kReaders; ++i) decoders.push_back(memoryDecoder(kStream));
    kivtest::Process sender(sending(kStream, 0, {f}));
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([&, i] {
            int good = 0;
            for (auto end = Clock::now() + 60s; good < kFrames && Clock::now() < end;)
                if (auto r = receive(decoders[i].get(), 100)) r->intact && r->format.width == f.width ? ++good : ++bad;
            EXPECT_EQ(std::pair(good, stats(decoders[i].get()).framesMalformed), std::pair(kFrames, uint64_t(0)));
        });
    for (std::thread &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    sender.signal(SIGTERM), sender.wait(10s);
}

// One stream's life: a receiver waiting before any sender, a second sender refused, a clean exit,
// a sender killed (SIGKILL) whose frames then reach no one, and the next sender.
TEST(CrossProcess, ReceiversFollowEverySenderOfAStreamAndNothingOfADeadOne) {
    constexpr int kStream = 20003;
    const kivStreamFormat f{640, 480, KIV_DEPTH_24, 1};
    const Decoder before = memoryDecoder(kStream, 0);
    EXPECT_EQ(kivLockReadBuffer(before.get(), 0), nullptr);
    const Encoder second = memoryEncoder(f);
    uint64_t firstSession = 0;
    {
        ::umask(0); // the segment's mode must not depend on the sender's umask
        kivtest::Process first(sending(kStream, 1000, {f}));
        ::umask(022);
        ASSERT_NE(kivLockReadBuffer(before.get(), 10000), nullptr); // woken by the segment's name, not by the deadline
        kivUnlockReadBuffer(before.get());
        auto r = receive(before.get(), 10000);
        ASSERT_TRUE(r && r->intact);
        firstSession = r->info.sessionId;
        struct stat st {};
        ASSERT_EQ(::stat(onlySegment(kStream).c_str(), &st), 0);
        EXPECT_EQ(std::pair(st.st_mode & 07777, st.st_uid), std::pair(0600u, ::geteuid())); // mode, owner

        EXPECT_EQ(kivSetDestAddress(second.get(), nullptr, kStream), KIV_ERROR_BUSY);
        EXPECT_NE(std::string(kivLastErrorDetail()).find("pid " + std::to_string(first.pid())), std::string::npos)
            << kivLastErrorDetail();
        EXPECT_EQ(kivEncode(second.get(), makeFrame(0, f).data()), KIV_ERROR_STATE);

        first.signal(SIGTERM);
        ASSERT_EQ(first.exitCode(10s), 0);
        EXPECT_TRUE(segments(kStream).empty()); // a clean exit takes the segment with it
    }

    kivtest::Process dying(sending(kStream, 1000, {f}));
    {
        auto r = receive(before.get(), 5000);
        ASSERT_TRUE(r && r->intact && r->info.sessionId != firstSession);
    }
    ASSERT_EQ(::kill(dying.pid(), SIGKILL), 0);
    ASSERT_TRUE(WIFSIGNALED(dying.wait(10s).value_or(0)));
    // Its newest frame is no news, to a receiver started now or to one that was there.
    const Decoder after = memoryDecoder(kStream, 0);
    for (const Decoder *d : {&before, &after}) EXPECT_EQ(receive(d->get(), 300), std::nullopt);
    EXPECT_EQ(held(kStream), 0) << "its memory must go once its name does";

    // The next sender removes the dead one's segment, and both receivers follow.
    ASSERT_EQ(kivSetDestAddress(second.get(), nullptr, kStream), KIV_OK) << kivLastErrorDetail();
    EXPECT_EQ(segments(kStream).size(), 1u);
    EXPECT_EQ(kivLockReadBuffer(after.get(), 100), nullptr); // on the new segment before its first frame
    ASSERT_EQ(kivEncode(second.get(), makeFrame(0, f).data()), KIV_OK);
    for (const Decoder *d : {&before, &after}) {
        auto r = receive(d->get(), 5000);
        EXPECT_TRUE(r && r->intact && r->info.frameNumber == 0 && stats(d->get()).framesMalformed == 0);
    }
    EXPECT_EQ(stats(after.get()).framesReceived, 1u); // the segment's first frame, none before it
}

// Seen from the segment: every write moves its slot's sequence to a new even value, so a reader that
// began before it cannot pass its check; and no mapping outlives a layout grown past it, or the sender.
TEST(Segment, EachWriteMovesItsSlotForwardAndNoMappingIsLeftBehind) {
    constexpr int kStream = 20034;
    shm::SegmentOwner owner;
    ASSERT_EQ(owner.open(kStream), KIV_OK);
    const auto files = segments(kStream);
    ASSERT_EQ(files.size(), 1u);
    auto mappings = [inode = " " + std::to_string(files[0].st.st_ino) + " "] {
        std::ifstream maps("/proc/self/maps");
        int n = 0;
        for (std::string line; std::getline(maps, line);) n += line.find(inode) != std::string::npos;
        return n;
    };
    auto seqs = [&] {
        std::array<uint64_t, shm::kMaxSlots> s{};
        for (uint32_t i = 0; i < shm::kMaxSlots; ++i)
            ::pread(files[0].fd.get(), &s[i], 8, off_t(shm::off::slots + i * shm::off::slotStride + shm::off::slotSeq));
        return s;
    };
    auto generation = [&] { uint64_t g = 0; return ::pread(files[0].fd.get(), &g, 8, shm::off::generation) == 8 ? g : 0; };
    for (const uint64_t bytes : {100, 100000, 100, 3000000}) // grows twice
        for (uint32_t i = 0; i <= shm::kSlotCount; ++i) {
            const auto before = seqs();
            const uint64_t layout = generation();
            ASSERT_FALSE(owner.beginFrame(bytes).empty());
            owner.commitFrame();
            const auto after = seqs();
            int moved = 0, changed = 0; // a new layout changes every slot's number: copies begun under the old one fail
            for (uint32_t slot = 0; slot < shm::kSlotCount; ++slot)
                changed += after[slot] != before[slot], moved += after[slot] > before[slot] && after[slot] % 2 == 0;
            EXPECT_EQ(std::tuple(moved, changed, mappings()), std::tuple(1, generation() == layout ? 1 : int(shm::kSlotCount), 1))
                << bytes << " bytes, frame " << i;
        }
    EXPECT_EQ(generation(), 4u); // 1 at creation, then one more per layout: the first and two grown ones
    owner.close();
    EXPECT_TRUE(mappings() == 0 && segments(kStream).empty());
}

// What is left under a stream's names in /dev/shm: by another user (uid 65534), by a dead sender, or junk of our own,
// with (`live`) or without a process holding it as a sender would. Receivers take a frame from it only if it is ours,
// private, live and valid, and count what is ours and live but bad; it stops no sender once nothing holds it, and the
// sender removes what is ours.
struct Leftover {
    const char *name;
    const char *suffix;  // after the stream's prefix; nullptr: the bare "kivvs2-<uid>-<stream>"
    const char *content; // a corpus file, or nullptr for a directory
    bool otherUser, live;
    mode_t mode;
    bool frame, malformed;
};

// Corpus files as written by a sender, in a live 0600 segment unless said otherwise.
const Leftover leftovers[] = {
    {"OtherUsersFileAtTheBareName", nullptr, "valid_8x4_grey", true, false, 0666, false, false},
    {"OtherUsersDirectoryUnderThePrefix", "0000000000000000", nullptr, true, false, 0, false, false},
    {"OtherUsersValidSegmentUnderThePrefix", "0000000000000001", "valid_8x4_grey", true, false, 0600, false, false},
    {"DeadSendersSegment", "0000000000000002", "valid_8x4_grey", false, false, 0600, false, false},
    {"LiveValidSlotsFilledExactly", "0000000000000003", "valid_5x3_rgb565_padded", false, true, 0600, true, false},
    {"LiveButReadableByOthers", "0000000000000004", "valid_8x4_grey", false, true, 0644, false, true},
    {"RandomHeader", "0000000000000005", "random_header", false, true, 0600, false, true},
    {"SlotOffsetFar", "0000000000000006", "slot_offset_far", false, true, 0600, false, true},
    {"SlotOffsetInHeader", "0000000000000007", "slot_offset_in_header", false, true, 0600, false, true},
    {"SlotOffsetMisaligned", "0000000000000008", "slot_offset_misaligned", false, true, 0600, false, true},
    {"SlotCapacityWraps", "0000000000000009", "slot_capacity_wraps", false, true, 0600, false, true},
    {"SlotCountTooBig", "000000000000000a", "slot_count_too_big", false, true, 0600, false, true},
    {"PayloadOverSlot", "000000000000000b", "payload_over_slot", false, true, 0600, false, true},
    {"SlotBeingWritten", "000000000000000c", "slot_odd_sequence", false, true, 0600, false, false},
    {"ShorterThanAHeader", "000000000000000d", "short", false, true, 0600, false, true},
    {"LiveButNeverOpened", "000000000000000e", "initialising", false, true, 0600, false, false},
    {"LiveValidWithTheMostSlots", "000000000000000f", "valid_5x3_rgb565_eight_slots", false, true, 0600, true, false},
};

class Leftovers : public ::testing::TestWithParam<Leftover> {};

TEST_P(Leftovers, NeverStopTheNextSenderNorReachAReceiverUnlessOursAndLive) {
    const Leftover &c = GetParam();
    const int stream = 20100 + int(std::find_if(std::begin(leftovers), std::end(leftovers), [&](auto &l) { return l.name == c.name; }) - leftovers);
    const std::string path = std::string(shm::kDir) + "/" + (c.suffix ? prefix(stream) + c.suffix : prefix(stream).substr(0, prefix(stream).size() - 1));
    const std::string corpus = std::string(KIV_SEGMENT_CORPUS) + "/" + (c.content ? c.content : "");
    // /dev/shm outlives a run: what an earlier run left, or another user's entry, goes.
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    const std::shared_ptr<void> cleanup(nullptr, [&](void *) { std::filesystem::remove_all(path, ignored); });
    kiv::UniqueFd held;
    if (c.otherUser) {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as uid 65534 through setpriv";
        const std::string make = c.content ? "cp " + corpus + " " : "mkdir ";
        ASSERT_EQ(std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups " + make + path).c_str()), 0);
        ASSERT_EQ(c.content ? ::chmod(path.c_str(), c.mode) : 0, 0); // as root: the file stays the other user's
    } else {
        std::ifstream in(corpus, std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        held = kiv::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        ASSERT_TRUE(held && !bytes.empty());
        ASSERT_EQ(::write(held.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ::fchmod(held.get(), c.mode);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        if (c.live) ASSERT_EQ(::fcntl(held.get(), F_OFD_SETLK, &lock), 0);
        else held.reset();
    }
    const Decoder dec = memoryDecoder(stream);
    EXPECT_EQ(receive(dec.get(), c.frame ? 5000 : 200).has_value(), c.frame);
    EXPECT_EQ(waitUntil([&] { return stats(dec.get()).framesMalformed >= 1; }, c.malformed ? 5s : 0s), c.malformed);
    held.reset();

    const kivStreamFormat f{40, 30, KIV_DEPTH_24, 1};
    const Encoder enc = nettest::startEncoder(KIV_PROTOCOL_MEMORY, f, nullptr, stream);
    ASSERT_EQ(kivEncode(enc.get(), makeFrame(0, f).data()), KIV_OK);
    auto r = receive(dec.get(), 5000);
    EXPECT_TRUE(r && r->intact && r->format.width == f.width);
    EXPECT_EQ(::access(path.c_str(), F_OK) == 0, c.otherUser) << "ours removed, another user's left alone";
}

INSTANTIATE_TEST_SUITE_P(InDevShm, Leftovers, ::testing::ValuesIn(leftovers), [](const auto &i) { return std::string(i.param.name); });

// Senders starting at once on one stream: exactly one goes on, every time.
TEST(Api, OfSendersStartingAtOnceOneGoesOn) {
    const kivStreamFormat f{8, 8, KIV_DEPTH_8, 1};
    for (int round = 0; round < 20; ++round) {
        std::vector<Encoder> encoders;
        for (int i = 0; i < 4; ++i) encoders.push_back(memoryEncoder(f));
        std::atomic<int> ready{0}, busy{0}, ok{0};
        std::vector<std::thread> threads;
        for (auto &e : encoders)
            threads.emplace_back([&, h = e.get()] {
                for (++ready; ready < 4;) std::this_thread::yield();
                const int rc = kivSetDestAddress(h, nullptr, 20091);
                ++(rc == KIV_OK ? ok : rc == KIV_ERROR_BUSY ? busy : ready);
            });
        for (std::thread &t : threads) t.join();
        EXPECT_EQ(std::pair(ok.load(), busy.load()), std::pair(1, 3)) << "round " << round;
    }
}

} // namespace
