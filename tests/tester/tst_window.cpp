// The tester window against the recording library and a clock that stands
// still until the test moves it.
#include "kivstreamdecoder.h"
#include "mainwindow.h"
#include "recording_streamlib.h"
#include "wallclock.h"

#include <QComboBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkInterface>
#include <QPainter>
#include <QPushButton>
#include <QScopeGuard>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>

namespace {

constexpr qint64 kStart = 1'700'000'000'000;
std::atomic<qint64> clockNow{kStart};

// What the sender's picture must look like: a grey ground and one line per
// frame, the lines taken from the process-wide draw sequence (a default-seeded
// minstd_rand brought into 0..32767, seven draws per line).
QImage expectedPicture(int width, int height, QImage::Format format, qint64 firstSerial, qint64 lastSerial)
{
    QImage image(width, height, format);
    image.fill(Qt::gray);
    std::minstd_rand generator;
    generator.discard(static_cast<unsigned long long>(7 * firstSerial));
    QPainter painter(&image);
    for (qint64 serial = firstSerial; serial <= lastSerial; ++serial) {
        qint64 r[7];
        for (qint64 &draw : r)
            draw = qint64(generator() % 32768);
        const QLine line(int(r[0] * width / 32767), int(r[1] * height / 32767), int(r[2] * width / 32767),
                         int(r[3] * height / 32767));
        const QColor color(int(r[4] * 255 / 32767), int(r[5] * 255 / 32767), int(r[6] * 255 / 32767));
        painter.setPen(QPen(QBrush(color, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.drawLines(&line, 1);
    }
    return image;
}

template <typename T>
T *find(QWidget *window, const char *name)
{
    if (T *widget = window->findChild<T *>(QString::fromLatin1(name)))
        return widget;
    qFatal("no widget %s", name);
}

QStringList labelTexts(QWidget *window)
{
    QStringList texts;
    for (const char *name : {"mFPS", "mCompressedSize", "mReceiveTransferBytesPerFrame", "mReceiveImageBytesPerFrame",
                             "mReceiveBytesPerSecond", "mWidth", "mHeight", "mDepth"})
        texts << find<QLabel>(window, name)->text();
    return texts;
}

// Settings that sending disables.
const char *const kSendSettings[] = {"mSendAddress", "mSendChannel", "mSendDepth", "mSendHeight", "mSendProtocol",
                                     "mSendWidth", "mSendCompressionType", "mSendCompressionLevel"};

int enabledSendSettings(QWidget *window)
{
    return int(std::count_if(std::begin(kSendSettings), std::end(kSendSettings),
                             [&](const char *name) { return find<QWidget>(window, name)->isEnabled(); }));
}

QStringList callsSince(qsizetype first) { return recording::calls().mid(first); }

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) & 0xff);
    return bytes;
}

} // namespace

// The window's statistics clock.
qint64 testerCurrentMSecs() { return clockNow.load(); }

class WindowTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;

    QWidget *makeWindow()
    {
        clockNow = kStart;
        window = std::make_unique<MainWindow>();
        return window.get();
    }
    void clickSend() { find<QPushButton>(window.get(), "mSendButton")->click(); }
    // One frame at a time: the window reads the transfer size of the frame the
    // worker holds when the notification is handled, which may be a later one.
    void feed(kivStreamFormat format, const QList<uint32_t> &transferSizes, QByteArray bytes = {})
    {
        if (bytes.isEmpty())
            bytes = QByteArray(qsizetype(kivGetByteSize(&format)), '\x5a');
        for (uint32_t size : transferSizes) {
            const int before = recording::count("kivGetCompressedFrameSize");
            recording::pushFrame(format, bytes, size);
            QVERIFY(QTest::qWaitFor([&] { return recording::count("kivGetCompressedFrameSize") == before + 1; }, 5000));
        }
    }
    // Runs one statistics check at the given time; true when it refreshed the panel.
    bool refreshAt(qint64 now)
    {
        clockNow = now;
        find<QLabel>(window.get(), "mFPS")->setText(QStringLiteral("-"));
        QMetaObject::invokeMethod(window.get(), "updateWindow", Qt::DirectConnection);
        return find<QLabel>(window.get(), "mFPS")->text() != QLatin1String("-");
    }

