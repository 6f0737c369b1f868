#ifndef KIVSTREAMDECODER_H
#define KIVSTREAMDECODER_H

#include <QByteArray>
#include <QImage>
#include <QMutex>
#include <QObject>

#include <atomic>

#include "kivVidStreamLib2.h"

// Owns one library decoder and polls it on a worker thread of its own. Each
// frame is copied with its format and announced by frameReceived(); the GUI
// thread reads the copy through frameFormat() and frameImage().
class kivStreamDecoder : public QObject
{
    Q_OBJECT

public:
    kivStreamDecoder(int protocol, const kivStreamFormat *format, int channel, QObject *parent = nullptr);
    ~kivStreamDecoder() override;

    kivStreamFormat frameFormat() const;
    kivDecoder *decoderHandle() const;
    // A picture over the last copied frame. It keeps that frame's bytes alive
    // on its own, so the worker may go on to the next frame meanwhile.
    QImage frameImage() const;

signals:
    void frameReceived();

public slots:
    void decoderThread();
    void endDecoder();

private:
    kivDecoder *mHandle;
    kivStreamFormat mRequestFormat;
    kivStreamFormat mFrameFormat;
    QByteArray mFrameData;
    std::atomic<bool> mRunning;
    // Guards mFrameFormat and mFrameData between the worker and the GUI thread.
    mutable QMutex mFrameLock;
};

#endif // KIVSTREAMDECODER_H
