#include "recording_streamlib.h"

#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QQueue>

#include <memory>

struct kivEncoder {
    QString name;
    const kivStreamFormat *record = nullptr; // the caller's record, read at every encode
};

struct kivDecoder {
    QString name;
    bool hasSource = false;
    bool locked = false;
    kivStreamFormat current{0, 0, 0, 0};
    QByteArray lockedBytes;
    uint32_t transferBytes = 0;
};

namespace {

struct Frame {
    kivStreamFormat format;
    QByteArray bytes;
    uint32_t transferBytes;
};

struct State {
    QMutex mutex;
    QStringList calls;
    QMap<QString, int> counts;
    QList<recording::EncodedFrame> encoded;
    QList<kivEncoder *> encoders;
    QList<kivDecoder *> decoders;
    QQueue<Frame> frames;
    kivStreamFormat lastRequest{0, 0, 0, 0};
    bool encoderAvailable = true;
    bool decoderAvailable = true;
    bool unpadded = false;
    int encodersMade = 0;
    int decodersMade = 0;
    qint64 totalEncodes = 0;
    QElapsedTimer clock;
};

State &state()
{
    static State s;
    if (!s.clock.isValid())
        s.clock.start();
    return s;
}

QString formatText(const kivStreamFormat *f)
{
    if (!f)
        return QStringLiteral("null");
    return QStringLiteral("{%1,%2,%3,%4}").arg(f->width).arg(f->height).arg(f->depth).arg(f->orientation);
}

int bytesPerPixel(uint16_t depth)
{
    switch (depth) {
    case KIV_DEPTH_16: return 2;
    case KIV_DEPTH_24: return 3;
    case KIV_DEPTH_32: return 4;
    case KIV_DEPTH_8: return 1;
    default: return 0;
    }
}

void log(State &s, const QString &call)
{
    s.calls.append(call);
}

} // namespace

namespace recording {

void reset()
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.calls.clear();
    s.counts.clear();
    s.encoded.clear();
    s.frames.clear();
    s.encoderAvailable = true;
    s.decoderAvailable = true;
    s.unpadded = false;
    if (s.encoders.isEmpty())
        s.encodersMade = 0;
    if (s.decoders.isEmpty())
        s.decodersMade = 0;
}

void setEncoderAvailable(bool available)
{
    QMutexLocker lock(&state().mutex);
    state().encoderAvailable = available;
}

void setDecoderAvailable(bool available)
{
    QMutexLocker lock(&state().mutex);
    state().decoderAvailable = available;
}

void setUnpaddedByteSize(bool unpadded)
{
    QMutexLocker lock(&state().mutex);
    state().unpadded = unpadded;
}

QStringList calls()
{
    QMutexLocker lock(&state().mutex);
    return state().calls;
}

int count(const char *call)
{
    QMutexLocker lock(&state().mutex);
    return state().counts.value(QString::fromLatin1(call));
}

qint64 totalEncodes()
{
    QMutexLocker lock(&state().mutex);
    return state().totalEncodes;
}

QList<EncodedFrame> encodedFrames()
{
    QMutexLocker lock(&state().mutex);
    return state().encoded;
}

int liveEncoders()
{
    QMutexLocker lock(&state().mutex);
    return int(state().encoders.size());
}

int liveDecoders()
{
    QMutexLocker lock(&state().mutex);
    return int(state().decoders.size());
}

kivStreamFormat lastDecoderRequest()
{
    QMutexLocker lock(&state().mutex);
    return state().lastRequest;
}

void pushFrame(kivStreamFormat format, const QByteArray &bytes, uint32_t transferBytes)
{
    QMutexLocker lock(&state().mutex);
    state().frames.enqueue(Frame{format, bytes, transferBytes});
}

int queuedFrames()
{
    QMutexLocker lock(&state().mutex);
    return int(state().frames.size());
}

} // namespace recording

