// Local (Memory) inside one process: the API's behaviour with a real encoder,
// format changes, and segments that are not what they should be.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "support.hpp"

namespace kivtest {
namespace {

namespace shm = kiv::shm;

void sendFrame(kivEncoder *e, uint32_t frame, const kivStreamFormat &f) {
    const std::vector<uint8_t> pixels = makeFrame(frame, f);
    ASSERT_EQ(kivEncode(e, pixels.data()), KIV_OK) << kivLastErrorDetail();
}

// Sends frame `frame` and waits until the decoder's transport has taken it.
void sendAndAwait(kivEncoder *e, const Decoder &d, uint32_t frame, const kivStreamFormat &f) {
    const uint64_t before = d.stats().framesReceived;
    sendFrame(e, frame, f);
    ASSERT_TRUE(eventually([&] { return d.stats().framesReceived > before; }));
}

TEST(Api, EncoderStateAndArgumentChecks) {
    const kivStreamFormat f{32, 8, KIV_DEPTH_24, 1};
    Encoder enc(f);
    ASSERT_NE(enc.handle, nullptr);
    const std::vector<uint8_t> pixels = makeFrame(0, f);
    EXPECT_EQ(kivEncode(enc.handle, pixels.data()), KIV_ERROR_STATE);

    struct Case {
        kivStreamFormat format;
        int compress, level, expected;
    } const cases[] = {
        {{32, 8, KIV_DEPTH_24, 1}, 0, 0, KIV_OK},
        {{32, 8, KIV_DEPTH_24, 1}, 0, 100, KIV_OK},
        {{32, 8, KIV_DEPTH_24, 1}, 2, 0, KIV_ERROR_INVALID_ARGUMENT},
        {{32, 8, KIV_DEPTH_24, 1}, -1, 0, KIV_ERROR_INVALID_ARGUMENT},
        {{32, 8, KIV_DEPTH_24, 1}, 0, -1, KIV_ERROR_INVALID_ARGUMENT},
        {{32, 8, KIV_DEPTH_24, 1}, 0, 101, KIV_ERROR_INVALID_ARGUMENT},
        {{32, 8, 4, 1}, 0, 0, KIV_ERROR_INVALID_ARGUMENT},
        {{65535, 65535, KIV_DEPTH_32, 1}, 0, 0, KIV_ERROR_TOO_LARGE},
    };
    for (const Case &c : cases)
        EXPECT_EQ(kivSetDestFormat(enc.handle, &c.format, c.compress, c.level), c.expected)
            << c.format.width << "x" << c.format.height << " depth " << c.format.depth << " compress " << c.compress
            << " level " << c.level;
    EXPECT_EQ(kivSetDestFormat(enc.handle, nullptr, 0, 0), KIV_ERROR_INVALID_ARGUMENT);

    // A refused format leaves the last good one in force.
    constexpr int kStream = 20020;
    Decoder dec(kStream);
    ASSERT_EQ(kivSetDestAddress(enc.handle, "ignored", kStream), KIV_OK);
    sendFrame(enc.handle, 0, f);
    auto r = receive(dec.handle, 5000);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->intact);
    EXPECT_EQ(r->format.width, 32);
}

TEST(Api, LockAndUnlockMisuseIsRefused) {
    constexpr int kStream = 20021;
    const kivStreamFormat f{8, 8, KIV_DEPTH_8, 1};
    kivDecoder *idle = kivGetDecoder(KIV_PROTOCOL_MEMORY, &f);
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(kivLockReadBuffer(idle, 10), nullptr); // no source
    EXPECT_EQ(kivUnlockReadBuffer(idle), KIV_ERROR_STATE);
    kivDeleteDecoder(idle);

    Decoder dec(kStream, 0);
    Encoder enc(f);
    ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, kStream), KIV_OK);
    sendAndAwait(enc.handle, dec, 0, f);
    sendAndAwait(enc.handle, dec, 1, f);
    kivFrameInfo info;
    EXPECT_EQ(kivGetRecvFrameInfo(dec.handle, &info), KIV_ERROR_STATE);
    const void *first = kivLockReadBuffer(dec.handle, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(kivLockReadBuffer(dec.handle, 0), nullptr); // one frame at a time
    EXPECT_EQ(kivGetRecvFrameInfo(dec.handle, nullptr), KIV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(kivUnlockReadBuffer(dec.handle), KIV_OK);
    EXPECT_EQ(kivUnlockReadBuffer(dec.handle), KIV_ERROR_STATE);
    // The frame queued behind is still there.
    auto r = receive(dec.handle, 0);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->info.frameNumber, 1u);
}

