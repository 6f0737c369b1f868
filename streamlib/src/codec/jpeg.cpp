// SPDX-License-Identifier: MIT
#include "jpeg.hpp"

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include <jpeglib.h>
#include <turbojpeg.h>

#include "../errors.hpp"
#include "../format.hpp"
#include "../util/little_endian.hpp"
#include "work_pool.hpp"

namespace kiv::jpeg {
namespace {

struct HandleDeleter {
    void operator()(void *h) const { tjDestroy(h); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

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

// A 5- or 6-bit level as 8 bits, its top bits repeated below it so that the
// top level becomes 255.
uint8_t widen(unsigned level, unsigned bits) { return uint8_t(level << (8 - bits) | level >> (2 * bits - 8)); }
// The nearest level of 0..top, rounded rather than truncated: JPEG noise around
// a level must not bias it down.
unsigned narrow(uint8_t value, unsigned top) { return (value * top + 127u) / 255u; }

struct JpegHeader {
    uint32_t width, height;
    J_COLOR_SPACE colourSpace;
};

// The headers of a baseline or extended sequential Huffman JPEG, all this
// library sends; nothing for anything else. Progressive, lossless and
// arithmetic-coded streams would take libjpeg's less travelled paths and, for
// progressive ones, a coefficient buffer the size of the whole picture. A
// tables-only stream has no picture. libjpeg's errors jump back here.
std::optional<JpegHeader> readSequentialHuffmanHeader(std::span<const uint8_t> jpeg) {
    struct HeaderReader {
        jpeg_decompress_struct info{}; // first, so that libjpeg's pointer to it is one to the reader
        jpeg_error_mgr errors{};
        std::jmp_buf failed;
    } r;
    r.info.err = jpeg_std_error(&r.errors);
    r.errors.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<HeaderReader *>(c)->failed, 1); };
    r.errors.output_message = [](j_common_ptr) {};
    jpeg_create_decompress(&r.info);
    std::optional<JpegHeader> header;
    if (setjmp(r.failed) == 0) {
        jpeg_mem_src(&r.info, jpeg.data(), jpeg.size());
        if (jpeg_read_header(&r.info, TRUE) == JPEG_HEADER_OK && !r.info.progressive_mode && !r.info.arith_code)
            header = JpegHeader{r.info.image_width, r.info.image_height, r.info.jpeg_color_space};
    }
    jpeg_destroy_decompress(&r.info);
    return header;
}

// TurboJPEG work on one region of a frame: the whole frame or a stripe of it.
// `region` has the frame's width and depth, so its rows have the frame's pitch.
// Each returns an empty string or what went wrong; a handle that failed is
// replaced, never reused in an unknown state.
struct RegionCodec {
    Handle compressor, decompressor;
    std::vector<uint8_t> rgb; // RGB565 expanded, or decoded before packing

    // Worst-case room for a frame's JPEGs, kept from frame to frame; never
    // zero-filled, unlike a vector growing each frame. TurboJPEG is told not to
    // reallocate it, so it need not come from tjAlloc().
    uint8_t *scratch(uint64_t size) {
        if (scratchSize < size) {
            scratchBuffer.reset(new (std::nothrow) uint8_t[size_t(size)]);
            scratchSize = scratchBuffer ? size : 0;
        }
        return scratchBuffer.get();
    }

    std::string compress(const kivStreamFormat &region, const uint8_t *pixels, int quality, unsigned char *dst,
                         unsigned long &size) {
        if (!compressor) compressor.reset(tjInitCompress());
        if (!compressor) return "cannot create a JPEG compressor";
        const uint8_t *src = pixels;
        uint64_t pitch = rowPitch(region);
        if (region.depth == KIV_DEPTH_16) {
            rgb.resize(size_t(region.width) * region.height * 3);
            expand565(region, pixels, rgb.data());
            src = rgb.data();
            pitch = uint64_t(region.width) * 3;
        }
        // dst holds tjBufSize() bytes, so TurboJPEG never reallocates behind our back.
        if (tjCompress2(compressor.get(), src, region.width, int(pitch), region.height,
                        pixelFormatFor(region.depth, false), &dst, &size, subsamplingFor(region.depth, quality), quality,
                        TJFLAG_NOREALLOC) != 0) {
            std::string error = tjGetErrorStr2(compressor.get());
            compressor.reset();
            return error;
        }
        return {};
    }

