// "Multicast (UDP)": frames cut into datagrams, sent unicast or to a multicast
// group, put together again by a Reassembler on the receiving side.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "../transport.hpp"
#include "udp_datagram.hpp"
#include "udp_reassembler.hpp"

namespace kiv {
std::unique_ptr<SenderTransport> makeUdpSender();
std::unique_ptr<ReceiverTransport> makeUdpReceiver();
} // namespace kiv

namespace kiv::udp {

struct SenderOptions {
    size_t maxDatagram = kDefaultMaxDatagram; // UDP payload bytes per datagram
    // Sending rate while a frame goes out (not 0) and the burst a receiver must
    // absorb at once. On loopback a receiver keeps up with about 3 GB/s; unpaced,
    // a big frame overruns its socket buffer.
    uint64_t paceBytesPerSecond = 3'000'000'000;
    uint64_t burstBytes = 256 * 1024;
    bool allowGso = true;
    int sendBufferBytes = 4 << 20;
    int multicastTtl = 1;
};

struct ReceiverOptions {
    bool allowGro = true;
    int receiveBufferBytes = 32 << 20; // a whole 3840x2160x32 frame, were the reader held up
    ReassemblerLimits limits;
};

// Largest single datagram a receiver takes (a 9000-byte jumbo MTU fits).
inline constexpr size_t kMaxReceivedDatagram = 9216;

// What a receiver found out about its socket, for logs and benchmarks.
struct ReceiverInfo {
    int receiveBufferBytes = 0; // as granted by the kernel
    bool receiveBufferCapped = false;
    bool groActive = false;
    int groupsJoined = 0; // interfaces on which the multicast group was joined
};

// The multicast group decoders join: KIVSTREAM_MULTICAST_GROUP or KIV_MULTICAST_GROUP.
std::string multicastGroup();

std::unique_ptr<SenderTransport> makeSender(const SenderOptions &options);
std::unique_ptr<ReceiverTransport> makeReceiver(const ReceiverOptions &options);

// Filled by start(); zeros for a transport that is not a started UDP receiver.
ReceiverInfo receiverInfo(const ReceiverTransport &receiver);
// Whether a sender still uses UDP GSO (it falls back when the route refuses it).
bool gsoActive(const SenderTransport &sender);

} // namespace kiv::udp
