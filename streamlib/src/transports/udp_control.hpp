// SPDX-License-Identifier: MIT
// Messages a UDP receiver sends back to the sender whose datagrams it gets:
// requests for fragments it could not rebuild, and reports of the loss it sees.
// They come from outside, so every field is checked before anything is done.
//
// Little-endian, after the 8 bytes every UDP message starts with
// (0 magic u32 "KIVU", 4 version u8, 5 kind u8, 6 u16 as below):
//   Repair request (kind 1), 24 + 8 * ranges bytes:
//     6 ranges u16 (1..kMaxRequestRanges)   8 session u64   16 frame number u32
//     20 reserved u32 (0)                    24 ranges: first fragment index u32, count u32
//   Loss report (kind 2), 24 bytes:
//     6 flags u16 (0x1: the receiver does not ask for repairs)   8 session u64
//     16 datagrams expected u32   20 of them lost u32
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kiv::udp {

inline constexpr uint8_t kKindRepairRequest = 1;
inline constexpr uint8_t kKindLossReport = 2;
inline constexpr size_t kControlHeaderSize = 24;
inline constexpr size_t kMaxRequestRanges = 64;
inline constexpr size_t kLossReportSize = kControlHeaderSize;
inline constexpr size_t kMaxControlSize = kControlHeaderSize + 8 * kMaxRequestRanges;

struct FragmentRange {
    uint32_t first = 0;
    uint32_t count = 0;
    bool operator==(const FragmentRange &) const = default;
};

struct RepairRequest {
    uint64_t session = 0;
    uint32_t frameNumber = 0;
    size_t rangeCount = 0;
    std::array<FragmentRange, kMaxRequestRanges> ranges{};

    std::span<const FragmentRange> used() const { return {ranges.data(), rangeCount}; }
    // Adds `index`, extending the last range when it follows on; false when full.
    bool add(uint32_t index);
};

inline constexpr uint16_t kReportParityOnly = 0x1;

struct LossReport {
    uint64_t session = 0;
    uint32_t expected = 0; // first sendings of datagrams due since the last report
    uint32_t lost = 0;     // of those, never seen
    bool parityOnly = false; // the receiver relies on parity alone
};

enum class ControlError { None, Truncated, NotControl, BadSize, Reserved, BadRange, BadCounts };

// Writes the message into `out` (kMaxControlSize bytes) and returns its size.
size_t encodeRequest(const RepairRequest &request, std::span<uint8_t, kMaxControlSize> out);
size_t encodeReport(const LossReport &report, std::span<uint8_t, kMaxControlSize> out);

// The kind of a UDP message (kKind*), or -1 when `bytes` is no UDP message of ours.
int messageKind(std::span<const uint8_t> bytes);

// Each validates the whole message: exact size, reserved fields 0, ranges
// non-empty and inside 32 bits, 0 < expected, lost <= expected.
ControlError parseRequest(std::span<const uint8_t> bytes, RepairRequest &out);
ControlError parseReport(std::span<const uint8_t> bytes, LossReport &out);

} // namespace kiv::udp
