// SPDX-License-Identifier: MIT
// Local (Memory): the API in one process, senders in child processes that exit, die or compete, and what
// other users, junk and dead senders leave in /dev/shm.
#include <fcntl.h>
#include <csignal>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <vector>

#include "net_test.hpp"
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

Decoder memoryDecoder(int stream, int adaptive = 1) { return nettest::startDecoder(KIV_PROTOCOL_MEMORY, stream, adaptive); }
Encoder memoryEncoder(const kivStreamFormat &f) { return Encoder(kivGetEncoder(KIV_PROTOCOL_MEMORY, &f)); }

// One frame within `timeoutMs`, which must have arrived as it was sent.
std::optional<nettest::Received> receive(kivDecoder *d, int timeoutMs) {
    auto r = nettest::receive(d, {}, std::chrono::milliseconds(timeoutMs));
    if (r) { EXPECT_TRUE(intact(r->bytes.data(), r->info.frameNumber, r->format)) << "frame " << r->info.frameNumber << " torn or mixed"; }
    return r;
}

std::string prefix(int stream) { return shm::segmentPrefix(::geteuid(), stream); }

std::vector<shm::SegmentFile> segments(int stream) { return shm::listSegments(prefix(stream)); }
// Slots of the stream's segment that some reader holds.
int heldSlots(int stream) {
    const auto files = segments(stream);
    std::array<uint64_t, shm::kMaxSlots> masks{}; // a short file holds none past its end
    if (files.size() == 1 && ::pread(files[0].fd.get(), masks.data(), sizeof masks, off_t(shm::off::holds)) < 0) return -1;
    return int(std::count_if(masks.begin(), masks.end(), [](uint64_t mask) { return mask != 0; }));
}
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

// Sends frames of the format args[2..5] to stream args[0], args[1] us apart, until SIGTERM or a minute.
KIV_TEST_CHILD(sender) {
    const auto arg = [&](size_t i) { return uint16_t(std::stoi(args.at(i))); };
    const kivStreamFormat f{arg(2), arg(3), arg(4), arg(5)};
    const long intervalUs = std::stol(args.at(1));
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    kivEncoder *enc = kivGetEncoder(KIV_PROTOCOL_MEMORY, &f);
    if (kivSetDestAddress(enc, nullptr, std::stoi(args.at(0))) != KIV_OK) return 3;
    for (uint32_t frame = 0, end = uint32_t(::time(nullptr)) + 60; !stopRequested && ::time(nullptr) < end; ++frame) {
        if (kivEncode(enc, makeFrame(frame, f).data()) != KIV_OK) return 5;
        if (intervalUs > 0) ::usleep(useconds_t(intervalUs));
    }
    return kivDeleteEncoder(enc) == KIV_OK ? 0 : 6;
}

