// SPDX-License-Identifier: MIT
#include "kivstreamdecoder.h"

#include "kivmodel.h"

#include <QDeadlineTimer>

#include <cstring>
#include <thread>

namespace {

// endDecoder() wakes the wait, so an idle channel costs a wake-up a second.
constexpr int kWaitMs = 1000;

void releaseBuffer(void *buffer)
{
    delete static_cast<QByteArray *>(buffer);
}

} // namespace

kivStreamDecoder::kivStreamDecoder(int protocol, const kivStreamFormat *format, int channel, QObject *parent)
    : QObject(parent)
    , mRequestFormat(*format)
    , mRunning(true)
{
    mHandle.reset(kivGetDecoder(protocol, &mRequestFormat));
    if (!mHandle) {
        mError = kivtester::failureText(KIV_ERROR_UNSUPPORTED);
        return;
    }
    const int result = kivSetSourceAddress(mHandle.get(), channel + kivtester::kChannelBase);
    if (result != KIV_OK) {
        mError = kivtester::failureText(result);
        return;
    }
    kivSetAdaptiveBuffer(mHandle.get(), 1);
}

kivStreamDecoder::~kivStreamDecoder() = default;

kivDecoderStats kivStreamDecoder::stats() const
{
    kivDecoderStats stats{};
    if (mHandle)
        kivGetDecoderStats(mHandle.get(), &stats);
    return stats;
}

void kivStreamDecoder::decoderThread()
{
    // A decoder that cannot receive would only be refused on every pass.
    if (!mError.isEmpty())
        return;
    while (mRunning.load()) {
        const QDeadlineTimer deadline(kWaitMs);
        const void *bytes = kivLockReadBuffer(mHandle.get(), kWaitMs);
        if (!bytes) {
            const int why = kivLastError();
            // A refusal comes back at once: wait out the rest so it cannot spin.
            if (why != KIV_ERROR_TIMEOUT && why != KIV_ERROR_INTERRUPTED)
                std::this_thread::sleep_until(deadline.deadline<std::chrono::steady_clock>());
            continue;
        }
        kivReceivedFrame frame;
        kivGetRecvFormat(mHandle.get(), &frame.format);
        frame.transferBytes = kivGetCompressedFrameSize(mHandle.get());
        kivGetRecvFrameInfo(mHandle.get(), &frame.info);
        takePicture(frame, bytes, kivGetByteSize(&frame.format));
        kivUnlockReadBuffer(mHandle.get());
        emit frameReceived(frame);
    }
}

void kivStreamDecoder::endDecoder()
{
    mRunning.store(false);
    if (mHandle)
        kivWakeDecoder(mHandle.get());
}

void kivStreamDecoder::takePicture(kivReceivedFrame &frame, const void *bytes, quint32 size)
{
    const kivStreamFormat &format = frame.format;
    const QImage::Format pixels =
        format.depth == KIV_DEPTH_8 ? QImage::Format_Invalid : kivtester::imageFormat(format.depth);
    const quint64 pitch = kivGetRowPitch(format.width, format.depth);
    const quint64 needed = pitch * format.height;
    // A library that reports fewer bytes than the rows need would have the
    // picture read past the frame.
    if (pixels == QImage::Format_Invalid || needed == 0 || size < needed)
        return;
    for (QByteArray &buffer : mBuffers) {
        if (!buffer.isNull() && !buffer.isDetached())
            continue;
        // Pairs with the release of the last picture's reference.
        std::atomic_thread_fence(std::memory_order_acquire);
        buffer.resize(qsizetype(needed));
        std::memcpy(buffer.data(), bytes, size_t(needed));
        auto *kept = new QByteArray(buffer);
        frame.picture = QImage(reinterpret_cast<const uchar *>(kept->constData()), format.width, format.height,
                               qsizetype(pitch), pixels, releaseBuffer, kept);
        if (frame.picture.isNull())
            delete kept;
        return;
    }
    frame.pictureSkipped = true;
}
