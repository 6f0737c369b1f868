// SPDX-License-Identifier: MIT
// Parses arbitrary bytes as the messages a UDP sender takes from receivers. A message that parses must encode back to
// exactly its bytes (nothing in it was ignored), and its ranges must stay within 32 bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transports/udp_control.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kiv::udp;
    const std::span<const uint8_t> bytes(data, size);
    std::array<uint8_t, kMaxControlSize> out{};
    RepairRequest request;
    if (parseRequest(bytes, request) == ControlError::None) {
        for (const FragmentRange &r : request.used())
            if (r.count == 0 || uint64_t(r.first) + r.count > UINT32_MAX) std::abort();
        if (encodeRequest(request, out) != size || std::memcmp(out.data(), data, size) != 0) std::abort();
    }
    LossReport report;
    if (parseReport(bytes, report) == ControlError::None) {
        if (report.lost > report.expected) std::abort();
        if (encodeReport(report, out) != size || std::memcmp(out.data(), data, size) != 0) std::abort();
    }
    return 0;
}
