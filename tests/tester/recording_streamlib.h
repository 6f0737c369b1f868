// SPDX-License-Identifier: MIT
#ifndef RECORDING_STREAMLIB_H
#define RECORDING_STREAMLIB_H

// The streaming library's C API for tests: logs the calls that set up and tear down encoders and
// decoders, keeps a copy of every encoded frame, and hands prepared frames to decoders.

#include <QByteArray>
#include <QStringList>

#include "kivVidStreamLib2.h"

namespace recording {

struct EncodedFrame {
    QByteArray bytes; // exactly kivGetByteSize() of the encoder's format, read from the caller
    qint64 atMs;      // monotonic time of the call
};

// Clears log, counts, frames and switches; handle names restart at E1 and D1.
void reset();
// Until reset(), the set-up call `function` (kivGetDecoder, kivSetDestAddress, ...)
// fails with `code` (or NULL) and the detail "<function> refused".
void fail(const char *function, int code = KIV_ERROR_BUSY);
// What kivGetEncoderLink() answers; KIV_LINK_DOWN with the detail "connection refused".
void setEncoderLink(int state);
// kivGetByteSize() without row padding, as a careless library might report it.
void setUnpaddedByteSize(bool unpadded);
// Set-up and tear-down calls in order, e.g. "kivGetEncoder(3,{320,240,1,1})",
// "kivSetDestAddress(E1,127.0.0.1,10588)", "kivDeleteDecoder(D2)".
QStringList calls();
// How often any entry point was called, by name.
int count(const char *function);
QList<EncodedFrame> encodedFrames();
// Encoders and decoders made and not deleted; calls with a handle not alive (never made, or deleted).
int liveHandles();
int strayCalls();
// Queues a frame for the next kivLockReadBuffer() of a live decoder, which waits for one up to its timeout.
void pushFrame(kivStreamFormat format, const QByteArray &bytes, uint32_t transferBytes, kivFrameInfo info = {});
// What kivGetDecoderStats() answers from now on.
void setDecoderStats(const kivDecoderStats &stats);
// Every queued frame was taken and handed on: a decoder waits for the next.
bool drained();

} // namespace recording

#endif // RECORDING_STREAMLIB_H
