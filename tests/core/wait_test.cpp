// SPDX-License-Identifier: MIT
// Waiting on a decoder from outside: its fd, kivWakeDecoder, and the format in one call.
#include <kivVidStreamLib2.hpp>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <future>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono_literals;

using Encoder = kiv::EncoderHandle;
using Decoder = kiv::DecoderHandle;

bool readable(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, int(wait.count())) == 1;
}

long voluntarySwitches() { rusage u{}; return ::getrusage(RUSAGE_SELF, &u), u.ru_nvcsw; }

// Sends until the decoder's fd says a frame is there; false if none came in 10 s.
bool sendUntilReady(kivEncoder *e, const void *pixels, int fd) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        kivEncode(e, pixels);
        if (readable(fd, 50ms)) return true;
    }
    return false;
}

struct Route {
    const char *name;
    int protocol;
    int stream;
};
// UDP hands frames over as TCP does; its tests run in a network namespace of their own.
const Route kRoutes[] = {{"memory", KIV_PROTOCOL_MEMORY, 25601}, {"tcp", KIV_PROTOCOL_TCP, 25602}};

// The fd is readable exactly while a lock would not wait, a wake included, whether asked for after the start or
// before it (here, before the change of stream).
TEST(WaitOnDecoder, FdIsReadableWhileAFrameOrAWakeIsThere) {
    // Orientation above 255 checks that the format comes whole.
    const kivStreamFormat format{64, 48, KIV_DEPTH_32, 0x1234};
    const std::vector<uint8_t> pixels(kivGetByteSize(&format), 0x5a);
    for (const Route &r : kRoutes) {
        SCOPED_TRACE(r.name);
        Decoder d(kivGetDecoder(r.protocol, nullptr));
        ASSERT_EQ(kivSetSourceAddress(d.get(), r.stream), KIV_OK) << kivLastErrorDetail();
        const int fd = kivGetDecoderFd(d.get());
        ASSERT_GE(fd, 0) << kivLastErrorDetail();
        EXPECT_FALSE(readable(fd, 0ms));
        Encoder e(kivGetEncoder(r.protocol, &format));
        ASSERT_EQ(kivSetDestAddress(e.get(), "127.0.0.1", r.stream), KIV_OK) << kivLastErrorDetail();
        ASSERT_TRUE(sendUntilReady(e.get(), pixels.data(), fd));
        ASSERT_NE(kivLockReadBuffer(d.get(), 0), nullptr) << kivLastErrorDetail();
        kivStreamFormat got{};
        EXPECT_EQ(kivGetRecvFormat(d.get(), &got), KIV_OK);
        EXPECT_EQ(got.orientation, format.orientation);
        EXPECT_EQ(kivGetRecvOrientation(d.get()), 0x34) << "the old getter keeps the low 8 bits";
        EXPECT_EQ(kivGetRecvFormat(d.get(), nullptr), KIV_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(kivUnlockReadBuffer(d.get()), KIV_OK);
        e.reset();
        // Frames still on their way may make it readable once more: drain them.
        while (kivLockReadBuffer(d.get(), 200)) kivUnlockReadBuffer(d.get());
        EXPECT_FALSE(readable(fd, 0ms));

        EXPECT_EQ(kivWakeDecoder(d.get()), KIV_OK);
        EXPECT_EQ(kivWakeDecoder(d.get()), KIV_OK);
        EXPECT_TRUE(readable(fd, 0ms));
        EXPECT_EQ(kivLockReadBuffer(d.get(), 5000), nullptr);
        EXPECT_EQ(kivLastError(), KIV_ERROR_INTERRUPTED);
        EXPECT_FALSE(readable(fd, 0ms)) << "two wakes count as one";
        EXPECT_EQ(kivLockReadBuffer(d.get(), 0), nullptr);
        EXPECT_EQ(kivLastError(), KIV_ERROR_TIMEOUT);

        ASSERT_EQ(kivSetSourceAddress(d.get(), r.stream + 10), KIV_OK) << kivLastErrorDetail();
        EXPECT_FALSE(readable(fd, 0ms));
        e.reset(kivGetEncoder(r.protocol, &format)); // the fd, there before this start, says when frames come
        ASSERT_EQ(kivSetDestAddress(e.get(), "127.0.0.1", r.stream + 10), KIV_OK) << kivLastErrorDetail();
        EXPECT_TRUE(sendUntilReady(e.get(), pixels.data(), fd));
    }
    EXPECT_LT(kivGetDecoderFd(nullptr), 0);
    EXPECT_EQ(kivWakeDecoder(nullptr), KIV_ERROR_INVALID_HANDLE);
}

// A wait hardly wakes, and a wake from another thread ends a wait, with or without the fd (shared memory
// then waits on a thread of its own), once a sender has gone and with an idle one; closing the decoder returns at once.
TEST(WaitOnDecoder, WakeEndsABlockedLock) {
    const kivStreamFormat format{16, 16, KIV_DEPTH_8, 1};
    const std::vector<uint8_t> pixels(kivGetByteSize(&format), 1);
    for (const Route &r : kRoutes)
        for (const bool withFd : {false, true})
            for (const bool sender : {false, true}) {
                SCOPED_TRACE(testing::Message() << r.name << (withFd ? " with fd" : " without fd")
                                                << (sender ? ", idle sender" : ", sender gone"));
                const int stream = r.stream + 20 + 2 * withFd + sender;
                Decoder d(kivGetDecoder(r.protocol, nullptr));
                if (withFd) {
                    ASSERT_GE(kivGetDecoderFd(d.get()), 0);
                }
                ASSERT_EQ(kivSetSourceAddress(d.get(), stream), KIV_OK) << kivLastErrorDetail();
                EXPECT_EQ(kivLockReadBuffer(d.get(), 50), nullptr); // waiting for a sender to come
                Encoder e(kivGetEncoder(r.protocol, &format));
                ASSERT_EQ(kivSetDestAddress(e.get(), "127.0.0.1", stream), KIV_OK) << kivLastErrorDetail();
                for (int i = 0; i < 100 && !kivLockReadBuffer(d.get(), 100); ++i) kivEncode(e.get(), pixels.data());
                ASSERT_EQ(kivUnlockReadBuffer(d.get()), KIV_OK) << "no frame came";
                if (!sender) e.reset(); // gone: its reader waits for the next as if none had come
                while (kivLockReadBuffer(d.get(), 200)) kivUnlockReadBuffer(d.get()); // counted once idle, its start over
                const long before = voluntarySwitches();
                const std::clock_t cpu = std::clock();
                auto waiting = std::async(std::launch::async, [&] {
                    const void *p = kivLockReadBuffer(d.get(), 30'000);
                    return p ? KIV_OK : kivLastError();
                });
                EXPECT_EQ(waiting.wait_for(1s), std::future_status::timeout) << "returned with nothing to return";
                EXPECT_LE(voluntarySwitches() - before, 5) << "wake-ups of the process in an idle second";
                EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.2) << "CPU seconds of the process in an idle second";
                EXPECT_EQ(kivWakeDecoder(d.get()), KIV_OK);
                ASSERT_EQ(waiting.wait_for(250ms), std::future_status::ready) << "a wake ends the wait at once";
                EXPECT_EQ(waiting.get(), KIV_ERROR_INTERRUPTED);
                if (sender && r.protocol == KIV_PROTOCOL_MEMORY) { // a sender that goes wakes its readers, not their next look
                    auto next = std::async(std::launch::async, [&] { return kivLockReadBuffer(d.get(), 30'000) != nullptr; });
                    EXPECT_EQ(next.wait_for(50ms), std::future_status::timeout) << "returned with nothing to return";
                    e.reset(kivGetEncoder(r.protocol, &format));
                    ASSERT_EQ(kivSetDestAddress(e.get(), nullptr, stream), KIV_OK) << kivLastErrorDetail();
                    ASSERT_EQ(kivEncode(e.get(), pixels.data()), KIV_OK);
                    EXPECT_EQ(next.wait_for(250ms), std::future_status::ready) << "the next sender's frame came late";
                }
                const auto closing = std::chrono::steady_clock::now();
                d.reset();
                EXPECT_LT(std::chrono::steady_clock::now() - closing, 250ms);
            }
}

} // namespace
