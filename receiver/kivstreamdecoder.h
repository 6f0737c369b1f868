// SPDX-License-Identifier: MIT
#ifndef KIVSTREAMDECODER_H
#define KIVSTREAMDECODER_H

#include <QByteArray>
#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>

#include "kivVidStreamLib2.hpp"

// One received frame, handed to the GUI thread by value.
struct kivReceivedFrame {
    kivStreamFormat format{};
    quint32 transferBytes = 0; // what the frame took on the way
    kivFrameInfo info{}; // the sender's stamp; zero when the library gave none
    QImage picture; // null when the format or the byte size allows none
    // Every buffer was still held on the GUI side: a lagging display skips a
    // picture, never a count, and memory stays bounded.
    bool pictureSkipped = false;
};
Q_DECLARE_METATYPE(kivReceivedFrame)

// Owns one library decoder and waits for its frames on a worker thread of its
// own; each frame goes out in its own queued frameReceived().
class kivStreamDecoder : public QObject
{
    Q_OBJECT

public:
    kivStreamDecoder(int protocol, const kivStreamFormat *format, int channel, QObject *parent = nullptr);
    ~kivStreamDecoder() override;

    // Why the decoder cannot receive; empty when it can.
    QString errorText() const { return mError; }
    // The library's counters so far; zero without a decoder. Any thread.
    kivDecoderStats stats() const;

signals:
    void frameReceived(const kivReceivedFrame &frame);

public slots:
    // Returns soon after endDecoder(), which any thread may call.
    void decoderThread();
    void endDecoder();

private:
    void takePicture(kivReceivedFrame &frame, const void *bytes, quint32 size);

    kiv::DecoderHandle mHandle;
    kivStreamFormat mRequestFormat;
    QString mError;
    // Pixel buffers the pictures are made over. One the display holds, one in
    // flight, one being filled: a buffer is refilled only once no picture
    // refers to it any more, so steady streams allocate nothing.
    std::array<QByteArray, 3> mBuffers;
    std::atomic<bool> mRunning;
};

#endif // KIVSTREAMDECODER_H
