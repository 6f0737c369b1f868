// SPDX-License-Identifier: MIT
// The C boundary: checks handles against a registry, keeps exceptions inside,
// and forwards to the C++ objects.
#include <algorithm>
#include <new>
#include <shared_mutex>
#include <type_traits>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "decoder.hpp"
#include "encoder.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "transports/udp.hpp"

namespace kiv {
namespace {

// Hands out handles and finds their objects. A handle is a token made from a
// counter that never repeats, so a deleted handle stays refused even when a new
// object lands at the old one's address. The object is shared with each call in
// progress, so a delete on another thread cannot free it under that call.
template <class T, uintptr_t Kind> class Registry {
public:
    void *add(std::unique_ptr<T> object) {
        std::unique_lock lock(mutex_);
        const uintptr_t token = (next_++ << 2) | Kind; // the kind keeps encoder and decoder tokens apart
        live_.emplace(token, std::shared_ptr<T>(std::move(object)));
        return reinterpret_cast<void *>(token);
    }
    std::shared_ptr<T> remove(const void *handle) {
        std::unique_lock lock(mutex_);
        auto it = live_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == live_.end()) return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        live_.erase(it);
        return object;
    }
    std::shared_ptr<T> find(const void *handle) const {
        if (!handle) return nullptr;
        std::shared_lock lock(mutex_);
        auto it = live_.find(reinterpret_cast<uintptr_t>(handle));
        return it == live_.end() ? nullptr : it->second;
    }

private:
    mutable std::shared_mutex mutex_;
    uintptr_t next_ = 1;
    std::unordered_map<uintptr_t, std::shared_ptr<T>> live_;
};

// An encoder or decoder, with the controls of its UDP transport (null for
// other protocols): the settings only UDP has never pass through the
// protocol-neutral objects.
struct EncoderEntry {
    EncoderEntry(std::shared_ptr<udp::SenderControls> controls, std::unique_ptr<SenderTransport> transport,
                 const kivStreamFormat &format)
        : udp(std::move(controls)), encoder(std::move(transport), format) {}
    std::shared_ptr<udp::SenderControls> udp;
    Encoder encoder;
};
struct DecoderEntry {
    DecoderEntry(std::shared_ptr<udp::ReceiverControls> controls, Decoder::MakeTransport make)
        : udp(std::move(controls)), decoder(std::move(make)) {}
    std::shared_ptr<udp::ReceiverControls> udp;
    Decoder decoder;
};

Registry<EncoderEntry, 1> &encoders() {
    static Registry<EncoderEntry, 1> r;
    return r;
}
Registry<DecoderEntry, 2> &decoders() {
    static Registry<DecoderEntry, 2> r;
    return r;
}
Registry<LentFrame, 3> &lentFrames() {
    static Registry<LentFrame, 3> r;
    return r;
}

// Runs `body`, turning any exception into a recorded status: that status for
// int results, `onError` for the others.
template <class R, class F> R guarded(R onError, F &&body) noexcept {
    clearLastError();
    int code;
    try {
        return body();
    } catch (const std::bad_alloc &) {
        code = fail(KIV_ERROR_NO_MEMORY, "out of memory");
    } catch (const std::exception &e) {
        code = fail(KIV_ERROR_INTERNAL, e.what());
    } catch (...) {
        code = fail(KIV_ERROR_INTERNAL, "unknown exception");
    }
    if constexpr (std::is_same_v<R, int>) return code;
    else return onError;
}

template <class F> int withEncoderEntry(kivEncoder *handle, F &&body) {
    return guarded(KIV_ERROR_INTERNAL, [&]() -> int {
        const std::shared_ptr<EncoderEntry> e = encoders().find(handle);
        if (!e) return fail(KIV_ERROR_INVALID_HANDLE, "not a live encoder handle");
        return body(*e);
    });
}
template <class F> int withEncoder(kivEncoder *handle, F &&body) {
    return withEncoderEntry(handle, [&](EncoderEntry &e) { return body(e.encoder); });
}
// Runs `body` on a UDP encoder's controls.
template <class F> int withUdpEncoder(kivEncoder *handle, F &&body) {
    return withEncoderEntry(handle, [&](EncoderEntry &e) {
        return e.udp ? body(*e.udp) : fail(KIV_ERROR_UNSUPPORTED, "only UDP encoders have this setting");
    });
}

template <class R, class F> R withDecoderEntry(kivDecoder *handle, R onError, F &&body) {
    return guarded(onError, [&]() -> R {
        const std::shared_ptr<DecoderEntry> d = decoders().find(handle);
        if (!d) {
            fail(KIV_ERROR_INVALID_HANDLE, "not a live decoder handle");
            return onError;
        }
        return body(*d);
    });
}
template <class R, class F> R withDecoder(kivDecoder *handle, R onError, F &&body) {
    return withDecoderEntry(handle, onError, [&](DecoderEntry &d) { return body(d.decoder); });
}
template <class F> int withUdpDecoder(kivDecoder *handle, F &&body) {
    return withDecoderEntry(handle, KIV_ERROR_INVALID_HANDLE, [&](DecoderEntry &d) {
        return d.udp ? body(*d.udp) : fail(KIV_ERROR_UNSUPPORTED, "only UDP decoders have this setting");
    });
}

int checkImpairment(const kivImpairment &i) {
    if (i.lossPerMillion > 1'000'000 || i.duplicatePerMillion > 1'000'000 || i.burstLength > 1000 || i.reserved)
        return fail(KIV_ERROR_INVALID_ARGUMENT, "impairment out of range");
    return KIV_OK;
}

int setImpairment(kivEncoder *encoder, bool returnPath, const kivImpairment *impairment) {
    return withUdpEncoder(encoder, [&](udp::SenderControls &c) {
        const kivImpairment i = impairment ? *impairment : kivImpairment{};
        if (const int rc = checkImpairment(i); rc != KIV_OK) return rc;
        c.setImpairment(returnPath, i);
        return KIV_OK;
    });
}

} // namespace
} // namespace kiv

