// SPDX-License-Identifier: MIT
#include "recording_streamlib.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QQueue>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace recording {
struct Frame {
    kivStreamFormat format;
    QByteArray bytes;
    uint32_t transferBytes;
    kivFrameInfo info;
};
} // namespace recording

struct kivEncoder {
    QString name;
    const kivStreamFormat *record; // the caller's record, read again at every encode
};

struct kivDecoder {
    QString name;
    bool locked = false;
    bool woken = false; // by kivWakeDecoder, not yet seen by a lock
    recording::Frame frame{}; // the one locked now, or the last one
};

namespace {

// Standard ones, not Qt's: ThreadSanitizer sees a QWaitCondition's unlock only
// inside uninstrumented Qt and calls the next lock a double lock.
std::mutex mutex;
std::condition_variable frameQueued;
thread_local QByteArray lastDetail;
thread_local int lastCode = KIV_OK;
struct State {
    QStringList calls;
    QHash<QString, int> counts;
    QList<recording::EncodedFrame> encoded;
    QList<void *> live;
    QQueue<recording::Frame> frames;
    QHash<QString, int> failing;
    int link = KIV_LINK_UP;
    bool unpadded = false;
    int encodersMade = 0, decodersMade = 0, waiting = 0, strays = 0;
    kivDecoderStats stats{};
} s;

// The code `function` was told to fail with, else KIV_OK; sets the detail.
int refusal(const char *function)
{
    lastCode = s.failing.value(QLatin1String(function), KIV_OK);
    lastDetail = lastCode == KIV_OK ? QByteArray() : QByteArray(function) + " refused";
    return lastCode;
}

template <typename Handle>
Handle *alive(Handle *h) { return s.live.contains(h) ? h : (++s.strays, nullptr); }
template <typename Handle>
Handle *made(Handle *h) { s.live << h; return h; }

QString text(const kivStreamFormat *f)
{
    return QStringLiteral("{%1,%2,%3,%4}").arg(f->width).arg(f->height).arg(f->depth).arg(f->orientation);
}
template <typename Handle>
QString text(Handle *h) { return alive(h) ? h->name : QStringLiteral("?"); }
QString text(const char *c) { return QString::fromLocal8Bit(c ? c : "null"); }
QString text(int n) { return QString::number(n); }
QString text(const QString &t) { return t; }

template <typename... Args>
void log(const char *function, const Args &...args)
{
    s.calls << QStringLiteral("%1(%2)").arg(QLatin1String(function), QStringList{text(args)...}.join(u','));
}

// Logs a call on a handle and answers whether the handle was alive and the call not refused.
template <typename Handle, typename... Args>
int logged(const char *function, Handle *h, const Args &...args)
{
    log(function, h, args...);
    return alive(h) ? refusal(function) : KIV_ERROR_INVALID_HANDLE;
}

template <typename Handle>
int deleted(const char *function, Handle *h)
{
    log(function, h);
    return s.live.removeOne(h) ? (delete h, KIV_OK) : KIV_ERROR_INVALID_HANDLE;
}

qint64 rowBytes(uint16_t width, uint16_t depth, bool padded)
{
    constexpr qint64 kBytesPerPixel[] = {2, 3, 4, 1}; // by KIV_DEPTH_*
    const qint64 row = depth < 4 ? width * kBytesPerPixel[depth] : 0;
    return padded ? (row + 3) / 4 * 4 : row;
}
uint32_t byteSize(const kivStreamFormat &f) { return uint32_t(rowBytes(f.width, f.depth, !s.unpadded) * f.height); }

} // namespace

// Every entry point holds the lock and counts itself.
#define ENTER std::unique_lock lock(mutex); s.counts[QLatin1String(__func__)]++

namespace recording {

void reset()
{
    ENTER;
    // Handles still alive and decoders waiting belong to the caller, not to the test.
    s = State{{}, {}, {}, s.live, {}, {}, KIV_LINK_UP, false, 0, 0, s.waiting};
}
void fail(const char *function, int code) { ENTER; s.failing[QLatin1String(function)] = code; }
void setEncoderLink(int state) { ENTER; s.link = state; }
void setUnpaddedByteSize(bool unpadded) { ENTER; s.unpadded = unpadded; }
QStringList calls() { ENTER; return s.calls; }
int count(const char *function) { ENTER; return s.counts.value(QLatin1String(function)); }
QList<EncodedFrame> encodedFrames() { ENTER; return s.encoded; }
int liveHandles() { ENTER; return int(s.live.size()); }
int strayCalls() { ENTER; return s.strays; }
bool drained() { ENTER; return s.frames.isEmpty() && s.waiting > 0; }
void setDecoderStats(const kivDecoderStats &stats) { ENTER; s.stats = stats; }
void pushFrame(kivStreamFormat format, const QByteArray &bytes, uint32_t transferBytes, kivFrameInfo info)
{
    ENTER;
    s.frames.enqueue({format, bytes, transferBytes, info});
    frameQueued.notify_all();
}

} // namespace recording

