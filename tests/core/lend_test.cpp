// SPDX-License-Identifier: MIT
// Lent frames: they stay as they came while the decoder reads on, outlive it,
// and are few enough that a shared-memory sender keeps slots to write.
#include <kivVidStreamLib2.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Route {
    const char *name;
    int protocol;
    int compress; // JPEG frames are lent from the decoder's own buffer
    int stream;
};
// UDP lends as TCP does: both move the received buffer out.
const Route kRoutes[] = {{"memory", KIV_PROTOCOL_MEMORY, 0, 25641},
                         {"tcp", KIV_PROTOCOL_TCP, 0, 25642},
                         {"tcp, jpeg", KIV_PROTOCOL_TCP, 1, 25643}};

const kivStreamFormat kFormat{64, 48, KIV_DEPTH_32, 1};

bool near(uint8_t got, uint8_t want) { return std::abs(int(got) - int(want)) <= 4; } // JPEG is lossy

// Sends frames of `value` until one of them comes back lent; frames of
// earlier values still on their way are given back.
kiv::LentFrameHandle lendFrameOf(kivEncoder *e, kivDecoder *d, uint8_t value, const uint8_t *&pixels) {
    const std::vector<uint8_t> frame(kivGetByteSize(&kFormat), value);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        kivEncode(e, frame.data());
        const void *p = nullptr;
        kiv::LentFrameHandle lent(kivLendFrame(d, 50, &p, nullptr));
        if (lent && near(static_cast<const uint8_t *>(p)[0], value)) {
            pixels = static_cast<const uint8_t *>(p);
            return lent;
        }
    }
    return nullptr;
}

TEST(LendFrame, ALentFrameStaysAsItCameWhileTheDecoderReadsOnAndAfterItIsGone) {
    const size_t bytes = kivGetByteSize(&kFormat);
    for (const Route &r : kRoutes) {
        SCOPED_TRACE(r.name);
        kiv::DecoderHandle d(kivGetDecoder(r.protocol, nullptr));
        ASSERT_EQ(kivSetSourceAddress(d.get(), r.stream), KIV_OK) << kivLastErrorDetail();
        kiv::EncoderHandle e(kivGetEncoder(r.protocol, &kFormat));
        ASSERT_EQ(kivSetDestAddress(e.get(), "127.0.0.1", r.stream), KIV_OK) << kivLastErrorDetail();
        ASSERT_EQ(kivSetDestFormat(e.get(), &kFormat, r.compress, 50), KIV_OK);

        const uint8_t *first = nullptr, *second = nullptr;
        kiv::LentFrameHandle lentFirst = lendFrameOf(e.get(), d.get(), 0x20, first);
        ASSERT_NE(lentFirst, nullptr) << kivLastErrorDetail();
        const std::vector<uint8_t> firstAsLent(first, first + bytes);
        kiv::LentFrameHandle lentSecond = lendFrameOf(e.get(), d.get(), 0x60, second);
        ASSERT_NE(lentSecond, nullptr) << kivLastErrorDetail();
        const std::vector<uint8_t> secondAsLent(second, second + bytes);

        const void *p = &p;
        EXPECT_EQ(kivLendFrame(d.get(), 0, &p, nullptr), nullptr) << "a third frame lent";
        EXPECT_EQ(kivLastError(), KIV_ERROR_BUSY);

        // Locking still works, and the frames read meanwhile go through every slot a shared-memory sender would write.
        const std::vector<uint8_t> later(bytes, 0xa0);
        int locked = 0;
        for (int i = 0; i < 400 && locked < 12; ++i) {
            kivEncode(e.get(), later.data());
            if (const void *frame = kivLockReadBuffer(d.get(), 20)) {
                ++locked;
                EXPECT_EQ(kivLendFrame(d.get(), 0, &p, nullptr), nullptr) << "lent while a frame is locked";
                EXPECT_EQ(kivLastError(), KIV_ERROR_STATE);
                EXPECT_PRED2(near, static_cast<const uint8_t *>(frame)[0], 0xa0);
                kivUnlockReadBuffer(d.get());
            }
        }
        EXPECT_EQ(locked, 12);
        EXPECT_EQ(std::memcmp(first, firstAsLent.data(), bytes), 0) << "the first lent frame changed";
        EXPECT_EQ(std::memcmp(second, secondAsLent.data(), bytes), 0) << "the second lent frame changed";

        std::thread([&] { lentFirst.reset(); }).join(); // any thread may give a frame back
        const uint8_t *third = nullptr;
        kiv::LentFrameHandle lentThird = lendFrameOf(e.get(), d.get(), 0xe0, third);
        EXPECT_NE(lentThird, nullptr) << "no frame lent after one came back: " << kivLastErrorDetail();

        e.reset();
        d.reset();
        EXPECT_EQ(std::memcmp(second, secondAsLent.data(), bytes), 0) << "the lent frame changed with the decoder gone";
        EXPECT_EQ(kivReturnFrame(lentSecond.get()), KIV_OK);
        EXPECT_EQ(kivReturnFrame(lentSecond.release()), KIV_ERROR_INVALID_HANDLE) << "given back twice";
    }
    const void *p = nullptr;
    EXPECT_EQ(kivLendFrame(nullptr, 0, &p, nullptr), nullptr);
    EXPECT_EQ(kivLastError(), KIV_ERROR_INVALID_HANDLE);
}

} // namespace