using namespace kiv;

extern "C" {

int kivVersionNumber(void) { return KIV_VERSION_NUMBER; }

const char *kivLastErrorDetail(void) { return lastErrorDetail(); }

int kivLastError(void) { return lastError(); }

const char *kivErrorString(int code) { return errorString(code); }

uint32_t kivGetByteSize(const kivStreamFormat *format) {
    if (!format || !isKnownDepth(format->depth)) return 0;
    const uint64_t size = frameBytes64(*format);
    return std::in_range<uint32_t>(size) ? uint32_t(size) : 0;
}

uint32_t kivGetRowPitch(uint16_t width, uint16_t depth) {
    if (!isKnownDepth(depth)) return 0;
    return uint32_t(rowPitch(kivStreamFormat{width, 1, depth, KIV_ORIENTATION_TOP_DOWN}));
}

kivEncoder *kivGetEncoder(int protocol, const kivStreamFormat *format) {
    return guarded<kivEncoder *>(nullptr, [&]() -> kivEncoder * {
        if (!format) return fail(KIV_ERROR_INVALID_ARGUMENT, "format is NULL"), nullptr;
        if (!isSendableFormat(*format)) return fail(KIV_ERROR_INVALID_ARGUMENT, "unknown depth or frame over 64 MiB"), nullptr;
        std::shared_ptr<udp::SenderControls> controls;
        std::unique_ptr<SenderTransport> transport;
        if (protocol == KIV_PROTOCOL_UDP) {
            controls = std::make_shared<udp::SenderControls>();
            transport = udp::makeSender(udp::defaultSenderOptions(controls));
        } else {
            transport = makeSender(protocol);
        }
        if (!transport) return fail(KIV_ERROR_UNSUPPORTED, "protocol not available"), nullptr;
        auto entry = std::make_unique<EncoderEntry>(std::move(controls), std::move(transport), *format);
        return static_cast<kivEncoder *>(encoders().add(std::move(entry)));
    });
}

int kivSetDestAddress(kivEncoder *encoder, const char *address, int stream) {
    return withEncoder(encoder, [&](Encoder &e) { return e.setDestination(address, stream); });
}

int kivSetDestFormat(kivEncoder *encoder, const kivStreamFormat *format, int compress, int level) {
    return withEncoder(encoder, [&](Encoder &e) {
        if (!format) return fail(KIV_ERROR_INVALID_ARGUMENT, "format is NULL");
        return e.setFormat(*format, compress, level);
    });
}

int kivEncode(kivEncoder *encoder, const void *pixels) {
    return withEncoder(encoder, [&](Encoder &e) { return e.encode(pixels); });
}

int kivDeleteEncoder(kivEncoder *encoder) {
    return guarded(KIV_ERROR_INTERNAL, [&]() -> int {
        // Freed here unless a call on another thread still holds it; then when that call ends.
        if (!encoders().remove(encoder)) return fail(KIV_ERROR_INVALID_HANDLE, "not a live encoder handle");
        return KIV_OK;
    });
}

int kivGetEncoderLink(kivEncoder *encoder) {
    return withEncoder(encoder, [&](Encoder &e) { return e.link(); });
}

int kivGetEncoderStats(kivEncoder *encoder, kivEncoderStats *stats) {
    return withEncoder(encoder, [&](Encoder &e) {
        if (!stats) return fail(KIV_ERROR_INVALID_ARGUMENT, "stats is NULL");
        *stats = e.stats();
        return KIV_OK;
    });
}

int kivSetFecRedundancy(kivEncoder *encoder, int percent) {
    return withUdpEncoder(encoder, [&](udp::SenderControls &c) {
        if (percent < 0 || percent > 100) return fail(KIV_ERROR_INVALID_ARGUMENT, "redundancy must be 0..100 percent");
        c.protectionPercent = percent;
        return KIV_OK;
    });
}

int kivSetImpairment(kivEncoder *encoder, const kivImpairment *impairment) {
    return setImpairment(encoder, false, impairment);
}

int kivSetReturnImpairment(kivEncoder *encoder, const kivImpairment *impairment) {
    return setImpairment(encoder, true, impairment);
}

int kivSetMaxRate(kivEncoder *encoder, uint64_t bytesPerSecond) {
    return withUdpEncoder(encoder, [&](udp::SenderControls &c) {
        c.maxRateBytesPerSecond = bytesPerSecond;
        return KIV_OK;
    });
}

int kivGetEncoderUdpStats(kivEncoder *encoder, kivUdpSenderStats *stats) {
    return withUdpEncoder(encoder, [&](udp::SenderControls &c) {
        if (!stats) return fail(KIV_ERROR_INVALID_ARGUMENT, "stats is NULL");
        *stats = c.stats();
        return KIV_OK;
    });
}

int kivSetRepairBudget(kivDecoder *decoder, int milliseconds) {
    return withUdpDecoder(decoder, [&](udp::ReceiverControls &c) {
        if (milliseconds < 0 || milliseconds > KIV_REPAIR_MAX_BUDGET_MS)
            return fail(KIV_ERROR_INVALID_ARGUMENT, "repair budget must be 0..1000 ms");
        c.budgetMs = milliseconds;
        return KIV_OK;
    });
}

int kivGetDecoderRepairStats(kivDecoder *decoder, kivRepairStats *stats) {
    return withUdpDecoder(decoder, [&](udp::ReceiverControls &c) {
        if (!stats) return fail(KIV_ERROR_INVALID_ARGUMENT, "stats is NULL");
        *stats = udp::repairStats(c);
        return KIV_OK;
    });
}

kivDecoder *kivGetDecoder(int protocol, const kivStreamFormat *) {
    return guarded<kivDecoder *>(nullptr, [&]() -> kivDecoder * {
        std::shared_ptr<udp::ReceiverControls> controls;
        Decoder::MakeTransport make = [protocol] { return makeReceiver(protocol); };
        if (protocol == KIV_PROTOCOL_UDP) {
            controls = std::make_shared<udp::ReceiverControls>();
            make = [controls]() -> std::unique_ptr<ReceiverTransport> {
                return udp::makeReceiver(udp::defaultReceiverOptions(controls));
            };
        }
        auto entry = std::make_unique<DecoderEntry>(std::move(controls), std::move(make));
        if (!entry->decoder.hasTransport()) return fail(KIV_ERROR_UNSUPPORTED, "protocol not available"), nullptr;
        return static_cast<kivDecoder *>(decoders().add(std::move(entry)));
    });
}

int kivSetSourceAddress(kivDecoder *decoder, int stream) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) { return d.setSource(stream); });
}