extern "C" {

uint32_t kivGetByteSize(const kivStreamFormat *format) { ENTER; return format ? byteSize(*format) : 0; }
uint32_t kivGetRowPitch(uint16_t width, uint16_t depth) { ENTER; return uint32_t(rowBytes(width, depth, true)); }
const char *kivLastErrorDetail(void) { return lastDetail.constData(); }
int kivLastError(void) { return lastCode; }
const char *kivErrorString(int) { return "error"; }

kivEncoder *kivGetEncoder(int protocol, const kivStreamFormat *format)
{
    ENTER;
    log(__func__, protocol, format);
    return refusal(__func__) ? nullptr : made(new kivEncoder{QStringLiteral("E%1").arg(++s.encodersMade), format});
}

int kivSetDestAddress(kivEncoder *e, const char *address, int stream) { ENTER; return logged(__func__, e, address, stream); }

int kivGetEncoderLink(kivEncoder *e)
{
    ENTER;
    lastDetail = s.link == KIV_LINK_DOWN ? "connection refused" : "";
    return alive(e) ? s.link : KIV_ERROR_INVALID_HANDLE;
}

int kivSetDestFormat(kivEncoder *e, const kivStreamFormat *format, int compress, int level)
{
    ENTER;
    // The record must be the one the encoder was made with: it is read again at every encode.
    const QString record = (alive(e) && e->record == format ? QString() : QStringLiteral("other")) + text(format);
    return logged(__func__, e, record, compress, level);
}

int kivEncode(kivEncoder *e, const void *pixels)
{
    ENTER;
    if (!alive(e))
        return KIV_ERROR_INVALID_HANDLE;
    s.encoded.append({QByteArray(static_cast<const char *>(pixels), byteSize(*e->record)),
                      QDeadlineTimer::current().deadline()});
    return KIV_OK;
}

int kivDeleteEncoder(kivEncoder *e) { ENTER; return deleted(__func__, e); }

kivDecoder *kivGetDecoder(int protocol, const kivStreamFormat *format)
{
    ENTER;
    log(__func__, protocol, format);
    return refusal(__func__) ? nullptr : made(new kivDecoder{.name = QStringLiteral("D%1").arg(++s.decodersMade)});
}

int kivSetSourceAddress(kivDecoder *d, int stream) { ENTER; return logged(__func__, d, stream); }
int kivSetAdaptiveBuffer(kivDecoder *d, int enabled) { ENTER; return logged(__func__, d, enabled); }

const void *kivLockReadBuffer(kivDecoder *d, int timeoutMs)
{
    ENTER;
    if (!alive(d) || d->locked)
        return nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (s.frames.isEmpty()) {
        if (std::exchange(d->woken, false)) {
            lastCode = KIV_ERROR_INTERRUPTED;
            return nullptr;
        }
        ++s.waiting;
        const bool woken = frameQueued.wait_until(lock, deadline) == std::cv_status::no_timeout;
        --s.waiting;
        if (!woken) {
            lastCode = KIV_ERROR_TIMEOUT;
            return nullptr;
        }
    }
    d->locked = true;
    d->frame = s.frames.dequeue();
    return d->frame.bytes.constData();
}

int kivUnlockReadBuffer(kivDecoder *d) { ENTER; return alive(d) && std::exchange(d->locked, false) ? KIV_OK : KIV_ERROR_STATE; }
int kivWakeDecoder(kivDecoder *d)
{
    ENTER;
    if (!alive(d))
        return KIV_ERROR_INVALID_HANDLE;
    d->woken = true;
    frameQueued.notify_all();
    return KIV_OK;
}
int kivGetRecvFormat(kivDecoder *d, kivStreamFormat *format) { ENTER; return alive(d) ? (*format = d->frame.format, KIV_OK) : KIV_ERROR_INVALID_HANDLE; }
uint32_t kivGetCompressedFrameSize(kivDecoder *d) { ENTER; return alive(d) ? d->frame.transferBytes : 0; }
int kivDeleteDecoder(kivDecoder *d) { ENTER; return deleted(__func__, d); }
int kivGetRecvFrameInfo(kivDecoder *d, kivFrameInfo *info)
{
    ENTER;
    if (!alive(d) || !d->locked)
        return KIV_ERROR_STATE;
    *info = d->frame.info;
    return KIV_OK;
}
int kivGetDecoderStats(kivDecoder *d, kivDecoderStats *stats) { ENTER; return alive(d) ? (*stats = s.stats, KIV_OK) : KIV_ERROR_INVALID_HANDLE; }

} // extern "C"
