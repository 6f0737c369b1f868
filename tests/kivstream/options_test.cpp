#include <gtest/gtest.h>

#include "options.hpp"

using namespace kivstream;

namespace {
Options parsed(const QStringList &args) {
    const ParseResult r = parseOptions(args);
    if (const auto *e = std::get_if<ParseError>(&r)) ADD_FAILURE() << e->message.toStdString();
    return std::holds_alternative<Options>(r) ? std::get<Options>(r) : Options{};
}
} // namespace

// What a user's words turn into on the library's side.
TEST(Options, WordsMapToTheLibrarysCodesAndTheTestersNumbering) {
    struct Case {
        QStringList args;
        int protocol, stream, depthCode;
        double fps;
    };
    const Case cases[] = {
        {{"send"}, KIV_PROTOCOL_MEMORY, 10588, KIV_DEPTH_24, 15},
        {{"send", "--channel", "5"}, KIV_PROTOCOL_MEMORY, 10593, KIV_DEPTH_24, 15},
        {{"send", "--transport", "udp", "--depth", "16", "--fps", "2.5"}, KIV_PROTOCOL_UDP, 10588, KIV_DEPTH_16, 2.5},
        {{"receive", "--transport", "tcp", "--stream", "24001"}, KIV_PROTOCOL_TCP, 24001, KIV_DEPTH_24, 15},
        {{"bench", "--depth", "8"}, KIV_PROTOCOL_MEMORY, kBenchStreamBase, KIV_DEPTH_8, 0},
        {{"bench", "--depth", "32", "--channel", "0"}, KIV_PROTOCOL_MEMORY, 10588, KIV_DEPTH_32, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const Options o = parsed(c.args);
        EXPECT_EQ(o.protocol, c.protocol);
        EXPECT_EQ(o.stream, c.stream);
        EXPECT_EQ(o.format.depth, c.depthCode);
        EXPECT_EQ(o.fps, c.fps);
    }
    // Latency needs the sender's clock: the memory transport guarantees it, the network ones are asked for.
    EXPECT_TRUE(parsed({"receive"}).latency);
    EXPECT_FALSE(parsed({"receive", "--transport", "udp"}).latency);
    EXPECT_TRUE(parsed({"receive", "--transport", "udp", "--latency"}).latency);
    // bench always checks what it receives.
    EXPECT_EQ(parsed({"bench"}).pattern, PatternKind::Check);
    EXPECT_EQ(parsed({"send", "--size", "65x3"}).format.width, 65);
}