namespace {

uint32_t byteSize(const State &s, const kivStreamFormat *format)
{
    if (!format)
        return 0;
    const qint64 bpp = bytesPerPixel(format->depth);
    const qint64 row = s.unpadded ? format->width * bpp : (format->width * bpp + 3) / 4 * 4;
    const qint64 size = row * format->height;
    return size > 0xffffffffLL ? 0 : uint32_t(size);
}

kivEncoder *liveEncoder(State &s, kivEncoder *e)
{
    return s.encoders.contains(e) ? e : nullptr;
}

kivDecoder *liveDecoder(State &s, kivDecoder *d)
{
    return s.decoders.contains(d) ? d : nullptr;
}

} // namespace

extern "C" {

int kivVersionNumber(void) { return KIV_VERSION_NUMBER; }
const char *kivErrorString(int) { return "recorded"; }
const char *kivLastErrorDetail(void) { return ""; }

uint32_t kivGetByteSize(const kivStreamFormat *format)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.counts["kivGetByteSize"]++;
    return byteSize(s, format);
}

kivEncoder *kivGetEncoder(int protocol, const kivStreamFormat *format)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    log(s, QStringLiteral("kivGetEncoder(%1,%2)").arg(protocol).arg(formatText(format)));
    if (!s.encoderAvailable || !format)
        return nullptr;
    auto *e = new kivEncoder;
    e->name = QStringLiteral("E%1").arg(++s.encodersMade);
    e->record = format;
    s.encoders.append(e);
    return e;
}

int kivSetDestAddress(kivEncoder *encoder, const char *address, int stream)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    kivEncoder *e = liveEncoder(s, encoder);
    log(s, QStringLiteral("kivSetDestAddress(%1,%2,%3)")
               .arg(e ? e->name : QStringLiteral("?"), QString::fromLocal8Bit(address ? address : "null"))
               .arg(stream));
    return e ? KIV_OK : KIV_ERROR_INVALID_HANDLE;
}

int kivSetDestFormat(kivEncoder *encoder, const kivStreamFormat *format, int compress, int level)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    kivEncoder *e = liveEncoder(s, encoder);
    // The record must be the one the encoder was made with: it is read again at
    // every encode.
    const QString record = (e && e->record == format) ? formatText(format) : QStringLiteral("other") + formatText(format);
    log(s, QStringLiteral("kivSetDestFormat(%1,%2,%3,%4)")
               .arg(e ? e->name : QStringLiteral("?"), record)
               .arg(compress)
               .arg(level));
    return e ? KIV_OK : KIV_ERROR_INVALID_HANDLE;
}

int kivEncode(kivEncoder *encoder, const void *pixels)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.counts["kivEncode"]++;
    const qint64 serial = s.totalEncodes++;
    kivEncoder *e = liveEncoder(s, encoder);
    if (!e) {
        log(s, QStringLiteral("kivEncode(?)"));
        return KIV_ERROR_INVALID_HANDLE;
    }
    const kivStreamFormat format = *e->record;
    const uint32_t size = byteSize(s, &format);
    s.encoded.append({e->name, format,
                      QByteArray(static_cast<const char *>(pixels), qsizetype(size)), s.clock.elapsed(), serial});
    return KIV_OK;
}

int kivDeleteEncoder(kivEncoder *encoder)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    kivEncoder *e = liveEncoder(s, encoder);
    log(s, QStringLiteral("kivDeleteEncoder(%1)").arg(e ? e->name : QStringLiteral("?")));
    if (!e)
        return KIV_ERROR_INVALID_HANDLE;
    s.encoders.removeAll(e);
    delete e;
    return KIV_OK;
}

int kivGetEncoderStats(kivEncoder *encoder, kivEncoderStats *stats)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    if (!liveEncoder(s, encoder) || !stats)
        return KIV_ERROR_INVALID_HANDLE;
    *stats = kivEncoderStats{};
    return KIV_OK;
}

kivDecoder *kivGetDecoder(int protocol, const kivStreamFormat *format)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    log(s, QStringLiteral("kivGetDecoder(%1,%2,%3)")
               .arg(protocol)
               .arg(format ? format->depth : -1)
               .arg(format ? format->orientation : -1));
    if (format)
        s.lastRequest = *format;
    if (!s.decoderAvailable)
        return nullptr;
    auto *d = new kivDecoder;
    d->name = QStringLiteral("D%1").arg(++s.decodersMade);
    s.decoders.append(d);
    return d;
}

