#ifndef RECORDING_STREAMLIB_H
#define RECORDING_STREAMLIB_H

// A second implementation of the streaming library's C API for tests: it logs
// the calls that set up and tear down encoders and decoders, keeps a copy of
// every encoded frame, and hands prepared frames to decoders.

#include <QByteArray>
#include <QStringList>

#include "kivVidStreamLib2.h"

namespace recording {

struct EncodedFrame {
    QString encoder;  // "E1", "E2", ... in order of creation
    QByteArray bytes; // exactly kivGetByteSize() of the encoder's format, read from the caller
    qint64 atMs;      // monotonic time of the call
    qint64 serial;    // kivEncode calls in this process before this one
};

// Clears log, counts, frames and switches; handle names restart at E1 and D1.
void reset();
void setEncoderAvailable(bool available);
// kivGetByteSize() without row padding, as a careless library might report it.
void setUnpaddedByteSize(bool unpadded);
// Set-up and tear-down calls in order, e.g. "kivGetEncoder(3,{320,240,1,1})",
// "kivSetDestAddress(E1,127.0.0.1,10588)", "kivDeleteDecoder(D2)".
QStringList calls();
// How often any entry point was called, by name.
int count(const char *function);
QList<EncodedFrame> encodedFrames();
// Queues a frame for the next kivLockReadBuffer() of a live decoder.
void pushFrame(kivStreamFormat format, const QByteArray &bytes, uint32_t transferBytes);

} // namespace recording

#endif // RECORDING_STREAMLIB_H
