// The stream parser and the address check, without sockets.
#include "transports/tcp_address.hpp"
#include "transports/tcp_framing.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "format.hpp"

namespace kiv {
namespace {

std::vector<uint8_t> frameBytes(const kivStreamFormat &format, uint32_t number, uint16_t flags = 0,
                                uint32_t jpegSize = 0) {
    WireHeader h;
    h.flags = flags;
    h.format = format;
    h.frameNumber = number;
    h.sessionId = 0x1122334455667788ull;
    h.sendTimeUs = 1234567;
    h.payloadSize = flags ? jpegSize : uint32_t(frameBytes64(format));
    std::vector<uint8_t> out(kWireHeaderSize + h.payloadSize);
    encodeHeader(h, std::span<uint8_t, kWireHeaderSize>(out.data(), kWireHeaderSize));
    for (size_t i = kWireHeaderSize; i < out.size(); ++i) out[i] = uint8_t(i * 7 + number);
    return out;
}

struct Collected {
    std::vector<WireHeader> headers;
    std::vector<std::vector<uint8_t>> payloads;
};

// Feeds `stream` in pieces of `chunk` bytes, collecting every frame.
FrameParser::State feedInChunks(FrameParser &p, std::span<const uint8_t> stream, size_t chunk, Collected &out) {
    size_t at = 0;
    while (at < stream.size()) {
        const size_t n = std::min(chunk, stream.size() - at);
        size_t used = 0;
        while (used < n) {
            used += p.feed(stream.subspan(at + used, n - used));
            if (p.state() == FrameParser::State::Failed) return p.state();
            if (p.state() == FrameParser::State::Ready) {
                out.headers.push_back(p.header());
                out.payloads.push_back(p.takePayload());
            }
        }
        at += n;
    }
    return p.state();
}

TEST(FrameParser, ReassemblesAnySegmentationIntoTheSameFrames) {
    const kivStreamFormat formats[] = {
        {3, 5, KIV_DEPTH_24, 1}, {7, 3, KIV_DEPTH_16, 1}, {1, 1, KIV_DEPTH_32, 1},
        {5, 2, KIV_DEPTH_8, 1},  {0, 4, KIV_DEPTH_8, 1}, // empty frame: header only
    };
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t i = 0; i < std::size(formats); ++i) {
        frames.push_back(frameBytes(formats[i], i));
        stream.insert(stream.end(), frames.back().begin(), frames.back().end());
    }
    const std::vector<uint8_t> jpeg = frameBytes({9, 9, KIV_DEPTH_24, 1}, 99, kWireFlagJpeg, 17);
    stream.insert(stream.end(), jpeg.begin(), jpeg.end());
    frames.push_back(jpeg);

