// The sender of exchangeInTwoProcesses runs in a child started by exec, so it
// shares no lock with threads the test program may have had at the time.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "child_process.hpp"
#include "net_test.hpp"

namespace nettest {

namespace {

// protocol, port, number of formats, the formats, the addresses; acks on stdin.
KIV_TEST_CHILD(exchangeSender) {
    const int protocol = std::stoi(args.at(0)), port = std::stoi(args.at(1));
    const size_t count = std::stoul(args.at(2));
    std::vector<kivStreamFormat> formats(count);
    for (size_t i = 0; i < count; ++i) {
        kivStreamFormat &f = formats[i];
        if (std::sscanf(args.at(3 + i).c_str(), "%hu:%hu:%hu:%hu", &f.width, &f.height, &f.depth, &f.orientation) != 4)
            return 64;
    }
    const std::vector<std::string> addresses(args.begin() + std::ptrdiff_t(3 + count), args.end());
    if (formats.empty() || addresses.empty()) return 64;

    const Encoder e(kivGetEncoder(protocol, &formats[0]));
    size_t done = 0, opened = SIZE_MAX;
    const auto deadline = Clock::now() + 60s;
    for (uint32_t n = 0; done < formats.size() && Clock::now() < deadline; ++n) {
        if (opened != done && kivSetDestAddress(e.get(), addresses[done % addresses.size()].c_str(), port) != KIV_OK)
            return 2;
        opened = done;
        kivSetDestFormat(e.get(), &formats[done], 0, 0);
        kivEncode(e.get(), pattern(done, n, kivGetByteSize(&formats[done])).data());
        pollfd p{STDIN_FILENO, POLLIN, 0};
        char ack;
        if (::poll(&p, 1, 10) == 1) {
            if (::read(STDIN_FILENO, &ack, 1) != 1) break; // the parent gave up
            ++done;
        }
    }
    return done == formats.size() ? 0 : 3;
}

} // namespace

void exchangeInTwoProcesses(int protocol, int port, std::span<const kivStreamFormat> formats,
                            std::span<const char *const> addresses) {
    int acks[2];
    ASSERT_EQ(::pipe2(acks, O_CLOEXEC), 0);
    kivtest::Spawn what{"exchangeSender", {std::to_string(protocol), std::to_string(port), std::to_string(formats.size())},
                        acks[0]};
    for (const kivStreamFormat &f : formats)
        what.args.push_back(std::to_string(f.width) + ":" + std::to_string(f.height) + ":" + std::to_string(f.depth) + ":" +
                            std::to_string(f.orientation));
    what.args.insert(what.args.end(), addresses.begin(), addresses.end());
    kivtest::Process child(what);
    ::close(acks[0]);
    if (child.pid() > 0) {
        const Decoder dec = startDecoder(protocol, port);
        for (size_t i = 0; i < formats.size(); ++i) {
            const kivStreamFormat &f = formats[i];
            SCOPED_TRACE(testing::Message() << f.width << "x" << f.height << " depth " << f.depth << " to "
                                            << addresses[i % addresses.size()]);
            const auto r = receive(dec.get(), [&](const Received &x) {
                return x.format.width == f.width && x.format.height == f.height && x.format.depth == f.depth;
            }, 20s);
            if (!r || ::write(acks[1], "k", 1) != 1) {
                ADD_FAILURE() << "nothing received";
                break;
            }
            EXPECT_EQ(r->bytes, pattern(i, r->info.frameNumber, kivGetByteSize(&f)));
            EXPECT_EQ(r->format.orientation, f.orientation);
        }
        EXPECT_EQ(stats(dec.get()).framesMalformed, 0u);
    }
    ::close(acks[1]);
    ASSERT_GT(child.pid(), 0) << "the sender did not start";
    EXPECT_EQ(child.exitCode(30s), 0) << "-1: did not end, 2: address refused, 3: time out";
}

} // namespace nettest
