// SPDX-License-Identifier: MIT
// A receiver's checks of a segment another process wrote: any bytes neither crash nor read outside
// the mapping, and what they accept is a valid frame copied from its slot, or held in it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transports/shm_segment.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    namespace shm = kiv::shm;
    if (size > (1u << 20)) return 0;
    // Mappings are page-aligned and at least a header long; so is this image.
    std::vector<uint64_t> storage((std::max<size_t>(size, shm::kHeaderBytes) + 7) / 8);
    auto *image = reinterpret_cast<uint8_t *>(storage.data());
    std::copy(data, data + size, image);
    const std::span<const uint8_t> map(image, std::max<size_t>(size, shm::kHeaderBytes));
    shm::HeaderSnapshot h;
    if (shm::checkHeader(map, h) != shm::HeaderCheck::Ok) return 0;
    if (h.slotCount > shm::kMaxSlots) std::abort();
    std::vector<uint8_t> payload;
    for (uint32_t i = 0; i <= shm::kMaxSlots; ++i) {
        kiv::WireHeader header;
        uint64_t publish = 0, at, capacity;
        if (shm::copySlot(map, h.slotCount, i, header, payload, publish) != shm::SlotCopy::Ok) continue;
        std::memcpy(&at, image + shm::off::slots + i * shm::off::slotStride + shm::off::slotOffset, 8);
        std::memcpy(&capacity, image + shm::off::slots + i * shm::off::slotStride + shm::off::slotCapacity, 8);
        if (i >= h.slotCount || kiv::validateHeader(header) != kiv::WireError::None ||
            payload.size() != header.payloadSize || at < shm::kHeaderBytes || at + capacity > map.size() ||
            kiv::kWireHeaderSize + payload.size() > capacity ||
            (!payload.empty() && std::memcmp(payload.data(), image + at + kiv::kWireHeaderSize, payload.size()) != 0))
            std::abort();
        // Held in place, the same slot gives the same frame, and letting go leaves no hold.
        kiv::WireHeader inPlace;
        std::span<const uint8_t> view;
        uint64_t heldNumber = 0;
        if (shm::holdSlot(map, image, h.slotCount, i, 5, inPlace, view, heldNumber) != shm::SlotCopy::Ok ||
            heldNumber != publish || view.size() != payload.size() || view.data() != image + at + kiv::kWireHeaderSize)
            std::abort();
        shm::releaseSlot(image, i, 5);
        if (image[shm::off::holds + 8 * i] != 0) std::abort();
    }
    return 0;
}