    // 1-byte segments, segments that straddle headers, and everything in one read.
    for (size_t chunk : {size_t(1), size_t(7), size_t(47), size_t(49), size_t(1000), stream.size()}) {
        SCOPED_TRACE(chunk);
        FrameParser parser;
        Collected got;
        EXPECT_EQ(feedInChunks(parser, stream, chunk, got), FrameParser::State::Header);
        EXPECT_FALSE(parser.midFrame());
        ASSERT_EQ(got.payloads.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            const std::vector<uint8_t> expected(frames[i].begin() + kWireHeaderSize, frames[i].end());
            EXPECT_EQ(got.payloads[i], expected) << "frame " << i;
            EXPECT_EQ(got.headers[i].sessionId, 0x1122334455667788ull);
            EXPECT_EQ(got.headers[i].frameNumber, i == frames.size() - 1 ? 99u : i);
        }
        EXPECT_TRUE(got.headers.back().compressed());
    }
}

TEST(FrameParser, ReadsGoStraightIntoTheSuppliedBufferAndStopAtFrameEnds) {
    std::vector<uint8_t> pool;
    pool.reserve(4096);
    const uint8_t *home = pool.data();
    FrameParser parser([&] { return std::move(pool); });
    std::vector<uint8_t> two = frameBytes({8, 2, KIV_DEPTH_32, 1}, 1);
    const std::vector<uint8_t> second = frameBytes({8, 2, KIV_DEPTH_32, 1}, 2);
    two.insert(two.end(), second.begin(), second.end());

    EXPECT_EQ(parser.writable().size(), kWireHeaderSize) << "a header read never takes payload bytes";
    EXPECT_EQ(parser.feed(two), two.size() / 2) << "feeding stops at the end of the first frame";
    ASSERT_EQ(parser.state(), FrameParser::State::Ready);
    EXPECT_TRUE(parser.writable().empty());
    const std::vector<uint8_t> payload = parser.takePayload();
    EXPECT_EQ(payload.data(), home) << "the payload lives in the buffer the sink gave";
    EXPECT_EQ(payload.size(), 64u);
}

TEST(FrameParser, RejectsEveryBadHeaderBeforeAllocating) {
    auto patch = [](std::vector<uint8_t> bytes, size_t offset, std::vector<uint8_t> with) {
        std::copy(with.begin(), with.end(), bytes.begin() + offset);
        return bytes;
    };
    auto u32 = [](uint32_t v) { return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; };
    const std::vector<uint8_t> good = frameBytes({4, 4, KIV_DEPTH_24, 1}, 0);
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        WireError error;
    } const cases[] = {
        {"magic", patch(good, 0, {'H', 'T', 'T', 'P'}), WireError::BadMagic},
        {"version", patch(good, 4, {2, 0}), WireError::BadVersion},
        {"header size", patch(good, 6, {64, 0}), WireError::BadHeaderSize},
        {"flags", patch(good, 8, {0x80, 0}), WireError::UnknownFlags},
        {"depth", patch(good, 16, {4, 0}), WireError::UnknownDepth},
        {"size mismatch", patch(good, 40, u32(47)), WireError::PayloadMismatch},
        {"format over cap", patch(patch(good, 12, {0xff, 0xff, 0xff, 0xff}), 16, {2, 0}), WireError::FormatTooLarge},
        {"jpeg over cap", patch(patch(good, 8, {1, 0}), 40, u32(KIV_MAX_FRAME_BYTES + 1)), WireError::PayloadMismatch},
        {"jpeg size 4 GiB", patch(patch(good, 8, {1, 0}), 40, u32(0xffffffffu)), WireError::PayloadMismatch},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int buffersTaken = 0;
        FrameParser parser([&] { ++buffersTaken; return std::vector<uint8_t>{}; });
        // A valid frame first: what was delivered stays delivered.
        EXPECT_EQ(parser.feed(good), good.size());
        ASSERT_EQ(parser.state(), FrameParser::State::Ready);
        parser.takePayload();
        Collected got;
        EXPECT_EQ(feedInChunks(parser, c.bytes, 5, got), FrameParser::State::Failed);
        EXPECT_EQ(parser.error(), c.error);
        EXPECT_EQ(buffersTaken, 1) << "no buffer for a rejected header";
        EXPECT_TRUE(parser.writable().empty());
        EXPECT_EQ(parser.feed(good), 0u) << "a failed stream takes nothing more";
    }
}

TEST(TcpAddress, AcceptsLiteralsAndNamesRejectsTheRest) {
    struct Case {
        const char *text;
        bool ok;
        bool literal;
    } const cases[] = {
        {"127.0.0.1", true, true},
        {"::1", true, true},
        {"[::1]", true, true},
        {"fe80::1%1", true, true},
        {"localhost", true, false},
        {"camera-3.lab.example.", true, false},
        {"my_host", true, false},
        {"", false, false},
        {"10.0.0.256", false, false},
        {"10.1.2", false, false},
        {"::1::2", false, false},
        {"[::1", false, false},
        {"[127.0.0.1]", false, false},
        {"fe80::1%", false, false},
        {"fe80::1%nosuchif0", false, false},
        {"host name", false, false},
        {"-host", false, false},
        {"host:10588", false, false},
        {"http://host", false, false},
    };
    for (const Case &c : cases) {
        Destination d;
        std::string why;
        EXPECT_EQ(parseDestination(c.text, 21000, d, why), c.ok) << '"' << c.text << "\" " << why;
        if (c.ok) EXPECT_EQ(d.isLiteral(), c.literal) << c.text;
        else EXPECT_FALSE(why.empty()) << c.text;
    }
    Destination longName;
    std::string why;
    EXPECT_FALSE(parseDestination(std::string(64, 'a') + ".example", 21000, longName, why));
}

} // namespace
} // namespace kiv
