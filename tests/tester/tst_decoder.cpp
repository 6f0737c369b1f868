// The receiving worker against the recording library: what it asks of the
// library, what it copies, and what picture it makes of a frame.
#include "kivstreamdecoder.h"
#include "recording_streamlib.h"
#include "test_picture.h"

#include <QTest>
#include <QThread>

#include <atomic>

namespace {

// A worker on its own thread, stopped in the same order as the window stops it.
struct RunningDecoder {
    kivStreamDecoder *decoder;
    QThread thread;
    std::atomic<int> announced{0}; // counted on the worker thread as each frame is announced

    explicit RunningDecoder(int protocol = KIV_PROTOCOL_MEMORY, int channel = 0, bool start = true)
    {
        const kivStreamFormat request{100, 30, KIV_DEPTH_24, 1};
        decoder = new kivStreamDecoder(protocol, &request, channel);
        QObject::connect(&thread, &QThread::started, decoder, &kivStreamDecoder::decoderThread);
        decoder->moveToThread(&thread);
        QObject::connect(decoder, &kivStreamDecoder::frameReceived, decoder, [this] { ++announced; },
                         Qt::DirectConnection);
        if (start)
            thread.start();
    }
    ~RunningDecoder()
    {
        decoder->endDecoder();
        thread.quit();
        thread.wait();
        delete decoder;
    }
};

QByteArray patternBytes(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) & 0xff);
    return bytes;
}

} // namespace

class DecoderTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { recording::reset(); }

    void setUpAndTearDownCalls();
    void failedDecoderStillRunsAndStops();
    void stopBeforeStartCallsNothing();
    void framePicture_data();
    void framePicture();
    void shorterFrameReplacesLonger();
    void byteSizeTooSmallGivesNoPicture();
    void heldPictureSurvivesNextFrame();
};

void DecoderTest::setUpAndTearDownCalls()
{
    {
        RunningDecoder running(KIV_PROTOCOL_UDP, 7);
        QCOMPARE(int(running.decoder->frameFormat().width), 0);
        QCOMPARE(int(running.decoder->frameFormat().depth), 0);
        QVERIFY(running.decoder->frameImage().isNull());
    }
    QCOMPARE(recording::calls(), QStringList({"kivGetDecoder(1,1,1)", "kivSetSourceAddress(D1,10595)",
                                              "kivSetAdaptiveBuffer(D1,1)", "kivDeleteDecoder(D1)"}));
    QCOMPARE(int(recording::lastDecoderRequest().width), 100);
    QCOMPARE(int(recording::lastDecoderRequest().height), 30);
}

void DecoderTest::failedDecoderStillRunsAndStops()
{
    recording::setDecoderAvailable(false);
    {
        RunningDecoder running;
        QTRY_VERIFY_WITH_TIMEOUT(recording::count("kivLockReadBuffer(null)") > 2, 5000);
        QVERIFY(running.decoder->decoderHandle() == nullptr);
    }
    QCOMPARE(recording::calls(), QStringList({"kivGetDecoder(3,1,1)"}));
}

void DecoderTest::stopBeforeStartCallsNothing()
{
    RunningDecoder running(KIV_PROTOCOL_MEMORY, 0, false);
    running.decoder->endDecoder();
    running.thread.start();
    running.thread.quit();
    QVERIFY(running.thread.wait(5000));
    QCOMPARE(recording::count("kivLockReadBuffer"), 0);
}

void DecoderTest::framePicture_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("bytesPerPixel");
    QTest::addColumn<int>("format"); // QImage::Format, or Format_Invalid for none

    QTest::newRow("16-bit odd width, 2 pad bytes") << 5 << 3 << 0 << 2 << int(QImage::Format_RGB16);
    QTest::newRow("24-bit, 3 pad bytes") << 3 << 4 << 1 << 3 << int(QImage::Format_RGB888);
    QTest::newRow("24-bit, no padding") << 4 << 2 << 1 << 3 << int(QImage::Format_RGB888);
    QTest::newRow("32-bit") << 3 << 3 << 2 << 4 << int(QImage::Format_RGB32);
    QTest::newRow("8-bit has no picture") << 6 << 2 << 3 << 1 << int(QImage::Format_Invalid);
}