kivtest::Spawn sending(int stream, long intervalUs, const kivStreamFormat &f) {
    return {"sender", {std::to_string(stream), std::to_string(intervalUs), std::to_string(f.width), std::to_string(f.height),
                       std::to_string(f.depth), std::to_string(f.orientation)}};
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
        ASSERT_EQ(kivSetDestAddress(enc.get(), "ignored", stream), KIV_OK);
        // Each refused format leaves the last good one in force.
        for (auto [compress, level] : {std::pair{2, 0}, {-1, 0}, {0, -1}, {0, 101}})
            EXPECT_EQ(kivSetDestFormat(enc.get(), &f, compress, level), KIV_ERROR_INVALID_ARGUMENT) << compress << "," << level;
        EXPECT_EQ((std::array{kivSetDestFormat(enc.get(), &badDepth, 0, 0), kivSetDestFormat(enc.get(), &tooBig, 0, 0), kivSetDestFormat(enc.get(), nullptr, 0, 0)}),
                  (std::array{KIV_ERROR_INVALID_ARGUMENT, KIV_ERROR_TOO_LARGE, KIV_ERROR_INVALID_ARGUMENT}));
        // Once it has read a frame, the receiver is attached and has seen everything before it.
        ASSERT_EQ(kivEncode(enc.get(), makeFrame(0, f).data()), KIV_OK) << kivLastErrorDetail();
        auto first = receive(dec.get(), 5000);
        ASSERT_TRUE(first);
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
        std::vector<uint32_t> got{info.frameNumber};
        while (auto r = receive(dec.get(), 0)) {
            EXPECT_EQ(r->info.sessionId, info.sessionId) << r->info.frameNumber;
            EXPECT_LE(r->info.sendTimeUs, r->info.receiveTimeUs) << r->info.frameNumber;
            EXPECT_EQ(r->info.transferBytes, n) << r->info.frameNumber;
            got.push_back(r->info.frameNumber);
        }
        EXPECT_EQ(got, expected);
        // Nothing new from a live sender: the receiver sleeps on the segment's signal for the whole wait, and does not spin.
        const auto cpu = std::clock();
        const auto idleSince = Clock::now();
        EXPECT_EQ(kivLockReadBuffer(dec.get(), 300), nullptr);
        EXPECT_GE(std::chrono::duration<double>(Clock::now() - idleSince).count(), 0.3);
        EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.1);
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
        // A new format on every frame, of every depth and odd widths, the segment growing under the receiver.
        off_t size = 0;
        uint32_t number = 9;
        for (const kivStreamFormat &g : {kivStreamFormat{1, 1, KIV_DEPTH_24, 1}, {0, 5, KIV_DEPTH_32, 1}, {640, 480, KIV_DEPTH_32, 1},
                                         {33, 7, KIV_DEPTH_8, 1}, {321, 240, KIV_DEPTH_24, 1}, {320, 240, KIV_DEPTH_16, 1}}) {
            ASSERT_EQ(kivSetDestFormat(enc.get(), &g, 0, 0), KIV_OK);
            ASSERT_EQ(kivEncode(enc.get(), makeFrame(number++, g).data()), KIV_OK);
            const auto r = receive(late.get(), 5000);
            EXPECT_EQ(r ? std::optional(r->info.frameNumber) : std::nullopt, number - 1);
            struct stat st {};
            EXPECT_EQ(::stat(onlySegment(stream).c_str(), &st), 0);
            EXPECT_GE(st.st_size, std::exchange(size, st.st_size)); // grown, never shrunk under the receiver
        }
    }
}

// A queued reader holding a slot costs the oldest frames the sender has, never the newest.
TEST(Api, AHeldSlotCostsTheOldestFramesNotTheNewest) {
    const kivStreamFormat f{16, 4, KIV_DEPTH_32, 1};
    const Decoder dec = memoryDecoder(20024, 0);
    const Encoder enc = nettest::startEncoder(KIV_PROTOCOL_MEMORY, f, nullptr, 20024);
    ASSERT_EQ(kivEncode(enc.get(), makeFrame(0, f).data()), KIV_OK);
    ASSERT_NE(kivLockReadBuffer(dec.get(), 5000), nullptr) << kivLastErrorDetail();
    for (uint32_t i = 1; i < 6; ++i) ASSERT_EQ(kivEncode(enc.get(), makeFrame(i, f).data()), KIV_OK);
    ASSERT_EQ(kivUnlockReadBuffer(dec.get()), KIV_OK);
    std::vector<uint32_t> got;
    while (auto r = receive(dec.get(), 0)) got.push_back(r->info.frameNumber);
    EXPECT_EQ(got, (std::vector<uint32_t>{3, 4, 5}));
}

