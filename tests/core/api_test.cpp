// SPDX-License-Identifier: MIT
// The C contract as a program linking the shared library sees it.
#include <kivVidStreamLib2.h>

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Each of `codes`, from calls in order, is `expected`.
void expectAll(int expected, std::initializer_list<int> codes) {
    int call = 0;
    for (const int code : codes) EXPECT_EQ(code, expected) << "call " << call++;
}

TEST(ByteSize, PadsRowsToFourBytesAndRefusesWhatDoesNotFit) {
    const struct { kivStreamFormat format; uint32_t bytes, pitch; } cases[] = {
        {{320, 240, KIV_DEPTH_24, 1}, 320u * 3u * 240u, 960}, {{321, 1, KIV_DEPTH_16, 1}, 644, 644},
        {{321, 2, KIV_DEPTH_24, 1}, 2 * 964, 964}, {{3, 3, KIV_DEPTH_8, 1}, 12, 4}, {{5, 2, KIV_DEPTH_8, 1}, 16, 8},
        {{5, 2, KIV_DEPTH_32, 1}, 40, 20}, {{0, 240, KIV_DEPTH_24, 1}, 0, 0}, {{320, 0, KIV_DEPTH_24, 1}, 0, 960},
        {{320, 240, 4, 1}, 0, 0}, {{320, 240, 0xffff, 1}, 0, 0}, {{65535, 65535, KIV_DEPTH_8, 1}, 65536u * 65535u, 65536},
        {{65535, 65535, KIV_DEPTH_16, 1}, 0, 131072}, // 8.6 GB: over 32 bits
    };
    for (const auto &[format, bytes, pitch] : cases) {
        SCOPED_TRACE(testing::Message() << format.width << "x" << format.height << " depth " << format.depth);
        EXPECT_EQ(kivGetByteSize(&format), bytes);
        EXPECT_EQ(kivGetRowPitch(format.width, format.depth), pitch);
    }
    EXPECT_EQ(kivGetByteSize(nullptr), 0u);
}

TEST(Handles, NullForeignAndDeletedHandlesAreRefusedEverywhere) {
    int foreign_storage[16] = {};
    const kivStreamFormat fmt{8, 8, KIV_DEPTH_24, 1};
    const unsigned char pixels[8 * 8 * 3] = {};
    kivEncoderStats es;
    kivDecoderStats ds;
    kivFrameInfo info;
    for (kivEncoder *e : {static_cast<kivEncoder *>(nullptr), reinterpret_cast<kivEncoder *>(foreign_storage)})
        expectAll(KIV_ERROR_INVALID_HANDLE, {kivSetDestAddress(e, "127.0.0.1", 10588), kivSetDestFormat(e, &fmt, 0, 0), kivEncode(e, pixels), kivGetEncoderStats(e, &es), kivDeleteEncoder(e)});
    for (kivDecoder *d : {static_cast<kivDecoder *>(nullptr), reinterpret_cast<kivDecoder *>(foreign_storage)}) {
        EXPECT_EQ(kivLockReadBuffer(d, 0), nullptr);
        expectAll(0, {kivGetRecvWidth(d), kivGetRecvHeight(d), kivGetRecvDepth(d), kivGetRecvOrientation(d), int(kivGetCompressedFrameSize(d))});
        expectAll(KIV_ERROR_INVALID_HANDLE, {kivSetSourceAddress(d, 10588), kivSetAdaptiveBuffer(d, 1), kivUnlockReadBuffer(d), kivGetRecvFrameInfo(d, &info), kivGetDecoderStats(d, &ds), kivDeleteDecoder(d)});
    }
    EXPECT_EQ(foreign_storage[0], 0) << "a foreign pointer is never written through";
    // A deleted handle stays dead when the next object reuses its memory, and no handle passes for the other kind.
    for (int round = 0; round < 20; ++round) {
        kivEncoder *oldEncoder = kivGetEncoder(KIV_PROTOCOL_MEMORY, &fmt);
        kivDecoder *oldDecoder = kivGetDecoder(KIV_PROTOCOL_MEMORY, &fmt);
        expectAll(KIV_OK, {kivDeleteEncoder(oldEncoder), kivDeleteDecoder(oldDecoder)});
        kivEncoder *e = kivGetEncoder(KIV_PROTOCOL_MEMORY, &fmt);
        kivDecoder *d = kivGetDecoder(KIV_PROTOCOL_MEMORY, &fmt);
        expectAll(KIV_ERROR_INVALID_HANDLE, {kivGetEncoderStats(oldEncoder, &es), kivGetDecoderStats(oldDecoder, &ds), kivDeleteEncoder(oldEncoder),
                                             kivDeleteDecoder(oldDecoder), kivGetDecoderStats(reinterpret_cast<kivDecoder *>(e), &ds)});
        expectAll(KIV_OK, {kivGetEncoderStats(e, &es), kivDeleteEncoder(e), kivDeleteDecoder(d)});
    }
}

