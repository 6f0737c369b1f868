// Strangers at the door while a real sender runs: idle and lying TCP peers,
// floods of random datagrams, a lossy link, garbage under the segment name.
// The real sender's frames keep arriving, every one of them intact.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <deque>
#include <memory>
#include <random>
#include <thread>

#include "support.hpp"

namespace {

using namespace reltest;

sockaddr_in loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

struct Fd {
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd &&o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

Fd connectTcp(int port) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in sa = loopback(port);
    if (::connect(s.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) return Fd();
    return s;
}

// A 48-byte frame header with the given size field; flags 1 marks JPEG.
std::vector<uint8_t> header(uint32_t payloadSize, uint16_t flags, uint16_t w = 640, uint16_t h = 480) {
    std::vector<uint8_t> out(48, 0);
    auto put = [&](size_t at, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    put(0, 0x4656494b, 4); // "KIVF"
    put(4, 1, 2);
    put(6, 48, 2);
    put(8, flags, 2);
    put(10, 1, 2);
    put(12, w, 2);
    put(14, h, 2);
    put(16, KIV_DEPTH_24, 2);
    put(24, 0xbad, 8);
    put(40, payloadSize, 4);
    return out;
}

std::unique_ptr<kivDecoder, DecoderDeleter> decoder(int protocol, int stream) {
    std::unique_ptr<kivDecoder, DecoderDeleter> dec(kivGetDecoder(protocol, nullptr));
    if (dec) {
        EXPECT_EQ(kivSetSourceAddress(dec.get(), stream), KIV_OK) << kivLastErrorDetail();
    }
    return dec;
}

kivDecoderStats stats(kivDecoder *dec) {
    kivDecoderStats s{};
    kivGetDecoderStats(dec, &s);
    return s;
}

TEST(JunkAtThePort, IdleTcpPeersAndHugeLengthsDoNotKeepTheSenderOut) {
    const int stream = 26100;
    auto dec = decoder(KIV_PROTOCOL_TCP, stream);
    ASSERT_TRUE(dec);
    std::vector<Fd> idle;
    for (int i = 0; i < 64; ++i) {
        Fd s;
        ASSERT_TRUE(waitUntil([&] { return (s = connectTcp(stream)).fd >= 0; })) << "connection " << i;
        idle.push_back(std::move(s));
    }
    // Sizes a receiver must refuse before it allocates: 4 GiB raw (not the
    // format's size), 4 GiB JPEG (over the cap), and a raw frame of 65535x65535.
    const std::vector<std::vector<uint8_t>> lies = {
        header(0xffffffffu, 0), header(0xffffffffu, 1), header(0xffffffffu, 0, 65535, 65535), std::vector<uint8_t>(48, 0xff)};
    std::vector<Fd> liars;
    for (int round = 0; round < 4; ++round)
        for (const auto &lie : lies) {
            Fd s;
            ASSERT_TRUE(waitUntil([&] { return (s = connectTcp(stream)).fd >= 0; }));
            ASSERT_EQ(::send(s.fd, lie.data(), lie.size(), MSG_NOSIGNAL), ssize_t(lie.size()));
            liars.push_back(std::move(s));
        }

    Child sender(senderArgs("tcp", stream, 5, 640, 480, 60));
    Tally tally;
    EXPECT_TRUE(readUntil(dec.get(), tally, [](const Tally &t) { return t.intact.count(5) && t.intact.at(5) >= 10; }));
    // More idle peers once the sender is in: they must not push it out.
    for (int i = 0; i < 64; ++i) idle.push_back(connectTcp(stream));
    EXPECT_TRUE(readUntil(dec.get(), tally, [](const Tally &t) { return t.intact.at(5) >= 20; }));
    EXPECT_EQ(tally.corrupt, 0);
    // Some liars are closed unread to make room for newer peers; the rest are counted.
    EXPECT_GT(stats(dec.get()).framesMalformed, 0u);
}

TEST(JunkAtThePort, ThousandsOfRandomDatagramsBesideARealSender) {
    const int stream = 26110;
    auto dec = decoder(KIV_PROTOCOL_UDP, stream);
    ASSERT_TRUE(dec);
    Child sender(senderArgs("udp", stream, 6, 320, 240, 60));
    Tally tally;
    ASSERT_TRUE(readUntil(dec.get(), tally, [](const Tally &t) { return t.intact.count(6) && t.intact.at(6) >= 3; }));

    std::atomic<int> sent{0};
    std::thread flood([&] {
        Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const sockaddr_in to = loopback(stream);
        std::mt19937 rng(26110);
        std::vector<uint8_t> d(1472);
        for (int i = 0; i < 5000; ++i) {
            const size_t size = rng() % d.size();
            for (auto &b : d) b = uint8_t(rng());
            // A quarter start like a frame header, so the checks past the magic run too.
            if (i % 4 == 0 && size >= 48) {
                const auto h = header(uint32_t(rng()), uint16_t(rng() & 1), uint16_t(rng()), uint16_t(rng()));
                std::copy(h.begin(), h.end() - 4 * (rng() & 1), d.begin());
            }
            ::sendto(s.fd, d.data(), size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            ++sent;
            if (i % 64 == 0) std::this_thread::sleep_for(1ms); // spread over the sender's frames
        }
    });
    const int before = tally.intact[6];
    EXPECT_TRUE(readUntil(dec.get(), tally, [&](const Tally &t) { return sent == 5000 && t.intact.at(6) >= before + 10; }, 30s));
    flood.join();
    EXPECT_EQ(tally.corrupt, 0);
    EXPECT_GT(stats(dec.get()).framesMalformed, 0u);
}

// Each datagram claims the first piece of a new 64 MiB frame: a few bytes that
// would make a receiver hold and clear the largest frame there is.
TEST(JunkAtThePort, DatagramsClaimingHugeFramesDoNotStarveARealSender) {
    const int stream = 26115;
    auto dec = decoder(KIV_PROTOCOL_UDP, stream);
    ASSERT_TRUE(dec);
    Child sender(senderArgs("udp", stream, 10, 320, 240, 60));
    Tally tally;
    ASSERT_TRUE(readUntil(dec.get(), tally, [](const Tally &t) { return t.intact.count(10) && t.intact.at(10) >= 3; }));

    std::atomic<bool> stop{false};
    std::thread flood([&] {
        Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const sockaddr_in to = loopback(stream);
        const uint16_t chunk = 1024;
        std::vector<uint8_t> d = header(KIV_MAX_FRAME_BYTES, 0, 8192, 8192);
        d[16] = KIV_DEPTH_8;
        d.resize(64 + chunk, 0);
        const uint32_t count = KIV_MAX_FRAME_BYTES / chunk;
        std::memcpy(&d[52], &count, 4); // index 0, offset 0
        std::memcpy(&d[60], &chunk, 2);
        for (uint32_t n = 0; !stop; ++n) {
            std::memcpy(&d[20], &n, 4);
            ::sendto(s.fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            if (n % 8 == 0) std::this_thread::sleep_for(1ms); // some MB/s: far less than the real sender's
        }
    });
    const int before = tally.intact[10];
    EXPECT_TRUE(readUntil(dec.get(), tally, [&](const Tally &t) { return t.intact.at(10) >= before + 20; }, 10s))
        << tally.intact[10] - before << " frames in 10 s under the flood";
    stop = true;
    flood.join();
    EXPECT_EQ(tally.corrupt, 0);
}

// Forwards datagrams from one loopback port to another, losing, duplicating
// and swapping about 1% each, from a fixed seed.
class LossyLink {
public:
    LossyLink(int from, int to, uint32_t seed) : in_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), rng_(seed) {
        const sockaddr_in sa = loopback(from);
        const int big = 8 << 20;
        ::setsockopt(in_.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        bound_ = ::bind(in_.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
        out_ = loopback(to);
        thread_ = std::thread([this] { run(); });
    }
    ~LossyLink() {
        stop_ = true;
        thread_.join();
    }
    bool bound() const { return bound_; }
    uint64_t lost() const { return lost_; }
    uint64_t forwarded() const { return forwarded_; }

private:
    void forward(const std::vector<uint8_t> &d) {
        ::sendto(in_.fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&out_), sizeof out_);
        ++forwarded_;
    }
    void run() {
        std::vector<uint8_t> d(65536);
        std::deque<std::vector<uint8_t>> held;
        while (!stop_) {
            pollfd p{in_.fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(in_.fd, d.data(), d.size(), 0);
            if (n < 0) continue;
            std::vector<uint8_t> datagram(d.begin(), d.begin() + n);
            const uint32_t dice = rng_() % 100;
            if (dice == 0) {
                ++lost_;
            } else if (dice == 1) {
                forward(datagram);
                forward(datagram);
            } else if (dice == 2) {
                held.push_back(std::move(datagram)); // goes out after the next one
                continue;
            } else {
                forward(datagram);
            }
            while (!held.empty()) {
                forward(held.front());
                held.pop_front();
            }
        }
    }

    Fd in_;
    sockaddr_in out_{};
    bool bound_ = false;
    std::mt19937 rng_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> lost_{0}, forwarded_{0};
    std::thread thread_;
};

TEST(JunkAtThePort, UdpThroughALossyReorderingDuplicatingLinkDeliversOnlyWholeFrames) {
    const int stream = 26120, linkPort = 26121;
    auto dec = decoder(KIV_PROTOCOL_UDP, stream);
    ASSERT_TRUE(dec);
    LossyLink link(linkPort, stream, 26120);
    ASSERT_TRUE(link.bound());
    // 160x120x24: a few dozen datagrams, so most frames survive 1% loss.
    Child sender(senderArgs("udp", linkPort, 8, 160, 120, 100));
    Tally tally;
    EXPECT_TRUE(readUntil(dec.get(), tally, [&](const Tally &t) {
        return t.intact.count(8) && t.intact.at(8) >= 50 && link.lost() >= 20;
    }, 60s)) << link.lost() << " lost of " << link.forwarded();
    EXPECT_EQ(tally.corrupt, 0);
    EXPECT_GT(stats(dec.get()).framesIncomplete, 0u);
}

// Garbage left under the stream's segment name by a crashed or hostile
// program of the same user.
struct Garbage {
    const char *name;
    std::vector<uint8_t> bytes;
    mode_t mode;
};

std::vector<Garbage> garbageKinds() {
    std::mt19937 rng(26200);
    std::vector<uint8_t> random(8192);
    for (auto &b : random) b = uint8_t(rng());
    // A header that looks right with slots pointing far outside the file.
    std::vector<uint8_t> lying(4096, 0);
    auto put = [&](size_t at, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) lying[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    put(0, 0x4d56494b, 4); // "KIVM"
    put(4, 1, 2);
    put(6, 4096, 2);
    put(12, 1, 4);            // open
    put(16, 1, 8);            // owner pid 1: alive, but not a sender
    put(32, (5u << 8) | 0, 8); // latest: slot 0
    put(40, 8, 4);
    for (size_t s = 0; s < 8; ++s) {
        put(48 + s * 32 + 0, 2, 8);                   // stable sequence
        put(48 + s * 32 + 8, 0xfffffffffffff000ull, 8); // offset wraps
        put(48 + s * 32 + 16, 0x7fffffffffffffffull, 8);
        put(48 + s * 32 + 24, 5, 8);
    }
    return {{"random", random, 0600}, {"lying", lying, 0600}, {"one_byte", {0x4b}, 0600}, {"world_readable", lying, 0644}};
}

class JunkAtTheSegment : public ::testing::TestWithParam<size_t> {};

TEST_P(JunkAtTheSegment, GarbageUnderTheStreamNameGivesWayToARealSender) {
    const Garbage g = garbageKinds()[GetParam()];
    const int stream = 26200 + int(GetParam());
    const std::string name = "/kivvs2-" + std::to_string(::geteuid()) + "-" + std::to_string(stream);
    std::unique_ptr<kivDecoder, DecoderDeleter> probe(kivGetDecoder(KIV_PROTOCOL_MEMORY, nullptr));
    if (!probe) GTEST_SKIP() << "memory is not in this build";
    probe.reset();

    ::shm_unlink(name.c_str());
    {
        Fd f(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, g.mode));
        ASSERT_GE(f.fd, 0);
        ::fchmod(f.fd, g.mode);
        ASSERT_EQ(::write(f.fd, g.bytes.data(), g.bytes.size()), ssize_t(g.bytes.size()));
    }
    auto dec = decoder(KIV_PROTOCOL_MEMORY, stream);
    ASSERT_TRUE(dec);
    Tally tally;
    readUntil(dec.get(), tally, [](const Tally &) { return false; }, 300ms); // the garbage alone gives nothing
    EXPECT_TRUE(tally.intact.empty());
    EXPECT_EQ(tally.corrupt, 0);

    Child sender(senderArgs("memory", stream, 9, 320, 240, 60));
    EXPECT_TRUE(readUntil(dec.get(), tally, [](const Tally &t) { return t.intact.count(9) && t.intact.at(9) >= 5; }))
        << g.name;
    EXPECT_EQ(tally.corrupt, 0);
    struct stat st{};
    ASSERT_EQ(::stat(("/dev/shm" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the segment must be private to its user";
    sender.signal(SIGTERM);
    sender.wait();
    ::shm_unlink(name.c_str());
}

INSTANTIATE_TEST_SUITE_P(Kinds, JunkAtTheSegment, ::testing::Range<size_t>(0, 4),
                         [](const auto &info) { return std::string(garbageKinds()[info.param].name); });

} // namespace
