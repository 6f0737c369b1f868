#include "jpeg.hpp"

#include <bit>
#include <cstring>

#include <turbojpeg.h>

#include "../errors.hpp"
#include "../format.hpp"

namespace kiv::jpeg {
namespace {

struct HandleDeleter {
    void operator()(void *h) const { tjDestroy(h); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

struct TjBufferDeleter {
    void operator()(unsigned char *p) const { tjFree(p); }
};
using TjBuffer = std::unique_ptr<unsigned char, TjBufferDeleter>;

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Pixel format TurboJPEG reads or writes for a depth; RGB565 goes through an
// RGB888 scratch image. On decode the 32-bit X byte must come out as 0xff, which
// only the alpha variants guarantee.
int pixelFormatFor(uint16_t depth, bool decoding) {
    switch (depth) {
    case KIV_DEPTH_8: return TJPF_GRAY;
    case KIV_DEPTH_16:
    case KIV_DEPTH_24: return TJPF_RGB;
    case KIV_DEPTH_32:
        if (decoding) return kLittleEndian ? TJPF_BGRA : TJPF_ARGB;
        return kLittleEndian ? TJPF_BGRX : TJPF_XRGB;
    default: return -1;
    }
}

// 4:4:4 keeps thin coloured lines sharp where the level asks for near-lossless
// pictures; below that, 4:2:0 halves the chroma data for size and speed.
int subsamplingFor(uint16_t depth, int quality) {
    if (depth == KIV_DEPTH_8) return TJSAMP_GRAY;
    return quality >= 90 ? TJSAMP_444 : TJSAMP_420;
}

uint16_t load16(const uint8_t *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void store16(uint8_t *p, uint16_t v) { std::memcpy(p, &v, 2); }

// Whether the first frame header of `jpeg` is baseline or extended sequential
// Huffman (SOF0/SOF1), all this library sends. Progressive, lossless and
// arithmetic-coded streams would take libjpeg's less travelled paths and, for
// progressive ones, a coefficient buffer the size of the whole picture.
bool isSequentialHuffman(std::span<const uint8_t> jpeg) {
    if (jpeg.size() < 4 || jpeg[0] != 0xff || jpeg[1] != 0xd8) return false;
    size_t pos = 2;
    while (pos < jpeg.size()) {
        if (jpeg[pos] != 0xff) return false;
        while (pos < jpeg.size() && jpeg[pos] == 0xff) ++pos; // fill bytes
        if (pos >= jpeg.size()) return false;
        const uint8_t marker = jpeg[pos++];
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) continue; // no length
        if (marker == 0xd9 || marker == 0xda || pos + 2 > jpeg.size()) return false; // no frame header
        const size_t length = size_t(jpeg[pos]) << 8 | jpeg[pos + 1];
        if (length < 2 || pos + length > jpeg.size()) return false;
        if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc)
            return marker == 0xc0 || marker == 0xc1;
        pos += length;
    }
    return false;
}

} // namespace

void expand565(const kivStreamFormat &format, const uint8_t *pixels, uint8_t *rgb) {
    const uint64_t pitch = rowPitch(format);
    for (uint32_t y = 0; y < format.height; ++y) {
        const uint8_t *src = pixels + y * pitch;
        uint8_t *dst = rgb + uint64_t(y) * format.width * 3;
        for (uint32_t x = 0; x < format.width; ++x, dst += 3) {
            const uint16_t v = load16(src + 2 * x);
            const unsigned r = v >> 11, g = (v >> 5) & 0x3f, b = v & 0x1f;
            dst[0] = uint8_t((r << 3) | (r >> 2));
            dst[1] = uint8_t((g << 2) | (g >> 4));
            dst[2] = uint8_t((b << 3) | (b >> 2));
        }
    }
}

void pack565(const kivStreamFormat &format, const uint8_t *rgb, uint8_t *pixels) {
    const uint64_t pitch = rowPitch(format);
    for (uint32_t y = 0; y < format.height; ++y) {
        const uint8_t *src = rgb + uint64_t(y) * format.width * 3;
        uint8_t *dst = pixels + y * pitch;
        for (uint32_t x = 0; x < format.width; ++x, src += 3) {
            // Rounded, not truncated: JPEG noise around a level must not bias it down.
            const unsigned r = (src[0] * 31u + 127u) / 255u;
            const unsigned g = (src[1] * 63u + 127u) / 255u;
            const unsigned b = (src[2] * 31u + 127u) / 255u;
            store16(dst + 2 * x, uint16_t((r << 11) | (g << 5) | b));
        }
        std::memset(dst + 2 * uint64_t(format.width), 0, pitch - 2 * uint64_t(format.width));
    }
}

bool available() { return true; }

struct Compressor::Impl {
    Handle handle{tjInitCompress()};
    TjBuffer buffer;
    unsigned long bufferSize = 0;
    std::vector<uint8_t> rgb; // RGB565 expanded
};

Compressor::Compressor() : impl_(std::make_unique<Impl>()) {}
Compressor::~Compressor() = default;

int Compressor::compress(const kivStreamFormat &format, const uint8_t *pixels, int quality,
                         std::vector<uint8_t> &out) {
    if (!impl_->handle) return fail(KIV_ERROR_NO_MEMORY, "cannot create a JPEG compressor");
    if (!isSendableFormat(format) || format.width == 0 || format.height == 0 || !pixels)
        return fail(KIV_ERROR_INVALID_ARGUMENT, "nothing to compress");
    if (quality < 1 || quality > 100) return fail(KIV_ERROR_INVALID_ARGUMENT, "quality must be 1..100");

    const int subsamp = subsamplingFor(format.depth, quality);
    const unsigned long bound = tjBufSize(format.width, format.height, subsamp);
    if (bound == static_cast<unsigned long>(-1)) return fail(KIV_ERROR_TOO_LARGE, "picture too large for JPEG");
    // Sized for the worst case once, so TurboJPEG never reallocates behind our back.
    if (impl_->bufferSize < bound) {
        impl_->buffer.reset(tjAlloc(int(bound)));
        impl_->bufferSize = impl_->buffer ? bound : 0;
        if (!impl_->buffer) return fail(KIV_ERROR_NO_MEMORY, "no memory for the JPEG buffer");
    }

    const uint8_t *src = pixels;
    uint64_t pitch = rowPitch(format);
    if (format.depth == KIV_DEPTH_16) {
        impl_->rgb.resize(size_t(format.width) * format.height * 3);
        expand565(format, pixels, impl_->rgb.data());
        src = impl_->rgb.data();
        pitch = uint64_t(format.width) * 3;
    }

    unsigned char *dst = impl_->buffer.get();
    unsigned long size = impl_->bufferSize;
    if (tjCompress2(impl_->handle.get(), src, format.width, int(pitch), format.height,
                    pixelFormatFor(format.depth, false), &dst, &size, subsamp, quality, TJFLAG_NOREALLOC) != 0) {
        const int rc = fail(KIV_ERROR_INTERNAL, tjGetErrorStr2(impl_->handle.get()));
        impl_->handle.reset(tjInitCompress()); // never reuse a handle in an unknown state
        return rc;
    }
    out.assign(dst, dst + size);
    return KIV_OK;
}

struct Decompressor::Impl {
    Handle handle{tjInitDecompress()};
    std::vector<uint8_t> rgb; // RGB565 before packing