TEST(Api, AdaptiveHandsOutTheNewestQueuedHandsOutInOrder) {
    const kivStreamFormat f{24, 4, KIV_DEPTH_32, 1};
    struct Case {
        int stream, adaptive;
        std::vector<uint32_t> expected;
        uint64_t dropped;
    } const cases[] = {
        {20022, 1, {5}, 5},
        {20023, 0, {2, 3, 4, 5}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("adaptive " + std::to_string(c.adaptive));
        Decoder dec(c.stream, c.adaptive);
        Encoder enc(f);
        ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, c.stream), KIV_OK);
        for (uint32_t i = 0; i < 6; ++i) sendAndAwait(enc.handle, dec, i, f);
        std::vector<uint32_t> got;
        while (auto r = receive(dec.handle, 0)) {
            EXPECT_TRUE(r->intact);
            got.push_back(r->info.frameNumber);
        }
        EXPECT_EQ(got, c.expected);
        const kivDecoderStats s = dec.stats();
        EXPECT_EQ(s.framesReceived, 6u);
        EXPECT_EQ(s.framesDelivered, c.expected.size());
        EXPECT_EQ(s.framesDropped, c.dropped);
        EXPECT_EQ(s.bytesReceived, 6u * kivGetByteSize(&f));
        kivEncoderStats es{};
        ASSERT_EQ(kivGetEncoderStats(enc.handle, &es), KIV_OK);
        EXPECT_EQ(es.framesEncoded, 6u);
        EXPECT_EQ(es.framesSent, 6u);
        EXPECT_EQ(es.bytesSent, 6u * kivGetByteSize(&f));
    }
}

// However far the reader falls behind, each frame is either handed out or
// counted as dropped: the shared-memory slots overwritten unread included.
TEST(Api, EveryFrameSentIsHandedOutOrCountedAsDropped) {
    const kivStreamFormat f{640, 480, KIV_DEPTH_32, 1};
    constexpr uint32_t kLast = 300;
    Decoder dec(20070);
    Encoder enc(f);
    ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, 20070), KIV_OK);
    sendAndAwait(enc.handle, dec, 0, f);
    const std::vector<uint8_t> pixels = makeFrame(1, f);
    for (uint32_t i = 1; i <= kLast; ++i) ASSERT_EQ(kivEncode(enc.handle, pixels.data()), KIV_OK);
    bool sawLast = false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!sawLast && std::chrono::steady_clock::now() < deadline)
        if (auto r = receive(dec.handle, 100)) sawLast = r->info.frameNumber == kLast;
    ASSERT_TRUE(sawLast);
    const kivDecoderStats s = dec.stats();
    EXPECT_EQ(s.framesDelivered + s.framesDropped, kLast + 1u)
        << "delivered " << s.framesDelivered << ", dropped " << s.framesDropped;
}

TEST(Api, FrameInfoDescribesTheLockedFrame) {
    constexpr int kStream = 20024;
    const kivStreamFormat f{33, 5, KIV_DEPTH_16, 7};
    Decoder dec(kStream);
    Encoder enc(f);
    ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, kStream), KIV_OK);
    uint64_t session = 0;
    for (uint32_t i = 0; i < 3; ++i) {
        sendAndAwait(enc.handle, dec, i, f);
        ASSERT_NE(kivLockReadBuffer(dec.handle, 1000), nullptr);
        kivFrameInfo info{};
        ASSERT_EQ(kivGetRecvFrameInfo(dec.handle, &info), KIV_OK);
        EXPECT_EQ(info.frameNumber, i);
        EXPECT_EQ(info.flags, 0u);
        EXPECT_NE(info.sessionId, 0u);
        if (i > 0) {
            EXPECT_EQ(info.sessionId, session);
        }
        session = info.sessionId;
        EXPECT_LE(info.sendTimeUs, info.receiveTimeUs);
        EXPECT_EQ(info.imageBytes, kivGetByteSize(&f));
        EXPECT_EQ(info.transferBytes, info.imageBytes);
        EXPECT_EQ(kivGetCompressedFrameSize(dec.handle), info.imageBytes);
        EXPECT_EQ(kivGetRecvOrientation(dec.handle), 7);
        kivUnlockReadBuffer(dec.handle);
    }
}

