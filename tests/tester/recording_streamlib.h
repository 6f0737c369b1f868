#ifndef RECORDING_STREAMLIB_H
#define RECORDING_STREAMLIB_H

// A second implementation of the streaming library's C API for tests: it logs
// the calls that set up and tear down encoders and decoders, keeps a copy of
// every encoded frame, and hands prepared frames to decoders.

#include <QByteArray>
#include <QList>
#include <QStringList>

#include "kivVidStreamLib2.h"

namespace recording {

struct EncodedFrame {
    QString encoder;  // "E1", "E2", ... in order of creation
    kivStreamFormat format;
    QByteArray bytes; // exactly kivGetByteSize(format) bytes read from the caller
    qint64 atMs;      // monotonic time of the call
    qint64 serial;    // number of kivEncode calls in this process before this one
};

// Clears the log, counts, frames and switches; handle names restart at E1 and D1
// when no handle is alive.
void reset();
void setEncoderAvailable(bool available);
void setDecoderAvailable(bool available);
// kivGetByteSize() without row padding, as a careless library might report it.
void setUnpaddedByteSize(bool unpadded);

// Set-up and tear-down calls in order, e.g. "kivGetEncoder(3,{320,240,1,1})",
// "kivSetDestAddress(E1,127.0.0.1,10588)", "kivDeleteDecoder(D2)".
QStringList calls();
// How often a frequent call was made: "kivLockReadBuffer", "kivLockReadBuffer(null)",
// "kivUnlockReadBuffer", "kivGetCompressedFrameSize", "kivEncode", ...
int count(const char *call);
// kivEncode calls since the process started; reset() leaves it alone.
qint64 totalEncodes();
QList<EncodedFrame> encodedFrames();
int liveEncoders();
int liveDecoders();
kivStreamFormat lastDecoderRequest();

// Queues a frame for the next kivLockReadBuffer() of any decoder that has a source.
void pushFrame(kivStreamFormat format, const QByteArray &bytes, uint32_t transferBytes);
int queuedFrames();

} // namespace recording

#endif // RECORDING_STREAMLIB_H