    // Writes rowPitch(region) * height bytes at `out`, padding zeroed.
    std::string decompress(const kivStreamFormat &region, std::span<const uint8_t> jpeg, uint8_t *out) {
        if (!decompressor) decompressor.reset(tjInitDecompress());
        tjhandle h = decompressor.get();
        if (!h) return "cannot create a JPEG decompressor";
        const std::optional<JpegHeader> header = readSequentialHuffmanHeader(jpeg);
        if (!header) return "not a sequential Huffman JPEG";
        if (header->width != region.width || header->height != region.height) return "JPEG size differs from the frame header";
        // libjpeg takes exactly the one-component JPEGs for greyscale.
        const J_COLOR_SPACE cs = header->colourSpace;
        if (region.depth == KIV_DEPTH_8 ? cs != JCS_GRAYSCALE : cs != JCS_YCbCr && cs != JCS_RGB)
            return "JPEG colour space does not fit the frame depth";

        const uint64_t pitch = rowPitch(region);
        const uint64_t used = uint64_t(region.width) * bytesPerPixel(region.depth);
        uint8_t *dst = out;
        uint64_t dstPitch = pitch;
        if (region.depth == KIV_DEPTH_16) {
            rgb.resize(size_t(region.width) * region.height * 3);
            dst = rgb.data();
            dstPitch = uint64_t(region.width) * 3;
        }
        constexpr int flags = TJFLAG_LIMITSCANS | TJFLAG_STOPONWARNING;
        if (tjDecompress2(h, jpeg.data(), jpeg.size(), dst, region.width, int(dstPitch), region.height,
                          pixelFormatFor(region.depth, true), flags) != 0)
            return failed();
        if (region.depth == KIV_DEPTH_16) {
            pack565(region, rgb.data(), out);
        } else if (pitch != used) {
            // A reused buffer would otherwise carry an older frame's bytes in the padding.
            for (uint32_t y = 0; y < region.height; ++y) std::memset(out + y * pitch + used, 0, pitch - used);
        }
        return {};
    }

private:
    std::unique_ptr<uint8_t[]> scratchBuffer;
    uint64_t scratchSize = 0;