void DecoderTest::framePicture()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, depth);
    QFETCH(int, bytesPerPixel);
    QFETCH(int, format);

    const qint64 pitch = rowPitch(width, bytesPerPixel);
    const QByteArray bytes = patternBytes(pitch * height, depth);
    const kivStreamFormat sent{uint16_t(width), uint16_t(height), uint16_t(depth), 1};
    recording::pushFrame(sent, bytes, 77);

    RunningDecoder running;
    QTRY_COMPARE_WITH_TIMEOUT(running.announced.load(), 1, 5000);

    const kivStreamFormat got = running.decoder->frameFormat();
    QCOMPARE(int(got.width), int(sent.width));
    QCOMPARE(int(got.height), int(sent.height));
    QCOMPARE(int(got.depth), int(sent.depth));
    QCOMPARE(int(got.orientation), 1);
    QCOMPARE(kivGetCompressedFrameSize(running.decoder->decoderHandle()), 77u);
    QCOMPARE(recording::count("kivUnlockReadBuffer"), 1);

    const QImage picture = running.decoder->frameImage();
    if (format == QImage::Format_Invalid) {
        QVERIFY(picture.isNull());
        return;
    }
    QCOMPARE(picture.format(), QImage::Format(format));
    QCOMPARE(picture.size(), QSize(width, height));
    QCOMPARE(picture.bytesPerLine(), pitch);
    for (int y = 0; y < height; ++y) {
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(picture.constScanLine(y)), width * bytesPerPixel),
                 bytes.mid(y * pitch, width * bytesPerPixel));
    }
}

void DecoderTest::shorterFrameReplacesLonger()
{
    const kivStreamFormat big{8, 8, KIV_DEPTH_32, 1};
    const kivStreamFormat small{2, 1, KIV_DEPTH_24, 1};
    recording::pushFrame(big, patternBytes(256, 1), 256);
    RunningDecoder running;
    QTRY_COMPARE_WITH_TIMEOUT(running.announced.load(), 1, 5000);
    recording::pushFrame(small, patternBytes(8, 9), 8);
    QTRY_COMPARE_WITH_TIMEOUT(running.announced.load(), 2, 5000);

    const QImage picture = running.decoder->frameImage();
    QCOMPARE(picture.size(), QSize(2, 1));
    QCOMPARE(picture.sizeInBytes(), 8);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(picture.constBits()), 6), patternBytes(8, 9).left(6));
}

void DecoderTest::byteSizeTooSmallGivesNoPicture()
{
    // 3 x 2 at 24 bits needs 12-byte rows, 24 bytes; this library says 18.
    recording::setUnpaddedByteSize(true);
    const kivStreamFormat format{3, 2, KIV_DEPTH_24, 1};
    recording::pushFrame(format, patternBytes(18, 3), 18);
    RunningDecoder running;
    QTRY_COMPARE_WITH_TIMEOUT(running.announced.load(), 1, 5000);
    QCOMPARE(int(running.decoder->frameFormat().width), 3);
    QVERIFY(running.decoder->frameImage().isNull());
}

void DecoderTest::heldPictureSurvivesNextFrame()
{
    const kivStreamFormat format{4, 4, KIV_DEPTH_32, 1};
    recording::pushFrame(format, patternBytes(64, 1), 64);
    RunningDecoder running;
    QTRY_COMPARE_WITH_TIMEOUT(running.announced.load(), 1, 5000);

    const QImage held = running.decoder->frameImage();
    const QImage firstCopy = held.copy();
    for (int i = 2; i <= 20; ++i)
        recording::pushFrame(format, patternBytes(64, i), 64);
    QTRY_COMPARE_WITH_TIMEOUT(running.announced.load(), 20, 5000);

    QCOMPARE(held, firstCopy);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(running.decoder->frameImage().constBits()), 64),
             patternBytes(64, 20));
}

QTEST_GUILESS_MAIN(DecoderTest)
#include "tst_decoder.moc"
