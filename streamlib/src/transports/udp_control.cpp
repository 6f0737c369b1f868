// SPDX-License-Identifier: MIT
#include "udp_control.hpp"

#include "../util/little_endian.hpp"
#include "udp_datagram.hpp"

namespace kiv::udp {
using namespace le;
namespace {

void putPrefix(uint8_t *p, uint8_t kind, uint16_t word, uint64_t session) {
    put32(p, kUdpMagic);
    p[4] = kUdpVersion;
    p[5] = kind;
    put16(p + 6, word);
    put64(p + 8, session);
}

} // namespace

bool RepairRequest::add(uint32_t index) {
    if (rangeCount != 0) {
        FragmentRange &last = ranges[rangeCount - 1];
        if (uint64_t(last.first) + last.count == index) {
            ++last.count;
            return true;
        }
    }
    if (rangeCount == kMaxRequestRanges) return false;
    ranges[rangeCount++] = {index, 1};
    return true;
}

size_t encodeRequest(const RepairRequest &request, std::span<uint8_t, kMaxControlSize> out) {
    uint8_t *p = out.data();
    putPrefix(p, kKindRepairRequest, uint16_t(request.rangeCount), request.session);
    put32(p + 16, request.frameNumber);
    put32(p + 20, 0);
    for (size_t i = 0; i != request.rangeCount; ++i) {
        put32(p + kControlHeaderSize + 8 * i, request.ranges[i].first);
        put32(p + kControlHeaderSize + 8 * i + 4, request.ranges[i].count);
    }
    return kControlHeaderSize + 8 * request.rangeCount;
}

size_t encodeReport(const LossReport &report, std::span<uint8_t, kMaxControlSize> out) {
    uint8_t *p = out.data();
    putPrefix(p, kKindLossReport, report.parityOnly ? kReportParityOnly : 0, report.session);
    put32(p + 16, report.expected);
    put32(p + 20, report.lost);
    return kLossReportSize;
}

int messageKind(std::span<const uint8_t> bytes) {
    if (bytes.size() < 8 || get32(bytes.data()) != kUdpMagic || bytes[4] != kUdpVersion) return -1;
    return bytes[5];
}

ControlError parseRequest(std::span<const uint8_t> bytes, RepairRequest &out) {
    if (bytes.size() < kControlHeaderSize) return ControlError::Truncated;
    const uint8_t *p = bytes.data();
    if (messageKind(bytes) != kKindRepairRequest) return ControlError::NotControl;
    const size_t ranges = get16(p + 6);
    if (ranges == 0 || ranges > kMaxRequestRanges || bytes.size() != kControlHeaderSize + 8 * ranges)
        return ControlError::BadSize;
    if (get32(p + 20) != 0) return ControlError::Reserved;
    out.session = get64(p + 8);
    out.frameNumber = get32(p + 16);
    out.rangeCount = ranges;
    for (size_t i = 0; i != ranges; ++i) {
        const FragmentRange r{get32(p + kControlHeaderSize + 8 * i), get32(p + kControlHeaderSize + 8 * i + 4)};
        if (r.count == 0 || uint64_t(r.first) + r.count > UINT32_MAX) return ControlError::BadRange;
        out.ranges[i] = r;
    }
    return ControlError::None;
}

ControlError parseReport(std::span<const uint8_t> bytes, LossReport &out) {
    if (bytes.size() < kControlHeaderSize) return ControlError::Truncated;
    const uint8_t *p = bytes.data();
    if (messageKind(bytes) != kKindLossReport) return ControlError::NotControl;
    if (bytes.size() != kLossReportSize) return ControlError::BadSize;
    const uint16_t flags = get16(p + 6);
    if ((flags & ~kReportParityOnly) != 0) return ControlError::Reserved;
    const LossReport r{get64(p + 8), get32(p + 16), get32(p + 20), flags == kReportParityOnly};
    if (r.expected == 0 || r.lost > r.expected) return ControlError::BadCounts;
    out = r;
    return ControlError::None;
}

} // namespace kiv::udp