// Each way kivLockReadBuffer() can come back empty says which it was.
TEST(Handles, EmptyLockSaysWhy) {
    const kivStreamFormat f{8, 8, KIV_DEPTH_24, 1};
    kivDecoder *d = kivGetDecoder(KIV_PROTOCOL_MEMORY, &f);
    EXPECT_EQ(kivLockReadBuffer(d, 0), nullptr);
    EXPECT_EQ(std::pair(kivLastError(), std::string(kivLastErrorDetail())), std::pair(int(KIV_ERROR_STATE), std::string("no source set")));
    ASSERT_EQ(kivSetSourceAddress(d, 29001), KIV_OK);
    // An empty wait lasts its timeout on every transport: returning early would make a reader spin.
    for (const int protocol : {KIV_PROTOCOL_MEMORY, KIV_PROTOCOL_TCP, KIV_PROTOCOL_UDP}) {
        kivDecoder *idle = kivGetDecoder(protocol, &f);
        ASSERT_EQ(kivSetSourceAddress(idle, 29002), KIV_OK) << protocol;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kivLockReadBuffer(idle, 30), nullptr) << protocol;
        EXPECT_EQ(kivLastError(), KIV_ERROR_TIMEOUT) << protocol;
        EXPECT_STREQ(kivLastErrorDetail(), "no frame within 30 ms") << protocol;
        EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.03) << protocol;
        kivDeleteDecoder(idle);
    }
    EXPECT_EQ(kivGetRecvWidth(d), 0);
    EXPECT_EQ(kivLastError(), KIV_OK) << "a call that works clears the last error";
    kivDeleteDecoder(d);
    EXPECT_EQ(kivLockReadBuffer(d, 0), nullptr);
    EXPECT_EQ(kivLastError(), KIV_ERROR_INVALID_HANDLE);
    EXPECT_STREQ(kivErrorString(KIV_ERROR_TIMEOUT), "timed out");
}

TEST(Handles, UnknownProtocolsBadFormatsAndStreamNumbersAreRefused) {
    const kivStreamFormat ok{8, 8, KIV_DEPTH_24, 1}, badDepth{8, 8, 7, 1}, tooBig{65535, 65535, KIV_DEPTH_32, 1};
    for (int protocol : {0, 4, -1, 1000}) {
        EXPECT_EQ(kivGetEncoder(protocol, &ok), nullptr) << protocol;
        EXPECT_EQ(kivGetDecoder(protocol, &ok), nullptr) << protocol;
    }
    for (const kivStreamFormat *bad : std::initializer_list<const kivStreamFormat *>{nullptr, &badDepth, &tooBig})
        EXPECT_EQ(kivGetEncoder(KIV_PROTOCOL_MEMORY, bad), nullptr);
    EXPECT_NE(std::string(kivLastErrorDetail()), "");

    // Stream numbers become ports and shared-memory names: out of range is refused before any use.
    for (int protocol : {KIV_PROTOCOL_UDP, KIV_PROTOCOL_TCP, KIV_PROTOCOL_MEMORY}) {
        kivEncoder *e = kivGetEncoder(protocol, &ok);
        kivDecoder *d = kivGetDecoder(protocol, &ok);
        for (int stream : {0, -1, 65536, INT_MIN}) {
            EXPECT_EQ(kivSetDestAddress(e, "127.0.0.1", stream), KIV_ERROR_INVALID_ARGUMENT) << protocol << ", " << stream;
            EXPECT_EQ(kivSetSourceAddress(d, stream), KIV_ERROR_INVALID_ARGUMENT) << protocol << ", " << stream;
        }
        for (int stream : {1, 65535}) { // the ends of the range: taken, or refused for want of a privilege, at worst
            EXPECT_NE(kivSetDestAddress(e, "127.0.0.1", stream), KIV_ERROR_INVALID_ARGUMENT) << protocol << ", " << stream;
            EXPECT_NE(kivSetSourceAddress(d, stream), KIV_ERROR_INVALID_ARGUMENT) << protocol << ", " << stream;
        }
        kivDeleteEncoder(e);
        kivDeleteDecoder(d);
    }
}

// The process's address space now, in bytes.
rlim_t addressSpaceInUse() {
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        unsigned long long kb = 0;
        if (key == "VmSize:" && status >> kb) return rlim_t(kb) * 1024;
    }
    return 0;
}

// Exits 0 when kivEncode, short of memory for its copy of a big frame, says so.
[[noreturn]] void encodeWithoutRoomForTheFrame() {
    ::mallopt(M_ARENA_MAX, 1); // a new thread's arena maps 128 MB for a moment: measured then, the limit had room
    const kivStreamFormat big{4096, 4096, KIV_DEPTH_32, 1}; // KIV_MAX_FRAME_BYTES
    const std::vector<uint8_t> pixels(kivGetByteSize(&big), 1);
    kivEncoder *e = kivGetEncoder(KIV_PROTOCOL_TCP, &big);
    if (!e || kivSetDestAddress(e, "127.0.0.1", 47690) != KIV_OK) std::exit(2);
    // Room for the library's small allocations and thread stacks, not for a copy of the frame.
    const rlimit limit{addressSpaceInUse() + (24u << 20), RLIM_INFINITY};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) std::exit(3);
    std::exit(kivEncode(e, pixels.data()) == KIV_ERROR_NO_MEMORY ? 0 : 1);
}

// An allocation that fails inside a call comes back as KIV_ERROR_NO_MEMORY,
// never as an exception through the C boundary.
TEST(Handles, AnAllocationThatFailsIsNoMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit leaves";
#endif
    EXPECT_EXIT(encodeWithoutRoomForTheFrame(), testing::ExitedWithCode(0), "");
}

} // namespace