int kivSetAdaptiveBuffer(kivDecoder *decoder, int enabled) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) {
        if (enabled != 0 && enabled != 1) return fail(KIV_ERROR_INVALID_ARGUMENT, "enabled must be 0 or 1");
        d.setAdaptive(enabled == 1);
        return KIV_OK;
    });
}

const void *kivLockReadBuffer(kivDecoder *decoder, int timeoutMs) {
    return withDecoder(decoder, static_cast<const void *>(nullptr),
                       [&](Decoder &d) { return d.lock(std::max(timeoutMs, 0)); });
}

int kivUnlockReadBuffer(kivDecoder *decoder) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) { return d.unlock(); });
}

kivLentFrame *kivLendFrame(kivDecoder *decoder, int timeoutMs, const void **pixels, kivFrameInfo *info) {
    return withDecoder(decoder, static_cast<kivLentFrame *>(nullptr), [&](Decoder &d) -> kivLentFrame * {
        if (!pixels) return fail(KIV_ERROR_INVALID_ARGUMENT, "pixels is NULL"), nullptr;
        kivFrameInfo got{};
        std::unique_ptr<LentFrame> lent = d.lend(std::max(timeoutMs, 0), *pixels, got);
        if (!lent) return nullptr;
        if (info) *info = got;
        return static_cast<kivLentFrame *>(lentFrames().add(std::move(lent)));
    });
}

