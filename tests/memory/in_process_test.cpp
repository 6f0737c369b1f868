// Local (Memory) inside one process: the API with a real encoder, and segments
// that are not what they should be.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "support.hpp"

namespace kivtest {
namespace {

namespace shm = kiv::shm;

// Sends frame `frame` and waits until the decoder's transport has taken it.
void sendAndAwait(kivEncoder *e, const Decoder &d, uint32_t frame, const kivStreamFormat &f) {
    const uint64_t before = d.stats().framesReceived;
    ASSERT_EQ(kivEncode(e, makeFrame(frame, f).data()), KIV_OK) << kivLastErrorDetail();
    ASSERT_TRUE(eventually([&] { return d.stats().framesReceived > before; }));
}

TEST(Api, RealEncoderToDecoderInBothBufferModes) {
    const kivStreamFormat f{33, 5, KIV_DEPTH_16, 7}, badDepth{32, 8, 4, 1}, tooBig{65535, 65535, KIV_DEPTH_32, 1};
    const uint64_t n = kivGetByteSize(&f);
    struct Case {
        int stream, adaptive;
        std::vector<uint32_t> expected;
        uint64_t dropped;
    } const cases[] = {{20022, 1, {5}, 5}, {20023, 0, {2, 3, 4, 5}, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE("adaptive " + std::to_string(c.adaptive));
        Decoder dec(c.stream, c.adaptive);
        Encoder enc(f);
        EXPECT_EQ(kivEncode(enc.handle, makeFrame(0, f).data()), KIV_ERROR_STATE); // no destination yet
        ASSERT_EQ(kivSetDestAddress(enc.handle, "ignored", c.stream), KIV_OK);
        // Each refused format leaves the last good one in force.
        const int badCompressLevel[][2] = {{2, 0}, {-1, 0}, {0, -1}, {0, 101}};
        for (const auto &b : badCompressLevel)
            EXPECT_EQ(kivSetDestFormat(enc.handle, &f, b[0], b[1]), KIV_ERROR_INVALID_ARGUMENT) << b[0] << "," << b[1];
        EXPECT_EQ(kivSetDestFormat(enc.handle, &badDepth, 0, 0), KIV_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(kivSetDestFormat(enc.handle, &tooBig, 0, 0), KIV_ERROR_TOO_LARGE);
        EXPECT_EQ(kivSetDestFormat(enc.handle, nullptr, 0, 0), KIV_ERROR_INVALID_ARGUMENT);
        for (uint32_t i = 0; i < 6; ++i) sendAndAwait(enc.handle, dec, i, f);

        kivFrameInfo info{};
        EXPECT_EQ(kivGetRecvFrameInfo(dec.handle, &info), KIV_ERROR_STATE); // nothing locked
        auto *p = static_cast<uint8_t *>(const_cast<void *>(kivLockReadBuffer(dec.handle, 0)));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(kivLockReadBuffer(dec.handle, 0), nullptr); // one frame at a time
        EXPECT_EQ(kivGetRecvFrameInfo(dec.handle, nullptr), KIV_ERROR_INVALID_ARGUMENT);
        ASSERT_EQ(kivGetRecvFrameInfo(dec.handle, &info), KIV_OK);
        EXPECT_TRUE(pattern(p, n, info.frameNumber, f, true));
        EXPECT_EQ(kivGetRecvOrientation(dec.handle), 7); // travels unchanged
        EXPECT_EQ(kivGetCompressedFrameSize(dec.handle), n);
        EXPECT_EQ(kivUnlockReadBuffer(dec.handle), KIV_OK);
        EXPECT_EQ(kivUnlockReadBuffer(dec.handle), KIV_ERROR_STATE);
        EXPECT_NE(info.sessionId, 0u);
        std::vector<uint32_t> got{info.frameNumber};
        while (auto r = receive(dec.handle, 0)) {
            EXPECT_TRUE(r->intact);
            EXPECT_EQ(r->format.orientation, 7);
            EXPECT_EQ(r->info.sessionId, info.sessionId);
            EXPECT_LE(r->info.sendTimeUs, r->info.receiveTimeUs);
            EXPECT_EQ(r->info.transferBytes, n);
            got.push_back(r->info.frameNumber);
        }
        EXPECT_EQ(got, c.expected);
        const kivDecoderStats s = dec.stats();
        kivEncoderStats es{};
        ASSERT_EQ(kivGetEncoderStats(enc.handle, &es), KIV_OK);
        // received, delivered, dropped, bytes; then encoded, sent, bytes sent
        EXPECT_EQ((std::vector{s.framesReceived, s.framesDelivered, s.framesDropped, s.bytesReceived}),
                  (std::vector<uint64_t>{6, c.expected.size(), c.dropped, 6 * n}));
        EXPECT_EQ((std::vector{es.framesEncoded, es.framesSent, es.bytesSent}), (std::vector<uint64_t>{6, 6, 6 * n}));
    }
    kivDecoder *idle = kivGetDecoder(KIV_PROTOCOL_MEMORY, &f);
    EXPECT_EQ(kivLockReadBuffer(idle, 10), nullptr); // no source
    EXPECT_EQ(kivUnlockReadBuffer(idle), KIV_ERROR_STATE);
    kivDeleteDecoder(idle);
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

TEST(Segment, ACopyThatOverlapsARewriteOfItsSlotIsRefused) {
    constexpr int kStream = 20032;
    const kivStreamFormat f{128, 64, KIV_DEPTH_32, 1};
    const uint32_t n = kivGetByteSize(&f);
    shm::SegmentOwner owner;
    ASSERT_EQ(owner.open(kStream), KIV_OK);
    // The writer goes round the slots as fast as it can; the reader copies one
    // fixed slot over and over, so most copies overlap a rewrite of it.
    std::atomic<bool> stop{false};
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t i = 0; i < 7; ++i) frames.push_back(makeFrame(i, f));
    std::thread writer([&] {
        for (uint32_t frame = 0; !stop.load(std::memory_order_relaxed); ++frame) {
            const kiv::WireHeader h{.format = f, .frameNumber = frame % 7, .payloadSize = n};
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
            case shm::SlotCopy::Ok: bad += !pattern(payload.data(), payload.size(), header.frameNumber, f, true); ++ok; break;
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
// under a stream's name: checked, then taken over by a sender.
TEST(Segment, ForeignBytesUnderTheNameAreCheckedThenTakenOverBySender) {
    // Whether a frame is handed out; whether the bytes count as rejected input.
    // An odd slot sequence is "being written", a short file a sender still setting up.
    const std::tuple<const char *, bool, bool> cases[] = {
        {"valid_8x4_grey", true, false}, {"valid_5x3_rgb565_padded", true, false}, {"random_header", false, true},
        {"slot_offset_far", false, true}, {"slot_capacity_wraps", false, true}, {"slot_count_too_big", false, true},
        {"payload_over_slot", false, true}, {"slot_odd_sequence", false, false}, {"short", false, false}};
    const kivStreamFormat f{40, 30, KIV_DEPTH_24, 1};
    int stream = 20040;
    for (const auto &[file, frame, malformed] : cases) {
        SCOPED_TRACE(file);
        const std::string name = segmentName(++stream);
        std::ifstream in(std::string(KIV_SEGMENT_CORPUS) + "/" + file, std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        ASSERT_FALSE(bytes.empty());
        ::shm_unlink(name.c_str());
        const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        ::close(fd);

        Decoder dec(stream);
        if (malformed) {
            EXPECT_TRUE(eventually([&] { return dec.stats().framesMalformed >= 1; }));
        }
        EXPECT_EQ(receive(dec.handle, frame ? 5000 : 100).has_value(), frame);
        if (!malformed) {
            EXPECT_EQ(dec.stats().framesMalformed, 0u);
        }

        Encoder enc(f);
        ASSERT_EQ(kivSetDestAddress(enc.handle, nullptr, stream), KIV_OK) << kivLastErrorDetail();
        ASSERT_EQ(kivEncode(enc.handle, makeFrame(0, f).data()), KIV_OK);
        auto r = receive(dec.handle, 5000);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(r->intact);
        EXPECT_EQ(r->format.width, f.width);
    }
}

} // namespace
} // namespace kivtest
