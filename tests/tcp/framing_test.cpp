// SPDX-License-Identifier: MIT
// The stream parser and the address check, without sockets.
#include "transports/tcp_address.hpp"
#include "transports/tcp_framing.hpp"

#include "net_test.hpp"

namespace kiv {
namespace {

using namespace nettest;

TEST(FrameParser, ReassemblesAnySegmentationAndTakesMemoryOnlyAsBytesCome) {
    const kivStreamFormat formats[] = {
        {3, 5, KIV_DEPTH_24, 1}, {7, 3, KIV_DEPTH_16, 1}, {1, 1, KIV_DEPTH_32, 1},
        {5, 2, KIV_DEPTH_8, 1},  {0, 4, KIV_DEPTH_8, 1}, // empty frame: header only
    };
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t i = 0; i < std::size(formats); ++i) frames.push_back(wireFrame(frameHeader(formats[i], 3, i)));
    frames.push_back(wireFrame({.flags = kWireFlagJpeg, .format = {9, 9, KIV_DEPTH_24, 1}, .frameNumber = 5, .payloadSize = 17}));
    std::vector<uint8_t> stream;
    for (const auto &f : frames) stream.insert(stream.end(), f.begin(), f.end());

    // 1-byte segments, segments that straddle headers, and everything in one read.
    for (size_t chunk : {size_t(1), size_t(7), size_t(47), size_t(49), size_t(1000), stream.size()}) {
        SCOPED_TRACE(chunk);
        FrameParser parser;
        std::vector<std::pair<WireHeader, std::vector<uint8_t>>> got;
        for (size_t at = 0; at < stream.size();) {
            at += parser.feed(std::span(stream).subspan(at, std::min(chunk, stream.size() - at)));
            ASSERT_NE(parser.state(), FrameParser::State::Failed);
            if (parser.state() == FrameParser::State::Ready) got.emplace_back(parser.header(), parser.takePayload());
        }
        ASSERT_EQ(got.size(), frames.size());
        EXPECT_EQ(std::tuple(parser.state(), parser.midFrame(), got.back().first.compressed()), std::tuple(FrameParser::State::Header, false, true));
        for (uint32_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(std::pair(got[i].first.frameNumber, got[i].second),
                      std::pair(i, std::vector<uint8_t>(frames[i].begin() + kWireHeaderSize, frames[i].end())));
    }
    // A header's claim alone takes a small first piece, not the 64 MiB claimed.
    uint8_t lie[kWireHeaderSize];
    encodeHeader({.flags = kWireFlagJpeg, .format = {8, 8, KIV_DEPTH_8, 1}, .payloadSize = KIV_MAX_FRAME_BYTES}, lie);
    FrameParser parser;
    EXPECT_EQ(parser.feed(lie), kWireHeaderSize);
    EXPECT_LE(parser.writable().size(), 1u << 16);
}

TEST(TcpAddress, AcceptsLiteralsAndNamesRejectsTheRest) {
    Destination d;
    std::string why;
    for (const char *ok : {"127.0.0.1", "::1", "[::1]", "fe80::1%1", "localhost", "az-09.AZ.example.", "my_host"})
        EXPECT_TRUE(parseDestination(ok, 21000, d, why)) << ok << ": " << why;
    const std::string label(63, 'a'), over253 = label + "." + label + "." + label + "." + label.substr(1); // 254, each label fits
    EXPECT_TRUE(parseDestination(over253.substr(1), 21000, d, why)) << why; // 253 characters, the most
    for (const std::string &bad : std::vector<std::string>{"", "10.0.0.256", "10.1.2", "::1::2", "[::1", "[127.0.0.1]", "fe80::1%",
                                  "fe80::1%nosuchif0", "host name", "-host", "host:10588", "http://host",
                                  std::string(64, 'a') + ".example", over253}) {
        EXPECT_FALSE(parseDestination(bad, 21000, d, why = "")) << '"' << bad << '"';
        EXPECT_NE(why, "") << '"' << bad << '"'; // says why
    }
}

} // namespace
} // namespace kiv