    // TurboJPEG 2.1 leaves a handle mid-header after some errors, failing every
    // later frame: a failed frame gets a fresh handle.
    int failed(const char *detail) {
        const int rc = fail(KIV_ERROR_INVALID_ARGUMENT, detail);
        handle.reset(tjInitDecompress());
        return rc;
    }
};

Decompressor::Decompressor() : impl_(std::make_unique<Impl>()) {}
Decompressor::~Decompressor() = default;

int Decompressor::decompress(const kivStreamFormat &format, std::span<const uint8_t> jpeg,
                             std::vector<uint8_t> &out) {
    tjhandle h = impl_->handle.get();
    if (!h) return fail(KIV_ERROR_NO_MEMORY, "cannot create a JPEG decompressor");
    if (!isSendableFormat(format) || format.width == 0 || format.height == 0)
        return fail(KIV_ERROR_INVALID_ARGUMENT, "frame format cannot carry a JPEG");
    if (jpeg.empty() || jpeg.size() > KIV_MAX_FRAME_BYTES) return fail(KIV_ERROR_INVALID_ARGUMENT, "JPEG size out of range");

    if (!isSequentialHuffman(jpeg)) return fail(KIV_ERROR_INVALID_ARGUMENT, "not a sequential Huffman JPEG");

    // A tables-only stream leaves these untouched, so it fails the size check.
    int width = -1, height = -1, subsamp = -1, colorspace = -1;
    if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &width, &height, &subsamp, &colorspace) != 0)
        return impl_->failed(tjGetErrorStr2(h));
    if (width != format.width || height != format.height)
        return fail(KIV_ERROR_INVALID_ARGUMENT, "JPEG size differs from the frame header");
    const bool grey = format.depth == KIV_DEPTH_8;
    const bool colourOk = colorspace == TJCS_YCbCr || colorspace == TJCS_RGB;
    if (grey ? (colorspace != TJCS_GRAY || subsamp != TJSAMP_GRAY) : (!colourOk || subsamp == TJSAMP_GRAY))
        return fail(KIV_ERROR_INVALID_ARGUMENT, "JPEG colour space does not fit the frame depth");

    const uint64_t pitch = rowPitch(format);
    const uint64_t used = uint64_t(format.width) * bytesPerPixel(format.depth);
    out.resize(size_t(frameBytes64(format)));
    uint8_t *dst = out.data();
    uint64_t dstPitch = pitch;
    if (format.depth == KIV_DEPTH_16) {
        impl_->rgb.resize(size_t(format.width) * format.height * 3);
        dst = impl_->rgb.data();
        dstPitch = uint64_t(format.width) * 3;
    }
    constexpr int flags = TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING;
    if (tjDecompress2(h, jpeg.data(), jpeg.size(), dst, format.width, int(dstPitch), format.height,
                      pixelFormatFor(format.depth, true), flags) != 0)
        return impl_->failed(tjGetErrorStr2(h));

    if (format.depth == KIV_DEPTH_16) {
        pack565(format, impl_->rgb.data(), out.data());
    } else if (pitch != used) {
        // A reused buffer would otherwise carry an older frame's bytes in the padding.
        for (uint32_t y = 0; y < format.height; ++y) std::memset(out.data() + y * pitch + used, 0, pitch - used);
    }
    return KIV_OK;
}

} // namespace kiv::jpeg
