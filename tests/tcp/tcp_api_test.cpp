// "Remote (TCP)" through the public C API: frames byte for byte, restarts on
// either side, a taken port, hostile peers and a vanishing receiver.
#include <kivVidStreamLib2.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tcp_test_util.hpp"

namespace {

using namespace tcptest;

struct EncoderDeleter {
    void operator()(kivEncoder *e) const { kivDeleteEncoder(e); }
};
struct DecoderDeleter {
    void operator()(kivDecoder *d) const { kivDeleteDecoder(d); }
};
using Encoder = std::unique_ptr<kivEncoder, EncoderDeleter>;
using Decoder = std::unique_ptr<kivDecoder, DecoderDeleter>;

Decoder startDecoder(int port) {
    Decoder d(kivGetDecoder(KIV_PROTOCOL_TCP, nullptr));
    EXPECT_NE(d, nullptr);
    if (d) {
        EXPECT_EQ(kivSetSourceAddress(d.get(), port), KIV_OK) << kivLastErrorDetail();
    }
    return d;
}

Encoder startEncoder(const kivStreamFormat &format, const char *address, int port) {
    Encoder e(kivGetEncoder(KIV_PROTOCOL_TCP, &format));
    EXPECT_NE(e, nullptr);
    if (e) {
        EXPECT_EQ(kivSetDestAddress(e.get(), address, port), KIV_OK) << kivLastErrorDetail();
    }
    return e;
}

kivDecoderStats decoderStats(kivDecoder *d) {
    kivDecoderStats s{};
    kivGetDecoderStats(d, &s);
    return s;
}
kivEncoderStats encoderStats(kivEncoder *e) {
    kivEncoderStats s{};
    kivGetEncoderStats(e, &s);
    return s;
}

struct Received {
    kivStreamFormat format{};
    kivFrameInfo info{};
    std::vector<uint8_t> bytes;
};

// Locks frames until one satisfies `want` (or the time is up) and returns a copy of it.
bool receive(kivDecoder *d, Received &out, const std::function<bool(const Received &)> &want = {},
             std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const void *p = kivLockReadBuffer(d, 50);
        if (!p) continue;
        Received r;
        r.format = {kivGetRecvWidth(d), kivGetRecvHeight(d), kivGetRecvDepth(d), kivGetRecvOrientation(d)};
        kivGetRecvFrameInfo(d, &r.info);
        const auto *bytes = static_cast<const uint8_t *>(p);
        r.bytes.assign(bytes, bytes + kivGetByteSize(&r.format));
        kivUnlockReadBuffer(d);
        if (!want || want(r)) {
            out = std::move(r);
            return true;
        }
    }
    return false;
}

// Encodes `pixels` every few milliseconds on a thread of its own, as a sender would.
class PacedSender {
public:
    PacedSender(kivEncoder *e, size_t frameSize) : pixels_(pattern(frameSize, 1)) {
        thread_ = std::jthread([this, e](std::stop_token stop) {
            while (!stop.stop_requested()) {
                kivEncode(e, pixels_.data());
                std::this_thread::sleep_for(3ms);
            }
        });
    }

private:
    std::vector<uint8_t> pixels_;
    std::jthread thread_;
};

TEST(TcpRoundTrip, EveryDepthArrivesByteForByte) {
    constexpr int port = 21001;
    Decoder dec = startDecoder(port);
    const kivStreamFormat formats[] = {
        {1, 1, KIV_DEPTH_16, 1},  {17, 3, KIV_DEPTH_16, 1}, {1, 1, KIV_DEPTH_24, 1},  {321, 7, KIV_DEPTH_24, 1},
        {3, 5, KIV_DEPTH_32, 1},  {640, 480, KIV_DEPTH_32, 1}, {1, 9, KIV_DEPTH_8, 1}, {257, 3, KIV_DEPTH_8, 1},
        {1920, 1080, KIV_DEPTH_24, 1},
    };
    Encoder enc = startEncoder(formats[0], "127.0.0.1", port);
    uint32_t seed = 0;
    for (const kivStreamFormat &f : formats) {
        SCOPED_TRACE(testing::Message() << f.width << "x" << f.height << " depth " << f.depth);
        ASSERT_EQ(kivSetDestFormat(enc.get(), &f, 0, 0), KIV_OK);
        const std::vector<uint8_t> pixels = pattern(kivGetByteSize(&f), ++seed);
        ASSERT_EQ(kivEncode(enc.get(), pixels.data()), KIV_OK);
        Received r;
        ASSERT_TRUE(receive(dec.get(), r, [&](const Received &x) { return x.format.width == f.width && x.format.depth == f.depth && x.format.height == f.height; }));
        EXPECT_EQ(r.bytes, pixels);
        EXPECT_EQ(r.info.transferBytes, pixels.size());
        EXPECT_EQ(r.format.orientation, 1);
    }
    EXPECT_EQ(decoderStats(dec.get()).framesMalformed, 0u);
}

