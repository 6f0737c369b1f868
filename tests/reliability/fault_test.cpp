// Peers that die or freeze mid-stream, on every transport: whoever is left
// never gets a torn frame, never blocks, and takes up the next peer by itself.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "support.hpp"

namespace {

using namespace reltest;

struct Transport {
    const char *name;
    int protocol;
    int stream; // each test adds its own offset
    bool secondSenderWhileFirstFrozen; // memory: a frozen sender still owns its stream
};

const Transport kTransports[] = {
    {"udp", KIV_PROTOCOL_UDP, 26010, true},
    {"tcp", KIV_PROTOCOL_TCP, 26020, true},
    {"memory", KIV_PROTOCOL_MEMORY, 26030, false},
};

class DeadPeers : public ::testing::TestWithParam<Transport> {
protected:
    std::unique_ptr<kivDecoder, DecoderDeleter> decoder(int stream) {
        std::unique_ptr<kivDecoder, DecoderDeleter> dec(kivGetDecoder(GetParam().protocol, nullptr));
        if (dec) {
            EXPECT_EQ(kivSetSourceAddress(dec.get(), stream), KIV_OK) << kivLastErrorDetail();
        }
        return dec;
    }
};

// Big frames at a high rate: most of a sender's time goes into a frame's bytes,
// so a signal lands mid-frame.
constexpr int kWidth = 1280, kHeight = 720, kFps = 60;

TEST_P(DeadPeers, SenderKilledMidFrameIsFollowedByTheNextSender) {
    const Transport t = GetParam();
    const int stream = t.stream + 0;
    auto dec = decoder(stream);
    if (!dec) GTEST_SKIP() << t.name << " is not in this build";
    Tally tally;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        Child sender(senderArgs(t.name, stream, seed, kWidth, kHeight, kFps));
        ASSERT_TRUE(readUntil(dec.get(), tally, [&](const Tally &s) { return s.intact.count(seed) && s.intact.at(seed) >= 3; }))
            << "sender " << seed;
        sender.signal(SIGKILL);
        EXPECT_EQ(sender.wait(), 128 + SIGKILL);
    }
    EXPECT_EQ(tally.corrupt, 0);
}

TEST_P(DeadPeers, SenderFrozenMidFrameNeitherTearsFramesNorKeepsTheNextOneOut) {
    const Transport t = GetParam();
    const int stream = t.stream + 1;
    auto dec = decoder(stream);
    if (!dec) GTEST_SKIP() << t.name << " is not in this build";
    Tally tally;
    auto frozen = std::make_unique<Child>(senderArgs(t.name, stream, 1, kWidth, kHeight, kFps));
    ASSERT_TRUE(readUntil(dec.get(), tally, [](const Tally &s) { return s.intact.count(1) && s.intact.at(1) >= 3; }));
    frozen->signal(SIGSTOP); // gone without a word: its socket or segment stays open
    if (!t.secondSenderWhileFirstFrozen) frozen.reset();
    Child next(senderArgs(t.name, stream, 2, kWidth, kHeight, kFps));
    EXPECT_TRUE(readUntil(dec.get(), tally, [](const Tally &s) { return s.intact.count(2) && s.intact.at(2) >= 5; }));
    frozen.reset();
    EXPECT_EQ(tally.corrupt, 0);
}

// Sends self-checking frames from a thread of the test until it goes,
// remembering whether any call failed.
class LocalSender {
public:
    LocalSender(int protocol, int stream) {
        const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
        enc_.reset(kivGetEncoder(protocol, &fmt));
        if (!enc_ || kivSetDestAddress(enc_.get(), "127.0.0.1", stream) != KIV_OK) return;
        thread_ = std::thread([this, fmt] {
            std::vector<uint8_t> frame(kivGetByteSize(&fmt));
            for (uint32_t n = 0; !stop_; ++n) {
                fill(frame.data(), frame.size(), 7, n);
                if (kivEncode(enc_.get(), frame.data()) != KIV_OK) ++failures_;
                ++calls_;
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    ~LocalSender() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool running() const { return thread_.joinable(); }
    uint64_t calls() const { return calls_; }
    uint64_t failures() const { return failures_; }

private:
    std::unique_ptr<kivEncoder, EncoderDeleter> enc_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> calls_{0}, failures_{0};
};

TEST_P(DeadPeers, ReceiversKilledOrFrozenAreReplacedWhileTheSenderCarriesOn) {
    const Transport t = GetParam();
    const int stream = t.stream + 2;
    if (std::unique_ptr<kivDecoder, DecoderDeleter> probe(kivGetDecoder(t.protocol, nullptr)); !probe)
        GTEST_SKIP() << t.name << " is not in this build";
    // TCP: the receiver listens, so it comes first; the sender keeps reconnecting.
    auto first = std::make_unique<Child>(receiverArgs(t.name, stream));
    LocalSender sender(t.protocol, stream);
    ASSERT_TRUE(sender.running()) << kivLastErrorDetail();
    ASSERT_TRUE(first->waitForLine("intact 3"));
    first->signal(SIGKILL);
    EXPECT_EQ(first->wait(), 128 + SIGKILL);

    Child frozen(receiverArgs(t.name, stream));
    ASSERT_TRUE(frozen.waitForLine("intact 3"));
    frozen.signal(SIGSTOP);
    // A receiver that reads nothing fills every buffer between the two: the
    // sender must go on returning at once and dropping.
    const uint64_t before = sender.calls();
    EXPECT_TRUE(waitUntil([&] { return sender.calls() >= before + 100; }));
    frozen.signal(SIGKILL);
    EXPECT_EQ(frozen.wait(), 128 + SIGKILL);

    Child last(receiverArgs(t.name, stream));
    EXPECT_TRUE(last.waitForLine("intact 3"));
    EXPECT_EQ(sender.failures(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllTransports, DeadPeers, ::testing::ValuesIn(kTransports),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