// JPEG frames still being compressed or queued when the destination changes never reach the new one: on memory the
// sending thread compresses them, on TCP they also wait for a receiver that refused.
TEST(Api, AFrameInFlightWhenTheStreamChangesStaysOffTheNewStream) {
    const kivStreamFormat f{511, 511, KIV_DEPTH_32, 1}; // under 512x512: the sending thread compresses it
    const struct { int protocol; const char *address; } cases[] = {{KIV_PROTOCOL_MEMORY, nullptr}, {KIV_PROTOCOL_TCP, "127.0.0.1"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.protocol);
        const Encoder enc = nettest::startEncoder(c.protocol, f, c.address, 20061);
        ASSERT_EQ(kivSetDestFormat(enc.get(), &f, 1, 0), KIV_OK);
        for (uint32_t i = 0; i < 2; ++i) ASSERT_EQ(kivEncode(enc.get(), makeFrame(i, f).data()), KIV_OK);
        const Decoder dec = nettest::startDecoder(c.protocol, 20062, 0);
        ASSERT_EQ(kivSetDestAddress(enc.get(), c.address, 20062), KIV_OK) << kivLastErrorDetail();
        ASSERT_TRUE(waitUntil([&] { return kivGetEncoderLink(enc.get()) == KIV_LINK_UP; }));
        ASSERT_EQ(kivEncode(enc.get(), makeFrame(2, f).data()), KIV_OK);
        const auto first = nettest::receive(dec.get(), {}, 5s);
        EXPECT_EQ(first ? std::optional(first->info.frameNumber) : std::nullopt, 2u);
    }
}

TEST(CrossProcess, NoTornOrMixedFrameReachesAnyOfSeveralReceiversUnderLoad) {
    constexpr int kStream = 20002, kReaders = 4, kFrames = 3000;
    // Small frames: the sender laps the slots within a time slice, so a preempted copy meets a rewrite.
    const kivStreamFormat f{256, 64, KIV_DEPTH_32, 1};
    std::vector<Decoder> decoders;
    for (int i = 0; i < kReaders; ++i) decoders.push_back(memoryDecoder(kStream));
    kivtest::Process sender(sending(kStream, 0, f));
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([&, i] {
            int received = 0;
            for (auto end = Clock::now() + 60s; received < kFrames && Clock::now() < end;) received += receive(decoders[i].get(), 100).has_value();
            EXPECT_EQ(received, kFrames);
            EXPECT_EQ(stats(decoders[i].get()).framesMalformed, 0u);
        });
    for (std::thread &t : readers) t.join();
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
        kivtest::Process first(sending(kStream, 1000, f));
        ::umask(022);
        ASSERT_NE(kivLockReadBuffer(before.get(), 10000), nullptr); // woken by the segment's name, not by the deadline
        kivUnlockReadBuffer(before.get());
        auto r = receive(before.get(), 10000);
        ASSERT_TRUE(r);
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

    kivtest::Process dying(sending(kStream, 1000, f));
    {
        auto r = receive(before.get(), 5000);
        ASSERT_TRUE(r);
        EXPECT_NE(r->info.sessionId, firstSession);
    }
    ASSERT_EQ(::kill(dying.pid(), SIGKILL), 0);
    ASSERT_TRUE(WIFSIGNALED(dying.wait(10s).value_or(0)));
    // Its newest frame is no news to a receiver that was there.
    EXPECT_EQ(receive(before.get(), 300), std::nullopt);
    EXPECT_EQ(held(kStream), 0) << "its memory must go once its name does";

    // The next sender: the receiver follows, and reads in place as before.
    ASSERT_EQ(kivSetDestAddress(second.get(), nullptr, kStream), KIV_OK) << kivLastErrorDetail();
    ASSERT_EQ(kivEncode(second.get(), makeFrame(0, f).data()), KIV_OK);
    const auto *frame = static_cast<const uint8_t *>(kivLockReadBuffer(before.get(), 5000));
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(intact(frame, 0, f));
    EXPECT_EQ(heldSlots(kStream), 1);
    kivUnlockReadBuffer(before.get());
    EXPECT_EQ(stats(before.get()).framesMalformed, 0u) << "senders that close or die leave nothing malformed";
}

