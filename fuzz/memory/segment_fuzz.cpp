// The checks a receiver applies to a shared-memory segment that another
// process wrote: any bytes, any size, must neither crash nor read outside the
// mapping, and whatever they accept must be a valid frame copied from its slot.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transports/shm_segment.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    namespace shm = kiv::shm;
    if (size > (1u << 20)) return 0;
    // Mappings are page-aligned and at least a header long; so is this image.
    const size_t bytes = size < shm::kHeaderBytes ? shm::kHeaderBytes : size;
    std::vector<uint64_t> storage((bytes + 7) / 8);
    auto *image = reinterpret_cast<uint8_t *>(storage.data());
    std::memcpy(image, data, size);
    const std::span<const uint8_t> map(image, bytes);

    shm::HeaderSnapshot h;
    if (shm::checkHeader(map, h) != shm::HeaderCheck::Ok) return 0;
    if (h.slotCount > shm::kMaxSlots) std::abort();
    std::vector<uint8_t> payload;
    for (uint32_t i = 0; i <= shm::kMaxSlots; ++i) {
        kiv::WireHeader header;
        uint64_t publish = 0;
        if (shm::copySlot(map, h.slotCount, i, header, payload, publish) != shm::SlotCopy::Ok) continue;
        const size_t d = shm::off::slots + i * shm::off::slotStride;
        uint64_t at, capacity;
        std::memcpy(&at, image + d + shm::off::slotOffset, 8);
        std::memcpy(&capacity, image + d + shm::off::slotCapacity, 8);
        if (i >= h.slotCount || kiv::validateHeader(header) != kiv::WireError::None ||
            payload.size() != header.payloadSize || at < shm::kHeaderBytes || at + capacity > bytes ||
            kiv::kWireHeaderSize + payload.size() > capacity ||
            (!payload.empty() && std::memcmp(payload.data(), image + at + kiv::kWireHeaderSize, payload.size()) != 0))
            std::abort();
    }
    return 0;
}