TEST(TcpRoundTrip, ReachesTheDecoderByEveryAddressForm) {
    constexpr int port = 21002;
    Decoder dec = startDecoder(port);
    const kivStreamFormat f{31, 3, KIV_DEPTH_24, 1};
    std::vector<std::string> addresses = {"127.0.0.1", "localhost", "127.0.0.2"};
    {
        // One socket listening on :: takes IPv4 and IPv6 alike where the machine has IPv6.
        Socket probe(::socket(AF_INET6, SOCK_STREAM, 0));
        if (probe) addresses.insert(addresses.end(), {"::1", "[::1]"});
    }
    uint32_t seed = 100;
    for (const std::string &address : addresses) {
        SCOPED_TRACE(address);
        Encoder enc = startEncoder(f, address.c_str(), port);
        const std::vector<uint8_t> pixels = pattern(kivGetByteSize(&f), ++seed);
        ASSERT_EQ(kivEncode(enc.get(), pixels.data()), KIV_OK);
        Received r;
        ASSERT_TRUE(receive(dec.get(), r, [&](const Received &x) { return x.bytes == pixels; }));
    }
}

TEST(TcpSender, MalformedAddressesFailAtOnce) {
    const kivStreamFormat f{8, 8, KIV_DEPTH_8, 1};
    Encoder enc(kivGetEncoder(KIV_PROTOCOL_TCP, &f));
    ASSERT_NE(enc, nullptr);
    // The full table is in the parser's tests; here: the code and its detail reach the caller.
    for (const char *bad : {"", "10.0.0.256", "two words"}) {
        EXPECT_EQ(kivSetDestAddress(enc.get(), bad, 21003), KIV_ERROR_ADDRESS) << '"' << bad << '"';
        EXPECT_NE(std::string(kivLastErrorDetail()), "") << bad;
    }
    EXPECT_EQ(kivSetDestAddress(enc.get(), nullptr, 21003), KIV_ERROR_ADDRESS);
    const std::vector<uint8_t> pixels(kivGetByteSize(&f));
    EXPECT_EQ(kivEncode(enc.get(), pixels.data()), KIV_ERROR_STATE) << "no destination after a failed one";
}

TEST(TcpReconnect, SenderStartedFirstDeliversOnceTheReceiverComes) {
    constexpr int port = 21004;
    const kivStreamFormat f{64, 4, KIV_DEPTH_32, 1};
    Encoder enc = startEncoder(f, "127.0.0.1", port);
    PacedSender sending(enc.get(), kivGetByteSize(&f));
    // Nothing listens yet: frames are replaced and counted, never queued without bound.
    ASSERT_TRUE(waitUntil([&] { return encoderStats(enc.get()).framesDropped >= 5; }));
    EXPECT_EQ(encoderStats(enc.get()).framesSent, 0u);
    Decoder dec = startDecoder(port);
    Received r;
    ASSERT_TRUE(receive(dec.get(), r));
    EXPECT_EQ(r.bytes, pattern(kivGetByteSize(&f), 1));
}

TEST(TcpReconnect, RestartedReceiverGetsFramesAgain) {
    constexpr int port = 21005;
    const kivStreamFormat f{100, 10, KIV_DEPTH_24, 1};
    Encoder enc = startEncoder(f, "127.0.0.1", port);
    PacedSender sending(enc.get(), kivGetByteSize(&f));
    uint32_t lastFrame = 0;
    uint64_t session = 0;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Decoder dec = startDecoder(port); // the same port at once, with old connections in TIME_WAIT
        Received r;
        ASSERT_TRUE(receive(dec.get(), r));
        if (round > 0) {
            EXPECT_EQ(r.info.sessionId, session) << "the same sender carried on";
            EXPECT_GT(r.info.frameNumber, lastFrame) << "no stale frame after the restart";
        }
        session = r.info.sessionId;
        lastFrame = r.info.frameNumber;
        EXPECT_EQ(r.bytes, pattern(kivGetByteSize(&f), 1));
    }
}

