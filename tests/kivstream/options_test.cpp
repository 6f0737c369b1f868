#include <gtest/gtest.h>

#include "options.hpp"

using namespace kivstream;

// Channels are the tester's; latency needs the sender's clock, which memory
// guarantees and the network transports are asked for.
TEST(Options, WordsMapToTheLibrarysCodesAndTheTestersNumbering) {
    const std::tuple<QStringList, int, int, bool> cases[] = {
        {{"send"}, KIV_PROTOCOL_MEMORY, 10588, true},
        {{"send", "--channel", "5"}, KIV_PROTOCOL_MEMORY, 10593, true},
        {{"receive", "--transport", "tcp", "--stream", "24001"}, KIV_PROTOCOL_TCP, 24001, false},
        {{"receive", "--transport", "udp", "--latency"}, KIV_PROTOCOL_UDP, 10588, true},
        {{"bench"}, KIV_PROTOCOL_MEMORY, kBenchStreamBase, true},
        {{"bench", "--channel", "0"}, KIV_PROTOCOL_MEMORY, 10588, true},
    };
    for (const auto &[args, protocol, stream, latency] : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const ParseResult r = parseOptions(args);
        ASSERT_TRUE(std::holds_alternative<Options>(r)) << std::get<ParseError>(r).message.toStdString();
        const Options &o = std::get<Options>(r);
        EXPECT_EQ(std::tuple(o.protocol, o.stream, o.latency), std::tuple(protocol, stream, latency));
    }
}