int kivSetSourceAddress(kivDecoder *decoder, int stream)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    kivDecoder *d = liveDecoder(s, decoder);
    log(s, QStringLiteral("kivSetSourceAddress(%1,%2)").arg(d ? d->name : QStringLiteral("?")).arg(stream));
    if (!d)
        return KIV_ERROR_INVALID_HANDLE;
    d->hasSource = true;
    return KIV_OK;
}

int kivSetAdaptiveBuffer(kivDecoder *decoder, int enabled)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    kivDecoder *d = liveDecoder(s, decoder);
    log(s, QStringLiteral("kivSetAdaptiveBuffer(%1,%2)").arg(d ? d->name : QStringLiteral("?")).arg(enabled));
    return d ? KIV_OK : KIV_ERROR_INVALID_HANDLE;
}

const void *kivLockReadBuffer(kivDecoder *decoder, int)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    if (!decoder) {
        s.counts["kivLockReadBuffer(null)"]++;
        return nullptr;
    }
    s.counts["kivLockReadBuffer"]++;
    kivDecoder *d = liveDecoder(s, decoder);
    if (!d || !d->hasSource || d->locked || s.frames.isEmpty())
        return nullptr;
    Frame f = s.frames.dequeue();
    d->locked = true;
    d->current = f.format;
    d->lockedBytes = f.bytes;
    d->transferBytes = f.transferBytes;
    return d->lockedBytes.constData();
}

int kivUnlockReadBuffer(kivDecoder *decoder)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.counts["kivUnlockReadBuffer"]++;
    kivDecoder *d = liveDecoder(s, decoder);
    if (!d || !d->locked)
        return KIV_ERROR_STATE;
    d->locked = false;
    return KIV_OK;
}

// The format of the frame locked now, or of the last one locked.
#define RECORDED_FORMAT_GETTER(type, function, field)                  \
    type function(kivDecoder *decoder)                                 \
    {                                                                  \
        State &s = state();                                            \
        QMutexLocker lock(&s.mutex);                                   \
        kivDecoder *d = liveDecoder(s, decoder);                       \
        return d ? type(d->current.field) : type(0);                   \
    }
RECORDED_FORMAT_GETTER(uint16_t, kivGetRecvWidth, width)
RECORDED_FORMAT_GETTER(uint16_t, kivGetRecvHeight, height)
RECORDED_FORMAT_GETTER(uint8_t, kivGetRecvOrientation, orientation)
RECORDED_FORMAT_GETTER(uint8_t, kivGetRecvDepth, depth)
#undef RECORDED_FORMAT_GETTER

uint32_t kivGetCompressedFrameSize(kivDecoder *decoder)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.counts["kivGetCompressedFrameSize"]++;
    kivDecoder *d = liveDecoder(s, decoder);
    return d ? d->transferBytes : 0;
}

int kivDeleteDecoder(kivDecoder *decoder)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    kivDecoder *d = liveDecoder(s, decoder);
    log(s, QStringLiteral("kivDeleteDecoder(%1)").arg(d ? d->name : QStringLiteral("?")));
    if (!d)
        return KIV_ERROR_INVALID_HANDLE;
    s.decoders.removeAll(d);
    delete d;
    return KIV_OK;
}

int kivGetRecvFrameInfo(kivDecoder *decoder, kivFrameInfo *info)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    kivDecoder *d = liveDecoder(s, decoder);
    if (!d || !info)
        return KIV_ERROR_INVALID_HANDLE;
    if (!d->locked)
        return KIV_ERROR_STATE;
    *info = kivFrameInfo{};
    info->transferBytes = d->transferBytes;
    info->imageBytes = byteSize(s, &d->current);
    return KIV_OK;
}

int kivGetDecoderStats(kivDecoder *decoder, kivDecoderStats *stats)
{
    State &s = state();
    QMutexLocker lock(&s.mutex);
    if (!liveDecoder(s, decoder) || !stats)
        return KIV_ERROR_INVALID_HANDLE;
    *stats = kivDecoderStats{};
    return KIV_OK;
}

} // extern "C"
