// SPDX-License-Identifier: MIT
// What the transport tests share: owning handles, waits with deadlines, picture bytes, frames as they
// go on the wire, plain loopback sockets, and a sender in a second process.
#pragma once

#include <kivVidStreamLib2.hpp>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "format.hpp"
#include "util/unique_fd.hpp"
#include "wire.hpp"

namespace nettest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit = 10s) {
    for (const auto deadline = Clock::now() + limit; !condition(); std::this_thread::sleep_for(2ms))
        if (Clock::now() >= deadline) return false;
    return true;
}

// Bytes that tell frames, senders and byte positions apart.
inline std::vector<uint8_t> pattern(uint64_t seed, uint32_t frame, size_t size) {
    std::vector<uint8_t> v(size);
    uint64_t x = seed * 0x9e3779b97f4a7c15ull + frame * 0xbf58476d1ce4e5b9ull + 1;
    for (size_t i = 0; i < size; i += 8) { // a word per step: sanitizer builds check every store
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(v.data() + i, &x, std::min<size_t>(8, size - i));
    }
    return v;
}

inline kiv::WireHeader frameHeader(const kivStreamFormat &f, uint64_t session, uint32_t number) {
    return {.format = f, .frameNumber = number, .sessionId = session, .payloadSize = uint32_t(kiv::frameBytes64(f))};
}

// The first `keep` bytes of a frame as a TCP sender puts it on the connection:
// the header, then pattern(session, number) as its payload.
inline std::vector<uint8_t> wireFrame(const kiv::WireHeader &h, size_t keep = SIZE_MAX) {
    std::vector<uint8_t> out(kiv::kWireHeaderSize);
    kiv::encodeHeader(h, std::span<uint8_t, kiv::kWireHeaderSize>(out.data(), kiv::kWireHeaderSize));
    const auto payload = pattern(h.sessionId, h.frameNumber, std::min<size_t>(h.payloadSize, keep - std::min(keep, out.size())));
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(std::min(keep, out.size()));
    return out;
}

using Socket = kiv::UniqueFd;

inline sockaddr_in loopback(int port) { return {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}}; }

// Connects to 127.0.0.1:port, retrying while the listener comes up.
inline Socket connectTo(int port) {
    Socket s;
    waitUntil([&] {
        s.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in sa = loopback(port);
        return ::connect(s.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    });
    return s;
}

inline Socket listenOn(int port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = loopback(port);
    if (::bind(s.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 || ::listen(s.get(), 4) != 0) s.reset();
    return s;
}

inline bool sendAll(const Socket &s, std::span<const uint8_t> bytes) {
    for (ssize_t n = 0; !bytes.empty(); bytes = bytes.subspan(size_t(n)))
        if ((n = ::send(s.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    return true;
}

using Encoder = kiv::EncoderHandle;
using Decoder = kiv::DecoderHandle;

inline std::string thisProgram() { return std::filesystem::read_symlink("/proc/self/exe"); }

inline int shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs this program's test `name` again inside a network namespace of its own with loopback up and multicast
// routed to it, after `setup` (shell commands); skipped without the ip tool or the one the test `needs`.
inline void inPrivateNetwork(const char *name, const std::string &env, const std::string &setup = "true", const char *needs = "ip") {
    if (shell("unshare -n true >/dev/null 2>&1") != 0) GTEST_SKIP() << "cannot create a network namespace (unshare -n failed)";
    for (const std::string tool : {"ip", needs})
        if (shell("command -v " + tool + " >/dev/null 2>&1") != 0) GTEST_SKIP() << "the " << tool << " tool is not installed";
    EXPECT_EQ(shell(env + " KIV_INSIDE_NETNS=1 unshare -n sh -c 'ip link set lo up && ip link set lo multicast on && "
                    "ip route add 224.0.0.0/4 dev lo && " + setup + " && exec \"$0\" --gtest_filter=" + name + "' " + thisProgram()),
              0) << env;
}

// `adaptive` as kivSetAdaptiveBuffer() takes it: 0 queues frames in order.
inline Decoder startDecoder(int protocol, int port, int adaptive = 1) {
    Decoder d(kivGetDecoder(protocol, nullptr));
    EXPECT_NE(d.get(), nullptr) << kivLastErrorDetail();
    if (d) { EXPECT_EQ(kivSetSourceAddress(d.get(), port), KIV_OK) << kivLastErrorDetail(); }
    if (d) { EXPECT_EQ(kivSetAdaptiveBuffer(d.get(), adaptive), KIV_OK); }
    return d;
}

inline Encoder startEncoder(int protocol, const kivStreamFormat &f, const char *address, int port) {
    Encoder e(kivGetEncoder(protocol, &f));
    EXPECT_NE(e.get(), nullptr) << kivLastErrorDetail();
    if (e) { EXPECT_EQ(kivSetDestAddress(e.get(), address, port), KIV_OK) << kivLastErrorDetail(); }
    return e;
}

inline kivDecoderStats stats(kivDecoder *d) { kivDecoderStats s{}; return kivGetDecoderStats(d, &s), s; }
inline kivEncoderStats stats(kivEncoder *e) { kivEncoderStats s{}; return kivGetEncoderStats(e, &s), s; }
// Nothing queued or on the wire, and every frame sent counted at its full size.
inline bool allSent(kivEncoder *e, uint64_t frameBytes) { const auto s = stats(e); return s.framesSent + s.framesDropped == s.framesEncoded && s.bytesSent == s.framesSent * frameBytes; }

struct Received {
    kivStreamFormat format{};
    kivFrameInfo info{};
    std::vector<uint8_t> bytes;
};

// Locks frames until one satisfies `want` (or the time is up) and returns a copy of it.
inline std::optional<Received> receive(kivDecoder *d, const std::function<bool(const Received &)> &want = {},
                                       std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    do {
        const auto *p = static_cast<const uint8_t *>(kivLockReadBuffer(d, 50));
        if (!p) continue;
        Received r{};
        kivGetRecvFormat(d, &r.format);
        kivGetRecvFrameInfo(d, &r.info);
        r.bytes.assign(p, p + kivGetByteSize(&r.format));
        kivUnlockReadBuffer(d);
        if (!want || want(r)) return r;
    } while (Clock::now() < deadline);
    return std::nullopt;
}

} // namespace nettest