TEST(TcpReceiver, TakenPortFailsClearlyAndLeavesTheDecoderHarmless) {
    constexpr int port = 21006;
    {
        Socket other = listenOn(port);
        ASSERT_TRUE(other);
        Decoder dec(kivGetDecoder(KIV_PROTOCOL_TCP, nullptr));
        EXPECT_EQ(kivSetSourceAddress(dec.get(), port), KIV_ERROR_BUSY);
        EXPECT_NE(std::string(kivLastErrorDetail()).find("port 21006 is already in use"), std::string::npos)
            << kivLastErrorDetail();
        EXPECT_EQ(kivLockReadBuffer(dec.get(), 0), nullptr);
        EXPECT_EQ(kivLockReadBuffer(dec.get(), 20), nullptr);
    }
    // A second decoder on the port of a live one fails; the first keeps receiving.
    Decoder first = startDecoder(port);
    Decoder second(kivGetDecoder(KIV_PROTOCOL_TCP, nullptr));
    EXPECT_EQ(kivSetSourceAddress(second.get(), port), KIV_ERROR_BUSY);
    const kivStreamFormat f{5, 5, KIV_DEPTH_8, 1};
    Encoder enc = startEncoder(f, "127.0.0.1", port);
    const std::vector<uint8_t> pixels = pattern(kivGetByteSize(&f), 6);
    kivEncode(enc.get(), pixels.data());
    Received r;
    ASSERT_TRUE(receive(first.get(), r));
    EXPECT_EQ(r.bytes, pixels);
    EXPECT_EQ(kivLockReadBuffer(second.get(), 0), nullptr);
}

TEST(TcpReceiver, EveryBadInputDropsItsConnectionAndIsCounted) {
    constexpr int port = 21007;
    Decoder dec = startDecoder(port);
    const kivStreamFormat f{33, 7, KIV_DEPTH_24, 1};
    const uint32_t size = kivGetByteSize(&f);
    Encoder enc = startEncoder(f, "127.0.0.1", port);

    RawHeader valid;
    valid.width = f.width;
    valid.height = f.height;
    valid.depth = f.depth;
    valid.payloadSize = size;
    auto with = [&](auto change) {
        RawHeader h = valid;
        change(h);
        return h.bytes();
    };
    // The first `length` bytes of a valid frame.
    auto partial = [&](size_t payloadBytes, size_t length = 0) {
        std::vector<uint8_t> b = valid.bytes();
        b.resize(b.size() + payloadBytes, 0xee);
        if (length) b.resize(length);
        return b;
    };
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        bool reset; // end with a reset instead of a FIN
    } const cases[] = {
        {"http request", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n', '\r', '\n',
                          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"wrong magic", with([](RawHeader &h) { h.magic = 0x4656494c; }), false},
        {"wrong version", with([](RawHeader &h) { h.version = 2; }), false},
        {"size mismatch", with([](RawHeader &h) { h.payloadSize -= 1; }), false},
        {"over the cap", with([](RawHeader &h) { h.flags = 1; h.payloadSize = KIV_MAX_FRAME_BYTES + 1; }), false},
        {"unknown depth", with([](RawHeader &h) { h.depth = 9; }), false},
        {"format over the cap", with([](RawHeader &h) { h.width = h.height = 65535; h.depth = KIV_DEPTH_32; h.payloadSize = 0; }), false},
        {"truncated header", partial(0, 20), false},
        {"truncated frame", partial(size / 2), false},
        {"reset mid-frame", partial(size / 2), true},
    };
    // Sends `pixels` until the decoder hands them out, and keeps that frame locked.
    auto lockSent = [&](const std::vector<uint8_t> &pixels) -> const uint8_t * {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            kivEncode(enc.get(), pixels.data());
            const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(dec.get(), 50));
            if (p && std::equal(pixels.begin(), pixels.end(), p)) return p;
            if (p) kivUnlockReadBuffer(dec.get());
        }
        return nullptr;
    };
    uint32_t seed = 1000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A good frame, held locked while the junk arrives: it must stay untouched.
        const std::vector<uint8_t> before = pattern(size, ++seed);
        const uint8_t *held = lockSent(before);
        ASSERT_NE(held, nullptr);
        const uint64_t malformed = decoderStats(dec.get()).framesMalformed;
        {
            Socket junk = connectTo(port);
            ASSERT_TRUE(junk);
            junk.writeAll(c.bytes);
            // Bytes already queued stay readable before the reset is seen, so it cuts a frame.
            if (c.reset) junk.reset();
        } // or the FIN that cuts truncated input short
        ASSERT_TRUE(waitUntil([&] { return decoderStats(dec.get()).framesMalformed == malformed + 1; }));
        EXPECT_EQ(std::vector<uint8_t>(held, held + size), before);
        EXPECT_EQ(kivUnlockReadBuffer(dec.get()), KIV_OK);

        // The real sender gets through afterwards, reconnecting if the junk replaced it.
        ASSERT_NE(lockSent(pattern(size, ++seed)), nullptr) << "decoder unhealthy after bad input";
        kivUnlockReadBuffer(dec.get());
    }
    EXPECT_EQ(decoderStats(dec.get()).framesMalformed, std::size(cases));
}