TEST(Api, JpegFramesTravelAndAreDecoded) {
    constexpr int kStream = 20025;
    const kivStreamFormat f{64, 32, KIV_DEPTH_24, 1};
    Decoder dec(kStream);
    Encoder enc(f);
    ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, kStream), KIV_OK);
    if (kivSetDestFormat(enc.handle, &f, 1, 10) == KIV_ERROR_UNSUPPORTED) GTEST_SKIP() << "no JPEG codec in this build";
    std::vector<uint8_t> grey(kivGetByteSize(&f), 0x80);
    ASSERT_EQ(kivEncode(enc.handle, grey.data()), KIV_OK);
    const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec.handle, 5000));
    ASSERT_NE(p, nullptr);
    kivFrameInfo info{};
    ASSERT_EQ(kivGetRecvFrameInfo(dec.handle, &info), KIV_OK);
    EXPECT_EQ(info.flags, KIV_FRAME_COMPRESSED);
    EXPECT_LT(info.transferBytes, info.imageBytes);
    for (size_t i = 0; i < grey.size(); ++i) ASSERT_NEAR(p[i], 0x80, 4) << i;
    kivUnlockReadBuffer(dec.handle);
}

TEST(Segment, FollowsFormatChangesAndNeverShrinks) {
    constexpr int kStream = 20030;
    const kivStreamFormat formats[] = {
        {64, 64, KIV_DEPTH_8, 1}, {1920, 1080, KIV_DEPTH_32, 1}, {17, 3, KIV_DEPTH_24, 1}, {800, 600, KIV_DEPTH_16, 1}};
    Decoder dec(kStream, 0);
    Encoder enc(formats[0]);
    ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, kStream), KIV_OK);
    const int fd = ::shm_open(segmentName(kStream).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    off_t size = 0;
    uint32_t frame = 0;
    for (const kivStreamFormat &f : formats) {
        ASSERT_EQ(kivSetDestFormat(enc.handle, &f, 0, 0), KIV_OK);
        sendFrame(enc.handle, frame, f);
        auto r = receive(dec.handle, 5000);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(r->intact) << f.width << "x" << f.height;
        EXPECT_EQ(r->info.frameNumber, frame++);
        struct stat st {};
        ASSERT_EQ(::fstat(fd, &st), 0);
        EXPECT_GE(st.st_size, size);
        EXPECT_GE(uint64_t(st.st_size), shm::kHeaderBytes + shm::kSlotCount * (kiv::kWireHeaderSize + kivGetByteSize(&f)));
        size = st.st_size;
    }
    ::close(fd);
}

TEST(Segment, IsPrivateToItsUserAndGoneAfterACleanExit) {
    constexpr int kStream = 20031;
    const kivStreamFormat f{8, 8, KIV_DEPTH_8, 1};
    const std::string name = segmentName(kStream);
    {
        Encoder enc(f);
        ::umask(0); // the segment's mode must not depend on the caller's umask
        const int rc = kivSetDestAddress(enc.handle, nullptr, kStream);
        ::umask(022);
        ASSERT_EQ(rc, KIV_OK);
        const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
        ASSERT_GE(fd, 0);
        struct stat st {};
        ASSERT_EQ(::fstat(fd, &st), 0);
        ::close(fd);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_uid, ::geteuid());
    }
    EXPECT_FALSE(segmentExists(kStream));

    // A file under the name that belongs to someone else is neither written nor read.
    if (::geteuid() != 0) GTEST_SKIP() << "planting another user's file needs root";
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 1 << 16), 0);
    ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
    ::close(fd);
    Decoder dec(kStream);
    Encoder enc(f);
    EXPECT_EQ(kivSetDestAddress(enc.handle, nullptr, kStream), KIV_ERROR_PERMISSION);
    EXPECT_NE(std::string(kivLastErrorDetail()).find("uid 65534"), std::string::npos) << kivLastErrorDetail();
    EXPECT_TRUE(eventually([&] { return dec.stats().framesMalformed == 1; }));
    EXPECT_EQ(kivLockReadBuffer(dec.handle, 0), nullptr);
    ::shm_unlink(name.c_str());
}

