// The receiving worker against the recording library: what it copies, and
// what picture it makes of a frame.
#include "kivstreamdecoder.h"
#include "recording_streamlib.h"

#include <QTest>
#include <QThread>

#include <atomic>

namespace {

// A worker on its own thread, stopped in the same order as the window stops it.
struct RunningDecoder {
    kivStreamDecoder *decoder;
    QThread thread;
    std::atomic<int> announced{0};

    RunningDecoder()
    {
        const kivStreamFormat request{100, 30, KIV_DEPTH_24, 1};
        decoder = new kivStreamDecoder(KIV_PROTOCOL_MEMORY, &request, 0);
        QObject::connect(&thread, &QThread::started, decoder, &kivStreamDecoder::decoderThread);
        decoder->moveToThread(&thread);
        QObject::connect(decoder, &kivStreamDecoder::frameReceived, decoder, [this] { ++announced; },
                         Qt::DirectConnection);
        thread.start();
    }
    ~RunningDecoder()
    {
        decoder->endDecoder();
        thread.quit();
        thread.wait();
        delete decoder;
    }
    bool waitFor(int frames) { return QTest::qWaitFor([&] { return announced.load() == frames; }, 5000); }
};

QByteArray pattern(qsizetype size, int seed)
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

    void framePicture_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("bytesPerPixel");
        QTest::addColumn<bool>("unpaddedSize"); // the library reports rows without padding
        QTest::addColumn<int>("format");        // QImage::Format, Format_Invalid for none

        QTest::newRow("16-bit odd width, 2 pad bytes") << 5 << 3 << 0 << 2 << false << int(QImage::Format_RGB16);
        QTest::newRow("24-bit, 3 pad bytes") << 3 << 4 << 1 << 3 << false << int(QImage::Format_RGB888);
        QTest::newRow("32-bit") << 3 << 3 << 2 << 4 << false << int(QImage::Format_RGB32);
        QTest::newRow("8-bit has no picture") << 6 << 2 << 3 << 1 << false << int(QImage::Format_Invalid);
        // 12-byte rows need 24 bytes; reading them from 18 would run past the copy.
        QTest::newRow("byte size too small") << 3 << 2 << 1 << 3 << true << int(QImage::Format_Invalid);
    }

    // Each frame follows a larger one, whose bytes must not linger in the copy.
    void framePicture()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, depth);
        QFETCH(int, bytesPerPixel);
        QFETCH(bool, unpaddedSize);
        QFETCH(int, format);

        const qint64 pitch = (qint64(width) * bytesPerPixel + 3) / 4 * 4;
        const QByteArray bytes = pattern(pitch * height, depth);
        const kivStreamFormat sent{uint16_t(width), uint16_t(height), uint16_t(depth), 1};
        recording::pushFrame(kivStreamFormat{16, 16, KIV_DEPTH_32, 1}, pattern(1024, 1), 1024);
        RunningDecoder running;
        QVERIFY(running.waitFor(1));
        recording::setUnpaddedByteSize(unpaddedSize);
        recording::pushFrame(sent, bytes, 77);
        QVERIFY(running.waitFor(2));

        const kivStreamFormat got = running.decoder->frameFormat();
        QCOMPARE(QList<int>({got.width, got.height, got.depth, got.orientation}), QList<int>({width, height, depth, 1}));
        QCOMPARE(kivGetCompressedFrameSize(running.decoder->decoderHandle()), 77u);
        QCOMPARE(recording::count("kivUnlockReadBuffer"), 2);

        const QImage picture = running.decoder->frameImage();
        QCOMPARE(picture.format(), QImage::Format(format));
        if (format == QImage::Format_Invalid)
            return;
        QCOMPARE(picture.size(), QSize(width, height));
        QCOMPARE(picture.bytesPerLine(), pitch);
        for (int y = 0; y < height; ++y) {
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(picture.constScanLine(y)), width * bytesPerPixel),
                     bytes.mid(y * pitch, width * bytesPerPixel));
        }
    }

    void heldPictureSurvivesNextFrames()
    {
        const kivStreamFormat format{4, 4, KIV_DEPTH_32, 1};
        recording::pushFrame(format, pattern(64, 1), 64);
        RunningDecoder running;
        QVERIFY(running.waitFor(1));

        const QImage held = running.decoder->frameImage();
        const QImage firstCopy = held.copy();
        for (int i = 2; i <= 20; ++i)
            recording::pushFrame(format, pattern(64, i), 64);
        QVERIFY(running.waitFor(20));
        QCOMPARE(held, firstCopy);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(running.decoder->frameImage().constBits()), 64),
                 pattern(64, 20));
    }

    void noDecoderStillRunsAndStops()
    {
        recording::setDecoderAvailable(false);
        {
            RunningDecoder running;
            QTRY_VERIFY_WITH_TIMEOUT(recording::count("kivLockReadBuffer") > 2, 5000);
        }
        QCOMPARE(recording::calls(), QStringList({"kivGetDecoder(3,1,1)"}));
    }
};

QTEST_GUILESS_MAIN(DecoderTest)
#include "tst_decoder.moc"