TEST(TcpSender, EncodeNeverWaitsForAReceiverThatDoesNotRead) {
    constexpr int port = 21008;
    Socket listener = listenOn(port);
    ASSERT_TRUE(listener);
    const kivStreamFormat f{1024, 256, KIV_DEPTH_32, 1}; // 1 MiB
    Encoder enc = startEncoder(f, "127.0.0.1", port);
    const std::vector<uint8_t> pixels = pattern(kivGetByteSize(&f), 7);
    // The connection is accepted by the kernel and then never read from.
    for (int i = 0; i < 200; ++i) ASSERT_EQ(kivEncode(enc.get(), pixels.data()), KIV_OK);
    ASSERT_TRUE(waitUntil([&] { const auto s = encoderStats(enc.get()); return s.framesSent + s.framesDropped >= 198; }));
    const kivEncoderStats s = encoderStats(enc.get());
    EXPECT_EQ(s.framesEncoded, 200u);
    EXPECT_GT(s.framesDropped, 100u) << "frames were queued instead of replaced";
    EXPECT_LE(s.framesSent + s.framesDropped, 200u);
}

// A child process sends 32 MiB frames; the receiver reads a little, half-closes
// and resets mid-frame. Without MSG_NOSIGNAL the child's next write raises SIGPIPE.
TEST(TcpSender, SurvivesAReceiverVanishingMidFrame) {
    constexpr int port = 21009;
    Socket listener = listenOn(port);
    ASSERT_TRUE(listener);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        const kivStreamFormat f{4096, 2048, KIV_DEPTH_32, 1};
        kivEncoder *e = kivGetEncoder(KIV_PROTOCOL_TCP, &f);
        if (!e || kivSetDestAddress(e, "127.0.0.1", port) != KIV_OK) _exit(2);
        std::vector<uint8_t> pixels(kivGetByteSize(&f), 0x5a);
        kivEncode(e, pixels.data());
        kivEncoderStats s{};
        const bool lost = waitUntil([&] { kivGetEncoderStats(e, &s); return s.framesDropped == 1; }, 20s);
        kivDeleteEncoder(e);
        _exit(lost ? 0 : 3);
    }
    {
        Socket conn(::accept(listener.fd(), nullptr, nullptr));
        ASSERT_TRUE(conn);
        std::vector<uint8_t> buffer(1 << 20);
        size_t got = 0;
        while (got < buffer.size()) {
            const ssize_t n = ::recv(conn.fd(), buffer.data(), buffer.size() - got, 0);
            ASSERT_GT(n, 0);
            got += size_t(n);
        }
        listener.close(); // no reconnecting
        ::shutdown(conn.fd(), SHUT_WR);
    } // unread data: the close resets the connection
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "sender killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no encoder, 3: the cut frame was not counted as dropped";
}

// Two processes: a child encodes one frame per depth until the parent has
// received each of them byte for byte.
TEST(TcpRoundTrip, TwoProcessesExchangeEveryDepth) {
    constexpr int port = 21010;
    const kivStreamFormat formats[] = {
        {13, 7, KIV_DEPTH_16, 1}, {13, 7, KIV_DEPTH_24, 1}, {13, 7, KIV_DEPTH_32, 1}, {13, 7, KIV_DEPTH_8, 1}};
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(acks[1]);
        kivEncoder *e = kivGetEncoder(KIV_PROTOCOL_TCP, &formats[0]);
        if (!e || kivSetDestAddress(e, "127.0.0.1", port) != KIV_OK) _exit(2);
        int done = 0;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (done < int(std::size(formats)) && std::chrono::steady_clock::now() < deadline) {
            const kivStreamFormat &f = formats[done];
            kivSetDestFormat(e, &f, 0, 0);
            const std::vector<uint8_t> pixels = pattern(kivGetByteSize(&f), 500 + uint32_t(done));
            kivEncode(e, pixels.data());
            pollfd p{acks[0], POLLIN, 0};
            if (::poll(&p, 1, 20) == 1) {
                char ack;
                if (::read(acks[0], &ack, 1) != 1) break;
                ++done;
            }
        }
        kivDeleteEncoder(e);
        _exit(done == int(std::size(formats)) ? 0 : 3);
    }
    ::close(acks[0]);
    Decoder dec = startDecoder(port);
    for (size_t i = 0; i < std::size(formats); ++i) {
        const kivStreamFormat &f = formats[i];
        SCOPED_TRACE(f.depth);
        Received r;
        EXPECT_TRUE(receive(dec.get(), r, [&](const Received &x) { return x.format.depth == f.depth; }, 20s));
        EXPECT_EQ(r.bytes, pattern(kivGetByteSize(&f), 500 + uint32_t(i)));
        ASSERT_EQ(::write(acks[1], "k", 1), 1);
    }
    ::close(acks[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