TEST(Segment, ACopyThatOverlapsARewriteOfItsSlotIsRefused) {
    constexpr int kStream = 20032;
    const kivStreamFormat f{128, 64, KIV_DEPTH_32, 1};
    const uint32_t n = kivGetByteSize(&f);
    shm::SegmentOwner owner;
    ASSERT_EQ(owner.open(kStream), KIV_OK);
    std::atomic<bool> stop{false};
    // The writer goes round the slots as fast as it can; the reader copies one
    // fixed slot over and over, so most copies overlap a rewrite of it.
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t i = 0; i < 7; ++i) frames.push_back(makeFrame(i, f));
    std::thread writer([&] {
        for (uint32_t frame = 0; !stop.load(std::memory_order_relaxed); ++frame) {
            kiv::WireHeader h;
            h.format = f;
            h.frameNumber = frame % 7;
            h.payloadSize = n;
            std::span<uint8_t> slot = owner.beginFrame(kiv::kWireHeaderSize + n);
            kiv::encodeHeader(h, slot.first<kiv::kWireHeaderSize>());
            std::memcpy(slot.data() + kiv::kWireHeaderSize, frames[frame % 7].data(), n);
            owner.commitFrame();
        }
    });
    const int fd = ::shm_open(segmentName(kStream).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    int ok = 0, busy = 0, bad = 0;
    std::vector<uint8_t> payload;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while ((ok < 5000 || busy < 500) && std::chrono::steady_clock::now() < end) {
        struct stat st {};
        ::fstat(fd, &st);
        shm::Mapping map = shm::mapShared(fd, size_t(st.st_size), false);
        ASSERT_TRUE(map);
        const std::span<const uint8_t> bytes(map.data(), map.size());
        shm::HeaderSnapshot h;
        if (shm::checkHeader(bytes, h) != shm::HeaderCheck::Ok || h.slotCount == 0) continue;
        bool grown = false;
        for (int i = 0; i < 1000 && !grown; ++i) {
            kiv::WireHeader header;
            uint64_t publish = 0;
            switch (shm::copySlot(bytes, h.slotCount, 0, header, payload, publish)) {
            case shm::SlotCopy::Ok:
                ++ok;
                if (!checkFrame(payload.data(), payload.size(), header.frameNumber, f)) ++bad;
                break;
            case shm::SlotCopy::Busy: ++busy; break;
            case shm::SlotCopy::OutOfMap: grown = true; break; // mapped before the first frame laid out the slots
            case shm::SlotCopy::Malformed: ++bad; break;
            }
        }
    }
    stop = true;
    writer.join();
    ::close(fd);
    EXPECT_EQ(bad, 0);
    EXPECT_GE(ok, 5000);
    EXPECT_GE(busy, 500);
}

// The fuzz corpus doubles as a set of segments that other processes might leave
// under a stream's name.
TEST(Segment, ForeignBytesUnderTheNameAreCheckedThenTakenOverBySender) {
    struct Case {
        const char *file;
        bool frame;     // a valid frame is handed out
        bool malformed; // counted as rejected input
    } const cases[] = {
        {"valid_8x4_grey", true, false},        {"valid_5x3_rgb565_padded", true, false},
        {"random_header", false, true},         {"slot_offset_far", false, true},
        {"slot_capacity_wraps", false, true},   {"slot_count_too_big", false, true},
        {"payload_over_slot", false, true},     {"slot_odd_sequence", false, false}, // "being written"
        {"short", false, false},                // a sender still setting it up
    };
    const kivStreamFormat f{40, 30, KIV_DEPTH_24, 1};
    int stream = 20040;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string name = segmentName(++stream);
        std::ifstream in(std::string(KIV_SEGMENT_CORPUS) + "/" + c.file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(bytes.empty());
        ::shm_unlink(name.c_str());
        const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ::close(fd);

        Decoder dec(stream);
        if (c.malformed) {
            EXPECT_TRUE(eventually([&] { return dec.stats().framesMalformed >= 1; }));
        }
        auto planted = receive(dec.handle, c.frame ? 5000 : 100);
        EXPECT_EQ(planted.has_value(), c.frame);
        if (!c.malformed) {
            EXPECT_EQ(dec.stats().framesMalformed, 0u);
        }

        // Nobody holds the lock on it: a sender claims it and the receiver follows.
        Encoder enc(f);
        ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, stream), KIV_OK) << kivLastErrorDetail();
        sendFrame(enc.handle, 0, f);
        auto r = receive(dec.handle, 5000);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(r->intact);
        EXPECT_EQ(r->format.width, f.width);
    }
}

} // namespace
} // namespace kivtest