// Big frames go in with streaming stores from the first 16-byte boundary of the slot: every byte must land, at any
// alignment, on both sides of the size where that starts.
TEST(Segment, CopyIntoSlotLandsEveryByteAtAnyAlignmentAndSize) {
    const struct { size_t bytes, slotOffset, frameOffset; } cases[] = {
        {1, 0, 0},
        {shm::kStreamingCopyBytes - 1, 3, 0},
        {shm::kStreamingCopyBytes, 0, 0},
        {shm::kStreamingCopyBytes, 0, 5},
        {shm::kStreamingCopyBytes + 77, 1, 0},
        {shm::kStreamingCopyBytes + 63, 15, 9},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes, slot +" << c.slotOffset << ", frame +" << c.frameOffset);
        std::vector<uint8_t> frame(c.bytes + c.frameOffset), slot(c.bytes + c.slotOffset + 1, 0xee);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 131 + (i >> 8));
        shm::copyIntoSlot(slot.data() + c.slotOffset, frame.data() + c.frameOffset, c.bytes);
        EXPECT_EQ(std::memcmp(slot.data() + c.slotOffset, frame.data() + c.frameOffset, c.bytes), 0);
        EXPECT_EQ(slot[c.slotOffset + c.bytes], 0xee) << "a byte after the frame";
    }
}

// A wake that lands between a waiter's last look at its word and its sleep is not lost: the sleep ends at
// once rather than after its timeout.
TEST(Segment, AWakeJustBeforeTheSleepEndsIt) {
    alignas(4) std::array<uint8_t, shm::off::signal + 4> map{}; // a segment's signal word, never signalled
    std::atomic<uint32_t> wake{0};
    constexpr int64_t kTimeoutUs = 5'000'000;
    for (const bool segmentToo : {false, true}) {
        SCOPED_TRACE(segmentToo ? "on the segment's word too" : "on its own word");
        const uint32_t seen = wake.load();
        shm::wakeWaiter(wake);
        const auto start = Clock::now();
        if (segmentToo)
            shm::waitSignalOrWake(map.data(), 0, wake, seen, kTimeoutUs);
        else
            shm::sleepOnWake(wake, seen, kTimeoutUs);
        EXPECT_LT(Clock::now() - start, 2s);
    }
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
    uint64_t largest = 0;
    for (const uint64_t bytes : {100, 100000, 100, 3000000}) // a first layout, then grown twice
        for (uint32_t i = 0; i <= shm::kSlotCount; ++i) {
            SCOPED_TRACE(::testing::Message() << bytes << " bytes, frame " << i);
            const bool newLayout = bytes > std::exchange(largest, std::max(largest, bytes));
            const auto before = seqs();
            std::span<uint8_t> slot;
            ASSERT_EQ(owner.beginFrame(bytes, slot), KIV_OK);
            owner.commitFrame();
            const auto after = seqs();
            int moved = 0, changed = 0; // a new layout changes every slot's number: copies begun under the old one fail
            for (uint32_t slot = 0; slot < shm::kSlotCount; ++slot)
                changed += after[slot] != before[slot], moved += after[slot] > before[slot] && after[slot] % 2 == 0;
            EXPECT_EQ(moved, 1);
            EXPECT_EQ(changed, newLayout ? int(shm::kSlotCount) : 1);
            EXPECT_EQ(mappings(), 1);
        }
    owner.close();
    EXPECT_EQ(mappings(), 0);
}

