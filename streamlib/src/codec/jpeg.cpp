#include "jpeg.hpp"

namespace kiv::jpeg {

// Placeholder until the TurboJPEG codec lands.
bool available() { return false; }

struct Compressor::Impl {};
Compressor::Compressor() = default;
Compressor::~Compressor() = default;
int Compressor::compress(const kivStreamFormat &, const uint8_t *, int, std::vector<uint8_t> &) {
    return KIV_ERROR_UNSUPPORTED;
}

struct Decompressor::Impl {};
Decompressor::Decompressor() = default;
Decompressor::~Decompressor() = default;
int Decompressor::decompress(const kivStreamFormat &, std::span<const uint8_t>, std::vector<uint8_t> &) {
    return KIV_ERROR_UNSUPPORTED;
}

} // namespace kiv::jpeg
