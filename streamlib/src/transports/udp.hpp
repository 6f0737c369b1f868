// SPDX-License-Identifier: MIT
// "Multicast (UDP)": frames cut into datagrams, sent unicast or to a multicast
// group, put together again by a Reassembler on the receiving side.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "../transport.hpp"
#include "udp_datagram.hpp"
#include "udp_reassembler.hpp"

namespace kiv::udp {

// A seeded pattern of datagrams to drop and repeat (kivImpairment), and where
// it stands. Owned by one thread.
class Impairer {
public:
    void reset(const kivImpairment &settings);
    bool active() const { return settings_.lossPerMillion != 0 || settings_.duplicatePerMillion != 0; }
    // How many times the next datagram goes out (or is taken in): 0, 1 or 2.
    int next();

private:
    kivImpairment settings_{};
    std::mt19937_64 rng_;
    uint32_t lossRunLeft_ = 0;
};

// What the caller of a UDP encoder may change while it runs, and what the
// sender tells back: shared by the API's encoder and its sending transport,
// safe from any thread.
class SenderControls {
public:
    std::atomic<int> protectionPercent{kDefaultFecPercent}; // the floor; loss reports raise it
    std::atomic<uint64_t> maxRateBytesPerSecond{0};       // 0: no cap beyond the pacing rule

    // Impairment of the forward path (datagrams sent) and of the return path
    // (requests and reports received). take* hands a change over once.
    void setImpairment(bool returnPath, const kivImpairment &impairment);
    bool takeImpairment(bool returnPath, kivImpairment &out);

    kivUdpSenderStats stats() const;

    std::atomic<uint64_t> paceBytesPerSecond{0}, parityPercent{kDefaultFecPercent};
    std::atomic<uint64_t> requestsAccepted{0}, requestsRefused{0}, datagramsResent{0}, resendsOverBudget{0},
        reportsAccepted{0};

private:
    mutable std::mutex mutex_;
    kivImpairment impairment_[2]{};
    bool changed_[2]{};
};

// The same for a UDP decoder; it outlives the transports the decoder replaces.
using ReceiverControls = RepairCounters;
kivRepairStats repairStats(const ReceiverControls &controls);

struct SenderOptions {
    size_t maxDatagram = kDefaultMaxDatagram; // UDP payload bytes per datagram
    // Fastest sending rate, for frames sent back to back; frames that come at a
    // rhythm are spread over most of the time between them. On loopback a
    // receiver keeps up with about 3 GB/s; unpaced, a big frame overruns its
    // socket buffer.
    uint64_t paceBytesPerSecond = 3'000'000'000;
    uint64_t burstBytes = 256 * 1024;
    bool allowGso = true;
    int sendBufferBytes = 4 << 20;
    int multicastTtl = 1;
    // Datagrams kept for repair requests: at most this many bytes (never less
    // than the newest frame) and this long.
    uint64_t repairRingBytes = 64ull << 20;
    int64_t repairRingUs = 1'000'000;
    std::shared_ptr<SenderControls> controls{}; // made by the sender when empty
};

struct ReceiverOptions {
    bool allowGro = true;
    int receiveBufferBytes = 32 << 20; // a whole 3840x2160x32 frame, were the reader held up
    ReassemblerLimits limits;
    std::shared_ptr<ReceiverControls> controls{}; // made by the receiver when empty
};

// Largest single datagram a receiver takes (a 9000-byte jumbo MTU fits).
inline constexpr size_t kMaxReceivedDatagram = 9216;

// What a receiver found out about its socket, for logs and benchmarks.
struct ReceiverInfo {
    int receiveBufferBytes = 0; // as granted by the kernel
    bool receiveBufferCapped = false;
    bool groActive = false;
};

// The multicast group decoders join: KIVSTREAM_MULTICAST_GROUP or KIV_MULTICAST_GROUP.
std::string multicastGroup();

// The UDP transports, with what only UDP has.
class UdpSenderTransport : public SenderTransport {
public:
    // Whether the sender still uses UDP GSO (it falls back when the route refuses it).
    virtual bool gsoActive() const = 0;
};

class UdpReceiverTransport : public QueuedReceiverTransport {
public:
    // Filled by start().
    virtual ReceiverInfo info() const = 0;
};

// Options as for an encoder or decoder made through the C API: offload as the
// environment allows, and the given controls.
SenderOptions defaultSenderOptions(std::shared_ptr<SenderControls> controls);
ReceiverOptions defaultReceiverOptions(std::shared_ptr<ReceiverControls> controls);

std::unique_ptr<UdpSenderTransport> makeSender(SenderOptions options);
std::unique_ptr<UdpReceiverTransport> makeReceiver(ReceiverOptions options);

} // namespace kiv::udp