int kivReturnFrame(kivLentFrame *frame) {
    return guarded(KIV_ERROR_INTERNAL, [&]() -> int {
        if (!lentFrames().remove(frame)) return fail(KIV_ERROR_INVALID_HANDLE, "not a lent frame");
        return KIV_OK;
    });
}

int kivGetDecoderFd(kivDecoder *decoder) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [](Decoder &d) { return d.readyFd(); });
}

int kivWakeDecoder(kivDecoder *decoder) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [](Decoder &d) {
        d.wake();
        return KIV_OK;
    });
}

int kivGetRecvFormat(kivDecoder *decoder, kivStreamFormat *format) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) {
        if (!format) return fail(KIV_ERROR_INVALID_ARGUMENT, "format is NULL");
        *format = d.lastFormat();
        return KIV_OK;
    });
}

uint16_t kivGetRecvWidth(kivDecoder *decoder) {
    return withDecoder(decoder, uint16_t{0}, [](Decoder &d) { return d.lastFormat().width; });
}

uint16_t kivGetRecvHeight(kivDecoder *decoder) {
    return withDecoder(decoder, uint16_t{0}, [](Decoder &d) { return d.lastFormat().height; });
}

uint8_t kivGetRecvOrientation(kivDecoder *decoder) {
    return withDecoder(decoder, uint8_t{0}, [](Decoder &d) { return uint8_t(d.lastFormat().orientation); });
}

uint8_t kivGetRecvDepth(kivDecoder *decoder) {
    return withDecoder(decoder, uint8_t{0}, [](Decoder &d) { return uint8_t(d.lastFormat().depth); });
}

uint32_t kivGetCompressedFrameSize(kivDecoder *decoder) {
    return withDecoder(decoder, uint32_t{0}, [](Decoder &d) { return d.lastTransferBytes(); });
}

int kivGetRecvFrameInfo(kivDecoder *decoder, kivFrameInfo *info) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) {
        if (!info) return fail(KIV_ERROR_INVALID_ARGUMENT, "info is NULL");
        return d.frameInfo(*info);
    });
}

int kivGetDecoderStats(kivDecoder *decoder, kivDecoderStats *stats) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) {
        if (!stats) return fail(KIV_ERROR_INVALID_ARGUMENT, "stats is NULL");
        *stats = d.stats();
        return KIV_OK;
    });
}

int kivGetDecoderLossStats(kivDecoder *decoder, kivLossStats *stats) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) {
        if (!stats) return fail(KIV_ERROR_INVALID_ARGUMENT, "stats is NULL");
        *stats = d.lossStats();
        return KIV_OK;
    });
}

int kivGetReceiveBuffer(kivDecoder *decoder, uint32_t *requestedBytes, uint32_t *grantedBytes) {
    return withDecoder(decoder, KIV_ERROR_INVALID_HANDLE, [&](Decoder &d) {
        const ReceiveBuffer b = d.receiveBuffer();
        if (requestedBytes) *requestedBytes = b.requestedBytes;
        if (grantedBytes) *grantedBytes = b.grantedBytes;
        return KIV_OK;
    });
}

int kivDeleteDecoder(kivDecoder *decoder) {
    return guarded(KIV_ERROR_INTERNAL, [&]() -> int {
        if (!decoders().remove(decoder)) return fail(KIV_ERROR_INVALID_HANDLE, "not a live decoder handle");
        return KIV_OK;
    });
}

} // extern "C"