    // TurboJPEG 2.1 leaves a handle mid-header after some errors, failing every
    // later frame: a failed frame gets a fresh handle.
    std::string failed() {
        std::string error = tjGetErrorStr2(decompressor.get());
        decompressor.reset();
        return error.empty() ? "corrupt JPEG" : error;
    }
};

// Pool threads and the threads that hand them work each keep their handles.
thread_local RegionCodec threadCodec;

kivStreamFormat stripeOf(const kivStreamFormat &f, uint32_t rows, size_t i) {
    kivStreamFormat s = f;
    s.height = uint16_t(std::min<uint64_t>(rows, f.height - uint64_t(i) * rows));
    return s;
}

constexpr size_t tableBytes(size_t count) { return 8 + 4 * count; }

// A striped frame below this many pixels codes faster on one thread than the
// pool's hand-over costs.
constexpr uint64_t kMinStripedPixels = 512 * 512;
// Stripes no lower than this keep the extra JPEG headers and block edges rare.
constexpr uint32_t kMinStripeRows = 64;

} // namespace

void expand565(const kivStreamFormat &format, const uint8_t *pixels, uint8_t *rgb) {
    const uint64_t pitch = rowPitch(format);
    // `!=` bounds: one pixel too many would run past the last row unseen.
    for (uint32_t y = 0; y != format.height; ++y) {
        const uint8_t *src = pixels + y * pitch;
        uint8_t *dst = rgb + uint64_t(y) * format.width * 3;
        for (uint32_t x = 0; x != format.width; ++x, dst += 3) {
            const uint16_t v = load16(src + 2 * x);
            dst[0] = widen(v >> 11, 5);
            dst[1] = widen((v >> 5) & 0x3f, 6);
            dst[2] = widen(v & 0x1f, 5);
        }
    }
}

void pack565(const kivStreamFormat &format, const uint8_t *rgb, uint8_t *pixels) {
    const uint64_t pitch = rowPitch(format);
    for (uint32_t y = 0; y != format.height; ++y) {
        const uint8_t *src = rgb + uint64_t(y) * format.width * 3;
        uint8_t *dst = pixels + y * pitch;
        for (uint32_t x = 0; x != format.width; ++x, src += 3) {
            store16(dst + 2 * x, uint16_t((narrow(src[0], 31) << 11) | (narrow(src[1], 63) << 5) | narrow(src[2], 31)));
        }
        std::memset(dst + 2 * uint64_t(format.width), 0, pitch - 2 * uint64_t(format.width));
    }
}


struct Compressor::Impl {
    RegionCodec codec;
};

namespace {
// What both ways of compressing refuse.
int checkInput(const kivStreamFormat &format, const uint8_t *pixels, int quality) {
    if (!isSendableFormat(format) || format.width == 0 || format.height == 0 || !pixels)
        return fail(KIV_ERROR_INVALID_ARGUMENT, "nothing to compress");
    if (quality < 1 || quality > 100) return fail(KIV_ERROR_INVALID_ARGUMENT, "quality must be 1..100");
    return KIV_OK;
}
} // namespace

Compressor::Compressor() : impl_(std::make_unique<Impl>()) {}
Compressor::~Compressor() = default;

int Compressor::compress(const kivStreamFormat &format, const uint8_t *pixels, int quality, ByteBuffer &out) {
    if (const int rc = checkInput(format, pixels, quality); rc != KIV_OK) return rc;

    const unsigned long bound = tjBufSize(format.width, format.height, subsamplingFor(format.depth, quality));
    if (bound == static_cast<unsigned long>(-1)) return fail(KIV_ERROR_INTERNAL, tjGetErrorStr2(nullptr));
    try {
        out.resize(bound); // room kept from frame to frame, never zeroed
    } catch (const std::bad_alloc &) {
        return fail(KIV_ERROR_NO_MEMORY, "no memory for the JPEG buffer");
    }
    unsigned long size = bound;
    if (std::string error = impl_->codec.compress(format, pixels, quality, out.data(), size); !error.empty())
        return fail(KIV_ERROR_INTERNAL, error);
    out.resize(size);
    return KIV_OK;
}

struct Decompressor::Impl {
    RegionCodec codec;
};

Decompressor::Decompressor() : impl_(std::make_unique<Impl>()) {}
Decompressor::~Decompressor() = default;

int Decompressor::decompress(const kivStreamFormat &format, std::span<const uint8_t> jpeg,
                             std::vector<uint8_t> &out) {
    // An empty frame fails on the JPEG's own size, as does an empty JPEG.
    if (!isSendableFormat(format) || jpeg.size() > KIV_MAX_FRAME_BYTES)
        return fail(KIV_ERROR_INVALID_ARGUMENT, "frame format or JPEG size out of range");
    out.resize(size_t(frameBytes64(format)));
    if (std::string error = impl_->codec.decompress(format, jpeg, out.data()); !error.empty())
        return fail(KIV_ERROR_INVALID_ARGUMENT, error);
    return KIV_OK;
}

uint32_t stripeRowsFor(const kivStreamFormat &format, unsigned cores) {
    if (cores < 2 || uint64_t(format.width) * format.height < kMinStripedPixels) return 0;
    // Two stripes a core even out stripes that code at different speeds; whole
    // 16-row MCUs keep every stripe edge on a block edge.
    const uint32_t wanted = 2 * cores;
    uint32_t rows = (format.height + wanted - 1) / wanted;
    rows = std::max(kMinStripeRows, (rows + 15) / 16 * 16);
    return rows < format.height ? rows : 0;
}

int compressStriped(const kivStreamFormat &format, const uint8_t *pixels, int quality, uint32_t rows,
                    ByteBuffer &out) {
    if (const int rc = checkInput(format, pixels, quality); rc != KIV_OK) return rc;
    if (rows == 0 || rows > format.height) return fail(KIV_ERROR_INVALID_ARGUMENT, "stripe rows must be 1..height");
    const size_t count = (format.height + rows - 1) / rows;
    if (count > kMaxStripes) return fail(KIV_ERROR_INVALID_ARGUMENT, "too many stripes");

    // Each stripe codes into a slot with room for the worst case of a full
    // stripe; only the JPEGs are then copied.
    const unsigned long slotBytes = tjBufSize(format.width, rows, subsamplingFor(format.depth, quality));
    if (slotBytes == static_cast<unsigned long>(-1)) return fail(KIV_ERROR_INTERNAL, tjGetErrorStr2(nullptr));
    uint8_t *scratch = threadCodec.scratch(uint64_t(slotBytes) * count); // this thread's, not the helpers'
    if (!scratch) return fail(KIV_ERROR_NO_MEMORY, "no memory for the JPEG buffer");

    std::vector<unsigned long> sizes(count, slotBytes);
    std::vector<std::string> errors(count);
    const uint64_t pitch = rowPitch(format);
    WorkPool::shared().run(count, [&](size_t i) {
        errors[i] = threadCodec.compress(stripeOf(format, rows, i), pixels + i * rows * pitch, quality,
                                         scratch + i * slotBytes, sizes[i]);
    });
    for (const std::string &error : errors)
        if (!error.empty()) return fail(KIV_ERROR_INTERNAL, error);

    uint64_t total = tableBytes(count);
    for (unsigned long size : sizes) total += size;
    out.resize(size_t(total));
    le::put32(out.data(), rows);
    le::put32(out.data() + 4, uint32_t(count));
    uint64_t end = tableBytes(count);
    for (size_t i = 0; i < count; ++i) {
        le::put32(out.data() + 8 + 4 * i, uint32_t(sizes[i]));
        std::memcpy(out.data() + end, scratch + i * slotBytes, sizes[i]);
        end += sizes[i];
    }
    return KIV_OK;
}

int decompressStriped(const kivStreamFormat &format, std::span<const uint8_t> payload, std::vector<uint8_t> &out) {
    // An empty frame fails on the stripe table or the stripes' own sizes.
    if (!isSendableFormat(format)) return fail(KIV_ERROR_INVALID_ARGUMENT, "frame format cannot carry a JPEG");
    if (payload.size() < tableBytes(1) || payload.size() > KIV_MAX_FRAME_BYTES)
        return fail(KIV_ERROR_INVALID_ARGUMENT, "striped JPEG size out of range");
    const uint32_t rows = le::get32(payload.data());
    const uint32_t count = le::get32(payload.data() + 4);
    // Rows past the height make one stripe of the whole frame.
    if (rows == 0 || count != (uint64_t(format.height) + rows - 1) / rows || count > kMaxStripes || payload.size() < tableBytes(count))
        return fail(KIV_ERROR_INVALID_ARGUMENT, "stripe table does not fit the frame");
    std::vector<std::span<const uint8_t>> stripes(count);
    uint64_t offset = tableBytes(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t size = le::get32(payload.data() + 8 + 4 * i);
        if (offset + size > payload.size())
            return fail(KIV_ERROR_INVALID_ARGUMENT, "stripe sizes overrun the payload");
        stripes[i] = payload.subspan(size_t(offset), size);
        offset += size;
    }
    if (offset != payload.size()) return fail(KIV_ERROR_INVALID_ARGUMENT, "bytes after the last stripe");

    out.resize(size_t(frameBytes64(format)));
    std::vector<std::string> errors(count);
    const uint64_t pitch = rowPitch(format);
    WorkPool::shared().run(count, [&](size_t i) {
        errors[i] = threadCodec.decompress(stripeOf(format, rows, i), stripes[i], out.data() + i * rows * pitch);
    });
    for (const std::string &error : errors)
        if (!error.empty()) return fail(KIV_ERROR_INVALID_ARGUMENT, error);
    return KIV_OK;
}

} // namespace kiv::jpeg