// What is left under a stream's names in /dev/shm: by another user (uid 65534), by a dead sender, or junk of our own,
// with (`live`) or without a process holding it as a sender would. Receivers read only what is ours, private, live and
// valid, and count what is ours and live but bad. It stops no sender once nothing holds it; the sender removes ours.
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
    {"SlotCapacityUnderAHeader", "0000000000000011", "slot_capacity_under_header", false, true, 0600, false, true},
    {"PayloadOverSlot", "000000000000000b", "payload_over_slot", false, true, 0600, false, true},
    {"SlotBeingWritten", "000000000000000c", "slot_odd_sequence", false, true, 0600, false, false},
    {"ShorterThanAHeader", "000000000000000d", "short", false, true, 0600, false, true},
    {"LiveButNeverOpened", "000000000000000e", "initialising", false, true, 0600, false, false},
    {"LiveValidWithTheMostSlots", "000000000000000f", "valid_5x3_rgb565_eight_slots", false, true, 0600, true, false},
    {"PayloadOverASlotReadInPlace", "0000000000000010", "payload_over_held_slot", false, true, 0600, false, true},
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
        ASSERT_TRUE(held) << path << ": " << std::strerror(errno);
        ASSERT_FALSE(bytes.empty()) << corpus << " is empty or missing";
        ASSERT_EQ(::write(held.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ::fchmod(held.get(), c.mode);
        const struct flock lock {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = shm::kReaderLockBase, .l_pid = 0};
        if (c.live) { ASSERT_EQ(::fcntl(held.get(), F_OFD_SETLK, &lock), 0); }
        else held.reset();
    }
    const int heldAtFirst = heldSlots(stream); // junk may look held
    const Decoder dec = memoryDecoder(stream);
    const auto cpu = std::clock(); // what is not ready yet is waited for asleep
    EXPECT_EQ(nettest::receive(dec.get(), {}, c.frame ? 5s : 200ms).has_value(), c.frame); // the corpus's own bytes
    EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.05) << "s of CPU: the reader spins";
    EXPECT_EQ(waitUntil([&] { return stats(dec.get()).framesMalformed >= 1; }, c.malformed ? 5s : 0s), c.malformed);
    if (kivLockReadBuffer(dec.get(), 0)) kivUnlockReadBuffer(dec.get()); // one more look at it
    EXPECT_EQ(stats(dec.get()).framesMalformed, uint64_t(c.malformed)) << "counted once per file, not once per look";
    EXPECT_EQ(heldSlots(stream), heldAtFirst) << "a slot the reader could not take is let go";
    held.reset();

    const kivStreamFormat f{40, 30, KIV_DEPTH_24, 1};
    const Encoder enc = nettest::startEncoder(KIV_PROTOCOL_MEMORY, f, nullptr, stream);
    ASSERT_EQ(kivEncode(enc.get(), makeFrame(0, f).data()), KIV_OK);
    EXPECT_TRUE(receive(dec.get(), 5000)) << "no frame from the next sender";
    EXPECT_EQ(::access(path.c_str(), F_OK) == 0, c.otherUser) << "ours removed, another user's left alone";
}

INSTANTIATE_TEST_SUITE_P(InDevShm, Leftovers, ::testing::ValuesIn(leftovers), [](const auto &i) { return std::string(i.param.name); });

// Locks the newest frame of stream args[0] and holds it until killed.
KIV_TEST_CHILD(holder) {
    kivDecoder *d = kivGetDecoder(KIV_PROTOCOL_MEMORY, nullptr);
    if (kivSetSourceAddress(d, std::stoi(args.at(0))) != KIV_OK || !kivLockReadBuffer(d, 5000)) return 3;
    ::sleep(60);
    return 4;
}

// Readers hold the slots they were handed: the sender never writes into a held slot (nor lays out
// bigger slots over one) and never waits for it, it drops the frame and counts it; a dead reader's holds
// do not count. Other readers still read a held frame; once let go, frames flow again.
struct Holding {
    const char *name;
    int stream;
    uint32_t holders;
    bool die, grow;
    uint64_t dropped;
    std::optional<uint32_t> newest; // what another reader gets then: a held frame is shared
};
const Holding holdings[] = {
    {"LiveReadersOnEverySlot", 20040, shm::kSlotCount, false, false, 1, shm::kSlotCount - 1},
    {"DeadReadersOnEverySlot", 20041, shm::kSlotCount, true, false, 0, shm::kSlotCount},
    {"ALiveReaderAcrossALargerFormat", 20042, 1, false, true, 1, std::nullopt},
};

class Holds : public ::testing::TestWithParam<Holding> {};