private slots:
    void init() { recording::reset(); }
    void cleanup() { window.reset(); }

    void sendStartsEncoder_data()
    {
        QTest::addColumn<QString>("address"); // empty: the form as it opens
        QTest::addColumn<QList<int>>("settings"); // protocol, channel, depth, compression, level
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("defaults") << QString() << QList<int>{}
            << QStringList{"kivGetEncoder(3,{320,240,1,1})", "kivSetDestAddress(E1,127.0.0.1,10588)",
                           "kivSetDestFormat(E1,{320,240,1,1},0,0)"};
        QTest::newRow("remote by name, JPEG at 100") << "receiver.local" << QList<int>{1, 5, 2, 1, 100}
            << QStringList{"kivGetEncoder(2,{320,240,2,1})", "kivSetDestAddress(E1,receiver.local,10593)",
                           "kivSetDestFormat(E1,{320,240,2,1},1,100)"};
        QTest::newRow("multicast, no compression keeps the level") << "239.255.10.88" << QList<int>{0, 99, 0, 0, 40}
            << QStringList{"kivGetEncoder(1,{320,240,0,1})", "kivSetDestAddress(E1,239.255.10.88,10687)",
                           "kivSetDestFormat(E1,{320,240,0,1},0,40)"};
    }

    void sendStartsEncoder()
    {
        QFETCH(QString, address);
        QFETCH(QList<int>, settings);
        QFETCH(QStringList, expected);
        QWidget *w = makeWindow();
        if (!address.isEmpty()) {
            find<QComboBox>(w, "mSendProtocol")->setCurrentIndex(settings[0]);
            find<QLineEdit>(w, "mSendAddress")->setText(address);
            find<QSpinBox>(w, "mSendChannel")->setValue(settings[1]);
            find<QComboBox>(w, "mSendDepth")->setCurrentIndex(settings[2]);
            find<QComboBox>(w, "mSendCompressionType")->setCurrentIndex(settings[3]);
            find<QSlider>(w, "mSendCompressionLevel")->setValue(settings[4]);
        }
        const qsizetype first = recording::calls().size();
        clickSend();
        QCOMPARE(callsSince(first), expected);
        QCOMPARE(enabledSendSettings(w), 0);
        for (const char *name : {"mSendFPS", "mSendUpdate", "mSendButton"})
            QVERIFY2(find<QWidget>(w, name)->isEnabled(), name);
        QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
        QCOMPARE(find<QLabel>(w, "mSendDisplay")->pixmap().size(), QSize(320, 240));
        // Closing after a stop deletes nothing more.
        clickSend();
        window.reset();
        QCOMPARE(callsSince(first + 3), QStringList({"kivDeleteEncoder(E1)", "kivDeleteDecoder(D1)"}));
    }

    void encoderLifetime()
    {
        QWidget *w = makeWindow();
        auto *button = find<QPushButton>(w, "mSendButton");
        recording::setEncoderAvailable(false);
        qsizetype first = recording::calls().size();
        button->click();
        QVERIFY(button->isChecked());
        QCOMPARE(enabledSendSettings(w), int(std::size(kSendSettings)) - 1); // the address, by protocol
        button->click();
        QVERIFY(!button->isChecked());
        QCOMPARE(callsSince(first), QStringList({"kivGetEncoder(3,{320,240,1,1})"}));
        QCOMPARE(recording::count("kivEncode"), 0);

        recording::setEncoderAvailable(true);
        find<QComboBox>(w, "mSendProtocol")->setCurrentIndex(1);
        button->click();
        QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
        first = recording::calls().size();
        button->click();
        QCOMPARE(callsSince(first), QStringList({"kivDeleteEncoder(E1)"}));
        // Remote (TCP) keeps the address editable after the stop.
        QCOMPARE(enabledSendSettings(w), int(std::size(kSendSettings)));

        button->click();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().last().encoder == QLatin1String("E2"), 5000);
        first = recording::calls().size();
        window.reset();
        QCOMPARE(callsSince(first), QStringList({"kivDeleteDecoder(D1)", "kivDeleteEncoder(E2)"}));
    }

    // The first run's format, then a second run at 64 x 48, 32-bit.
    void sentPictures_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("pitch");
        QTest::addColumn<int>("format");
        QTest::newRow("16-bit, 321 wide: 642 + 2") << 0 << 321 << 644 << int(QImage::Format_RGB16);
        QTest::newRow("24-bit, 321 wide: 963 + 1") << 1 << 321 << 964 << int(QImage::Format_RGB888);
        QTest::newRow("24-bit, 322 wide: 966 + 2") << 1 << 322 << 968 << int(QImage::Format_RGB888);
    }

    // Rows reach kivEncode padded; each run starts on a grey picture and its
    // lines go on with the draw sequence where the run before left it.
    void sentPictures()
    {
        QFETCH(int, depth);
        QFETCH(int, width);
        QFETCH(int, pitch);
        QFETCH(int, format);
        QWidget *w = makeWindow();
        const struct { int depth, width, height, pitch; QImage::Format format; } runs[] = {
            {depth, width, 5, pitch, QImage::Format(format)}, {2, 64, 48, 256, QImage::Format_RGB32}};
        find<QSpinBox>(w, "mSendFPS")->setValue(100);
        for (const auto &run : runs) {
            find<QComboBox>(w, "mSendDepth")->setCurrentIndex(run.depth);
            find<QSpinBox>(w, "mSendWidth")->setValue(run.width);
            find<QSpinBox>(w, "mSendHeight")->setValue(run.height);
            const qsizetype before = recording::encodedFrames().size();
            clickSend();
            QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= before + 2, 5000);
            clickSend();
        }
        const QList<recording::EncodedFrame> frames = recording::encodedFrames();
        qint64 runStart = 0;
        for (qsizetype i = 0; i < frames.size(); ++i) {
            const recording::EncodedFrame &frame = frames[i];
            const auto &run = runs[frame.encoder == QLatin1String("E1") ? 0 : 1];
            if (i == 0 || frame.encoder != frames[i - 1].encoder)
                runStart = frame.serial;
            if (i > 0)
                QCOMPARE(frame.serial, frames[i - 1].serial + 1);
            QCOMPARE(frame.bytes.size(), qsizetype(run.pitch) * run.height);
            const QImage sent(reinterpret_cast<const uchar *>(frame.bytes.constData()), run.width, run.height,
                              run.pitch, run.format);
            QCOMPARE(sent, expectedPicture(run.width, run.height, run.format, runStart, frame.serial));
        }
    }

    void oneFrameChainPerRun()
    {
        // At 1 frame per second the first run's pending timer would fire in the
        // middle of the second run's pauses if it still fed the encoder.
        QWidget *w = makeWindow();
        find<QSpinBox>(w, "mSendFPS")->setValue(1);
        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
        clickSend();
        clickSend();

        const qsizetype firstRun = recording::encodedFrames().size();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= firstRun + 3, 10000);
        const QList<recording::EncodedFrame> frames = recording::encodedFrames().mid(firstRun);
        for (qsizetype i = 1; i < frames.size(); ++i) {
            const qint64 gap = frames[i].atMs - frames[i - 1].atMs;
            QVERIFY2(gap >= 990, qPrintable(QStringLiteral("frames %1 ms apart").arg(gap)));
        }
    }

    void receiverRestarts()
    {
        QWidget *w = makeWindow();
        // Selecting the form's initial entries ran no slot.
        QCOMPARE(recording::calls(), QStringList({"kivGetDecoder(3,1,1)", "kivSetSourceAddress(D1,10588)",
                                                  "kivSetAdaptiveBuffer(D1,1)"}));
        // Counts go on over a restart; the new worker has copied nothing yet, so
        // its format starts all zeros.
        feed(kivStreamFormat{20, 5, KIV_DEPTH_24, 1}, {300, 300});
        auto *channel = find<QSpinBox>(w, "mReceiveChannel");
        channel->setValue(3);
        QVERIFY(refreshAt(kStart + 1000));
        QCOMPARE(labelTexts(w), QStringList({"2", "600", "300", "0", "600", "0", "0", "16-bit"}));
        const qsizetype first = recording::calls().size();
        channel->stepUp();
        channel->stepUp();
        find<QComboBox>(w, "mReceiveProtocol")->setCurrentIndex(0);
        QCOMPARE(callsSince(first),
                 QStringList({"kivDeleteDecoder(D2)", "kivGetDecoder(3,1,1)", "kivSetSourceAddress(D3,10592)",
                              "kivSetAdaptiveBuffer(D3,1)", "kivDeleteDecoder(D3)", "kivGetDecoder(3,1,1)",
                              "kivSetSourceAddress(D4,10593)", "kivSetAdaptiveBuffer(D4,1)", "kivDeleteDecoder(D4)",
                              "kivGetDecoder(1,1,1)", "kivSetSourceAddress(D5,10593)", "kivSetAdaptiveBuffer(D5,1)"}));
        // The replaced workers' threads have all ended; only the current one runs.
        const QList<QThread *> threads = w->findChildren<QThread *>();
        QCOMPARE(std::count_if(threads.begin(), threads.end(), [](QThread *t) { return t->isRunning(); }), 1);
    }

    void receivedPicture_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("depth");
        QTest::addColumn<bool>("unpaddedSize"); // the library reports rows without padding
        QTest::addColumn<int>("format");        // QImage::Format, Format_Invalid for no picture
        QTest::newRow("16-bit odd width, 2 pad bytes") << 5 << 0 << false << int(QImage::Format_RGB16);
        QTest::newRow("24-bit, 3 pad bytes") << 3 << 1 << false << int(QImage::Format_RGB888);
        QTest::newRow("8-bit has no picture") << 6 << 3 << false << int(QImage::Format_Invalid);
        // 12-byte rows need 36 bytes; reading them from 27 would run past the copy.
        QTest::newRow("byte size too small") << 3 << 1 << true << int(QImage::Format_Invalid);
    }

    // Each frame follows a larger one, whose bytes must not linger in the copy.
    void receivedPicture()
    {
        QFETCH(int, width);
        QFETCH(int, depth);
        QFETCH(bool, unpaddedSize);
        QFETCH(int, format);
        constexpr int kBytesPerPixel[] = {2, 3, 4, 1};
        const int height = 3;
        const qsizetype pitch = (width * kBytesPerPixel[depth] + 3) / 4 * 4;
        const QByteArray bytes = pattern(pitch * height, depth);
        auto *display = find<QLabel>(makeWindow(), "mReceiveDisplay");
        feed(kivStreamFormat{16, 16, KIV_DEPTH_32, 1}, {1024});
        recording::setUnpaddedByteSize(unpaddedSize);
        feed(kivStreamFormat{uint16_t(width), uint16_t(height), uint16_t(depth), 1}, {77}, bytes);
        if (format == QImage::Format_Invalid)
            QVERIFY(display->pixmap().isNull());
        else
            QCOMPARE(display->pixmap().toImage().convertToFormat(QImage::Format(format)),
                     QImage(reinterpret_cast<const uchar *>(bytes.constData()), width, height, pitch,
                            QImage::Format(format)));
    }

    // A picture handed out keeps its frame while the worker copies later ones.
    void heldPictureSurvivesNextFrames()
    {
        const kivStreamFormat request{100, 30, KIV_DEPTH_24, 1}, format{4, 4, KIV_DEPTH_32, 1};
        kivStreamDecoder decoder(KIV_PROTOCOL_MEMORY, &request, 0);
        std::unique_ptr<QThread> worker(QThread::create([&] { decoder.decoderThread(); }));
        const auto stop = qScopeGuard([&] { decoder.endDecoder(); worker->wait(); });
        const QByteArray first = pattern(64, 1);
        recording::pushFrame(format, first, 64);
        worker->start();
        QTRY_COMPARE_WITH_TIMEOUT(recording::count("kivUnlockReadBuffer"), 1, 5000);
        const QImage held = decoder.frameImage();
        for (int i = 2; i <= 20; ++i)
            recording::pushFrame(format, pattern(64, i), 64);
        QTRY_COMPARE_WITH_TIMEOUT(recording::count("kivUnlockReadBuffer"), 20, 5000);
        QCOMPARE(held, QImage(reinterpret_cast<const uchar *>(first.constData()), 4, 4, QImage::Format_RGB32));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(decoder.frameImage().constBits()), 64), pattern(64, 20));
    }

    void panelFigures_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QList<uint32_t>>("transfer");
        QTest::addColumn<QStringList>("panel"); // FPS, transfer/s, avg transfer, image/frame, image/s, w, h, depth

        QTest::newRow("average rounds down") << 20 << 5 << 1 << QList<uint32_t>{10, 11, 11}
            << QStringList{"3", "32", "10", "300", "900", "20", "5", "24-bit"};
        QTest::newRow("16-bit, odd width") << 3 << 2 << 0 << QList<uint32_t>{16, 5}
            << QStringList{"2", "21", "10", "16", "32", "3", "2", "16-bit"};
        QTest::newRow("unknown depth keeps its text") << 7 << 9 << 9 << QList<uint32_t>{0}
            << QStringList{"1", "0", "0", "0", "0", "7", "9", "N/A"};
        QTest::newRow("largest frames") << 2048 << 2048 << 2
            << QList<uint32_t>{16777216, 16777216, 16777216, 16777216, 16777217, 16777217}
            << QStringList{"6", "100663298", "16777216", "16777216", "100663296", "2048", "2048", "32-bit"};
    }

    void panelFigures()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, depth);
        QFETCH(QList<uint32_t>, transfer);
        QFETCH(QStringList, panel);
        makeWindow();
        feed(kivStreamFormat{uint16_t(width), uint16_t(height), uint16_t(depth), 1}, transfer);
        QVERIFY(!refreshAt(kStart + 999));
        QVERIFY(refreshAt(kStart + 1000));
        QCOMPARE(labelTexts(window.get()), panel);
    }

    // Steps of {frames fed, check at ms after the start, panel refreshed, FPS shown}.
    void statisticsPeriods_data()
    {
        QTest::addColumn<QList<QList<qint64>>>("steps");
        QTest::newRow("a period with no frames keeps the figures") << QList<QList<qint64>>{{2, 1000, 1, 2}, {0, 2000, 1, 0}};
        // Held for 3.5 s: three refreshes in a row, the first with what was counted.
        QTest::newRow("catching up after a held GUI thread") << QList<QList<qint64>>{
            {0, 1000, 1, 0}, {2, 4500, 1, 2}, {0, 4500, 1, 0}, {0, 4500, 1, 0}, {0, 4500, 0}, {0, 4999, 0}, {0, 5000, 1, 0}};
        QTest::newRow("clock set back") << QList<QList<qint64>>{{0, 1000, 1, 0}, {0, -60'000, 0}, {3, 1999, 0}, {0, 2000, 1, 3}};
    }

    void statisticsPeriods()
    {
        QFETCH(QList<QList<qint64>>, steps);
        makeWindow();
        for (const QList<qint64> &step : steps) {
            feed(kivStreamFormat{4, 4, KIV_DEPTH_24, 1}, QList<uint32_t>(step[0], 48));
            const QStringList before = labelTexts(window.get());
            QCOMPARE(refreshAt(kStart + step[1]), step[2] != 0);
            if (!step[2])
                continue;
            const QStringList after = labelTexts(window.get());
            QCOMPARE(after[0], QString::number(step[3]));
            if (step[3] == 0)
                QCOMPARE(after.mid(1), before.mid(1));
        }
    }

    void addressList()
    {
        auto *list = find<QListWidget>(makeWindow(), "mAddresses");
        QStringList shown;
        for (int i = 0; i < list->count(); ++i)
            shown << list->item(i)->text();
        // In a namespace of its own the test knows the host's addresses.
        QStringList expected = QString::fromLatin1(qgetenv("KIV_EXPECT_ADDRESSES")).split(u',', Qt::SkipEmptyParts);
        if (expected.isEmpty()) {
            for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
                if (address.protocol() == QAbstractSocket::IPv4Protocol)
                    expected << address.toString();
            }
            std::sort(expected.begin(), expected.end());
        }
        QCOMPARE(shown, expected);
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
