#include "kivstreamdecoder.h"

#include <QMutexLocker>
#include <QThread>

#include <cstring>

namespace {

constexpr int kFirstStream = 10588;

bool pictureFormat(uint16_t depth, QImage::Format *format, int *bytesPerPixel)
{
    switch (depth) {
    case KIV_DEPTH_16: *format = QImage::Format_RGB16; *bytesPerPixel = 2; return true;
    case KIV_DEPTH_24: *format = QImage::Format_RGB888; *bytesPerPixel = 3; return true;
    case KIV_DEPTH_32: *format = QImage::Format_RGB32; *bytesPerPixel = 4; return true;
    default: return false;
    }
}

void releaseFrameBytes(void *bytes)
{
    delete static_cast<QByteArray *>(bytes);
}

} // namespace

kivStreamDecoder::kivStreamDecoder(int protocol, const kivStreamFormat *format, int channel, QObject *parent)
    : QObject(parent)
    , mHandle(nullptr)
    , mRequestFormat(*format)
    , mFrameFormat{0, 0, 0, 0}
    , mRunning(true)
{
    mHandle = kivGetDecoder(protocol, &mRequestFormat);
    if (mHandle) {
        kivSetSourceAddress(mHandle, channel + kFirstStream);
        kivSetAdaptiveBuffer(mHandle, 1);
    }
}

kivStreamDecoder::~kivStreamDecoder()
{
    if (mHandle) {
        kivDeleteDecoder(mHandle);
        mHandle = nullptr;
    }
}

kivStreamFormat kivStreamDecoder::frameFormat() const
{
    QMutexLocker lock(&mFrameLock);
    return mFrameFormat;
}

kivDecoder *kivStreamDecoder::decoderHandle() const
{
    return mHandle;
}

QImage kivStreamDecoder::frameImage() const
{
    QByteArray bytes;
    kivStreamFormat format;
    {
        QMutexLocker lock(&mFrameLock);
        bytes = mFrameData; // shares the buffer, copies nothing
        format = mFrameFormat;
    }
    QImage::Format pixels;
    int bytesPerPixel = 0;
    if (bytes.isEmpty() || !pictureFormat(format.depth, &pixels, &bytesPerPixel))
        return QImage();
    const qint64 pitch = (qint64(format.width) * bytesPerPixel + 3) / 4 * 4;
    // A library that reports fewer bytes than the rows need would have the
    // picture read past the buffer.
    if (format.width == 0 || format.height == 0 || qint64(bytes.size()) < pitch * format.height)
        return QImage();
    auto *kept = new QByteArray(std::move(bytes));
    QImage image(reinterpret_cast<const uchar *>(kept->constData()), format.width, format.height,
                 qsizetype(pitch), pixels, releaseFrameBytes, kept);
    if (image.isNull())
        delete kept;
    return image;
}

void kivStreamDecoder::decoderThread()
{
    while (mRunning.load()) {
        const void *frame = kivLockReadBuffer(mHandle, 0);
        if (!frame) {
            QThread::msleep(1);
            continue;
        }
        {
            QMutexLocker lock(&mFrameLock);
            mFrameFormat.width = kivGetRecvWidth(mHandle);
            mFrameFormat.height = kivGetRecvHeight(mHandle);
            mFrameFormat.orientation = kivGetRecvOrientation(mHandle);
            mFrameFormat.depth = kivGetRecvDepth(mHandle);
            const uint32_t size = kivGetByteSize(&mFrameFormat);
            // A picture handed out earlier may still share the buffer: start a
            // new one rather than let the write copy the old bytes first.
            if (!mFrameData.isDetached())
                mFrameData = QByteArray();
            mFrameData.resize(qsizetype(size));
            if (size > 0)
                std::memcpy(mFrameData.data(), frame, size);
        }
        kivUnlockReadBuffer(mHandle);
        emit frameReceived();
    }
}

void kivStreamDecoder::endDecoder()
{
    mRunning.store(false);
}