TEST_P(Holds, NeitherStopNorTearAndEndWithTheReader) {
    const Holding &c = GetParam();
    const kivStreamFormat f{64, 48, KIV_DEPTH_32, 1}, larger{640, 480, KIV_DEPTH_32, 1};
    const Encoder enc = nettest::startEncoder(KIV_PROTOCOL_MEMORY, f, nullptr, c.stream);
    std::vector<Decoder> holders;
    std::vector<const uint8_t *> held;
    std::vector<std::unique_ptr<kivtest::Process>> children; // all hold at once, then all die
    for (uint32_t i = 0; i < c.holders; ++i) {
        ASSERT_EQ(kivEncode(enc.get(), makeFrame(i, f).data()), KIV_OK);
        if (c.die) {
            children.push_back(std::make_unique<kivtest::Process>(kivtest::Spawn{"holder", {std::to_string(c.stream)}}));
            ASSERT_TRUE(waitUntil([&] { return heldSlots(c.stream) == int(i + 1); }, 10s)) << "frame " << i;
            continue;
        }
        holders.push_back(memoryDecoder(c.stream));
        held.push_back(static_cast<const uint8_t *>(kivLockReadBuffer(holders.back().get(), 5000)));
        ASSERT_NE(held.back(), nullptr) << "frame " << i;
    }
    for (auto &child : children) {
        child->signal(SIGKILL);
        EXPECT_EQ(child->exitCode(), 128 + SIGKILL);
    }
    const kivStreamFormat g = c.grow ? larger : f;
    ASSERT_EQ(kivSetDestFormat(enc.get(), &g, 0, 0), KIV_OK);
    EXPECT_EQ(kivEncode(enc.get(), makeFrame(c.holders, g).data()), KIV_OK);
    EXPECT_EQ(stats(enc.get()).framesDropped, c.dropped);
    EXPECT_EQ(kivGetEncoderLink(enc.get()), KIV_LINK_UP) << "slow readers are no fault of the link";
    for (uint32_t i = 0; i < held.size(); ++i) EXPECT_TRUE(intact(held[i], i, f)) << "frame " << i << " changed while held";
    const auto shared = receive(memoryDecoder(c.stream).get(), c.newest ? 5000 : 200);
    EXPECT_EQ(shared ? std::optional(shared->info.frameNumber) : std::nullopt, c.newest);
    holders.clear();
    const Decoder late = memoryDecoder(c.stream);
    ASSERT_EQ(kivEncode(enc.get(), makeFrame(c.holders + 1, g).data()), KIV_OK);
    const auto r = receive(late.get(), 5000);
    EXPECT_EQ(r ? std::optional(r->info.frameNumber) : std::nullopt, c.holders + 1);
}

INSTANTIATE_TEST_SUITE_P(Memory, Holds, ::testing::ValuesIn(holdings), [](const auto &i) { return std::string(i.param.name); });

// A reader that takes the number of one killed while holding a slot frees that
// slot: a queued reader then finds every frame the sender kept.
TEST(CrossProcess, AReaderInADeadReadersSeatFreesItsHeldSlot) {
    const int stream = 20043;
    const kivStreamFormat f{64, 48, KIV_DEPTH_32, 1};
    const Encoder enc = nettest::startEncoder(KIV_PROTOCOL_MEMORY, f, nullptr, stream);
    ASSERT_EQ(kivEncode(enc.get(), makeFrame(0, f).data()), KIV_OK);
    kivtest::Process holder(kivtest::Spawn{"holder", {std::to_string(stream)}});
    ASSERT_TRUE(waitUntil([&] { return heldSlots(stream) == 1; }, 10s));
    holder.signal(SIGKILL);
    EXPECT_EQ(holder.exitCode(), 128 + SIGKILL);
    // The new reader's first frame takes the dead one's seat; the sender has not looked at slot 0 since.
    ASSERT_EQ(kivEncode(enc.get(), makeFrame(1, f).data()), KIV_OK);
    const Decoder queued = memoryDecoder(stream, 0);
    const auto first = receive(queued.get(), 5000);
    EXPECT_EQ(first ? std::optional(first->info.frameNumber) : std::nullopt, 1u);
    for (uint32_t i = 2; i < 2 + shm::kSlotCount; ++i) ASSERT_EQ(kivEncode(enc.get(), makeFrame(i, f).data()), KIV_OK);
    std::vector<uint32_t> got;
    while (auto r = receive(queued.get(), 0)) got.push_back(r->info.frameNumber);
    EXPECT_EQ(got, (std::vector<uint32_t>{2, 3, 4, 5}));
}

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
