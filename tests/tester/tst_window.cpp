// The tester window against the recording library and a clock that stands
// still until the test moves it.
#include "mainwindow.h"
#include "recording_streamlib.h"
#include "wallclock.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkInterface>
#include <QPainter>
#include <QPushButton>
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

} // namespace

qint64 testerCurrentMSecs() { return clockNow.load(); }

namespace {

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
        QColor color;
        color.setRgb(int(r[4] * 255 / 32767), int(r[5] * 255 / 32767), int(r[6] * 255 / 32767), 255);
        painter.setPen(QPen(QBrush(color, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.drawLines(&line, 1);
    }
    return image;
}

template <typename T>
T *find(QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

QString text(QWidget *window, const char *label) { return find<QLabel>(window, label)->text(); }

QStringList labelTexts(QWidget *window)
{
    QStringList texts;
    for (const char *name : {"mFPS", "mCompressedSize", "mReceiveTransferBytesPerFrame", "mReceiveImageBytesPerFrame",
                             "mReceiveBytesPerSecond", "mWidth", "mHeight", "mDepth"})
        texts << text(window, name);
    return texts;
}

// Settings that sending disables.
const char *const kSendSettings[] = {"mSendAddress", "mSendChannel", "mSendDepth", "mSendHeight",
                                     "mSendProtocol", "mSendWidth", "mSendCompressionType",
                                     "mSendCompressionLevel"};

QStringList enabledSendSettings(QWidget *window)
{
    QStringList enabled;
    for (const char *name : kSendSettings) {
        if (find<QWidget>(window, name)->isEnabled())
            enabled << QString::fromLatin1(name);
    }
    return enabled;
}

QStringList callsSince(qsizetype first) { return recording::calls().mid(first); }

} // namespace

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
    void feed(kivStreamFormat format, const QList<uint32_t> &transferSizes)
    {
        for (uint32_t size : transferSizes) {
            const int before = recording::count("kivGetCompressedFrameSize");
            recording::pushFrame(format, QByteArray(qsizetype(kivGetByteSize(&format)), '\x5a'), size);
            QVERIFY(QTest::qWaitFor([&] { return recording::count("kivGetCompressedFrameSize") == before + 1; }, 5000));
        }
    }
    // Runs one statistics check at the given time; true when it refreshed the panel.
    bool refreshAt(qint64 now)
    {
        clockNow = now;
        find<QLabel>(window.get(), "mFPS")->setText(QStringLiteral("-"));
        QMetaObject::invokeMethod(window.get(), "updateWindow", Qt::DirectConnection);
        return text(window.get(), "mFPS") != QLatin1String("-");
    }

private slots:
    void init() { recording::reset(); }
    void cleanup() { window.reset(); }

    void sendStartsEncoder_data()
    {
        QTest::addColumn<int>("protocol"); // -1: the form as it opens
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("level");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("defaults") << -1 << "" << 0 << 0 << 0 << 0
            << QStringList{"kivGetEncoder(3,{320,240,1,1})", "kivSetDestAddress(E1,127.0.0.1,10588)",
                           "kivSetDestFormat(E1,{320,240,1,1},0,0)"};
        QTest::newRow("remote by name, JPEG at 100") << 1 << "receiver.local" << 5 << 2 << 1 << 100
            << QStringList{"kivGetEncoder(2,{320,240,2,1})", "kivSetDestAddress(E1,receiver.local,10593)",
                           "kivSetDestFormat(E1,{320,240,2,1},1,100)"};
        QTest::newRow("multicast, no compression keeps the level") << 0 << "239.255.10.88" << 99 << 0 << 0 << 40
            << QStringList{"kivGetEncoder(1,{320,240,0,1})", "kivSetDestAddress(E1,239.255.10.88,10687)",
                           "kivSetDestFormat(E1,{320,240,0,1},0,40)"};
    }

    void sendStartsEncoder()
    {
        QFETCH(int, protocol);
        QFETCH(QString, address);
        QFETCH(int, channel);
        QFETCH(int, depth);
        QFETCH(int, compression);
        QFETCH(int, level);
        QFETCH(QStringList, expected);

        QWidget *w = makeWindow();
        if (protocol >= 0) {
            find<QComboBox>(w, "mSendProtocol")->setCurrentIndex(protocol);
            find<QLineEdit>(w, "mSendAddress")->setText(address);
            find<QSpinBox>(w, "mSendChannel")->setValue(channel);
            find<QComboBox>(w, "mSendDepth")->setCurrentIndex(depth);
            find<QComboBox>(w, "mSendCompressionType")->setCurrentIndex(compression);
            find<QSlider>(w, "mSendCompressionLevel")->setValue(level);
        }
        const qsizetype first = recording::calls().size();
        clickSend();
        QCOMPARE(callsSince(first), expected);
        QCOMPARE(enabledSendSettings(w), QStringList());
        for (const char *name : {"mSendFPS", "mSendUpdate", "mSendButton"})
            QVERIFY2(find<QWidget>(w, name)->isEnabled(), name);
        QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
        QCOMPARE(find<QLabel>(w, "mSendDisplay")->pixmap().size(), QSize(320, 240));
    }

    void encoderDeletedOnceOnStopAndClose()
    {
        QWidget *w = makeWindow();
        find<QComboBox>(w, "mSendProtocol")->setCurrentIndex(1);
        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
        qsizetype first = recording::calls().size();
        clickSend();
        QCOMPARE(callsSince(first), QStringList({"kivDeleteEncoder(E1)"}));
        // Remote (TCP) keeps the address editable after the stop.
        QCOMPARE(enabledSendSettings(w).size(), std::size(kSendSettings));

        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().last().encoder == QLatin1String("E2"), 5000);
        first = recording::calls().size();
        window.reset();
        QCOMPARE(callsSince(first), QStringList({"kivDeleteDecoder(D1)", "kivDeleteEncoder(E2)"}));
    }

    void failedEncoderLeavesButtonPressed()
    {
        QWidget *w = makeWindow();
        auto *button = find<QPushButton>(w, "mSendButton");
        recording::setEncoderAvailable(false);
        const qsizetype first = recording::calls().size();
        button->click();
        QVERIFY(button->isChecked());
        QCOMPARE(enabledSendSettings(w).size(), std::size(kSendSettings) - 1); // the address, by protocol
        button->click();
        QVERIFY(!button->isChecked());
        QVERIFY(!find<QLineEdit>(w, "mSendAddress")->isEnabled());
        QCOMPARE(recording::count("kivEncode"), 0);

        // Closing after a stop deletes nothing more.
        recording::setEncoderAvailable(true);
        button->click();
        button->click();
        window.reset();
        QCOMPARE(callsSince(first),
                 QStringList({"kivGetEncoder(3,{320,240,1,1})", "kivGetEncoder(3,{320,240,1,1})",
                              "kivSetDestAddress(E1,127.0.0.1,10588)", "kivSetDestFormat(E1,{320,240,1,1},0,0)",
                              "kivDeleteEncoder(E1)", "kivDeleteDecoder(D1)"}));
    }

    void framesCarryPaddedRows_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("pitch");
        QTest::addColumn<int>("format");
        QTest::newRow("16-bit, 321 wide: 642 + 2") << 0 << 321 << 5 << 644 << int(QImage::Format_RGB16);
        QTest::newRow("24-bit, 321 wide: 963 + 1") << 1 << 321 << 4 << 964 << int(QImage::Format_RGB888);
        QTest::newRow("24-bit, 322 wide: 966 + 2") << 1 << 322 << 3 << 968 << int(QImage::Format_RGB888);
    }

    void framesCarryPaddedRows()
    {
        QFETCH(int, depth);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, pitch);
        QFETCH(int, format);
        QWidget *w = makeWindow();
        find<QComboBox>(w, "mSendDepth")->setCurrentIndex(depth);
        find<QSpinBox>(w, "mSendWidth")->setValue(width);
        find<QSpinBox>(w, "mSendHeight")->setValue(height);
        find<QSpinBox>(w, "mSendFPS")->setValue(100);
        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= 2, 5000);
        clickSend();

        const QList<recording::EncodedFrame> frames = recording::encodedFrames();
        for (const recording::EncodedFrame &frame : frames) {
            QCOMPARE(frame.bytes.size(), qsizetype(pitch) * height);
            const QImage sent(reinterpret_cast<const uchar *>(frame.bytes.constData()), width, height, pitch,
                              QImage::Format(format));
            QCOMPARE(sent, expectedPicture(width, height, QImage::Format(format), frames.first().serial, frame.serial));
        }
    }

    void restartBeginsGreyAndLinesGoOn()
    {
        QWidget *w = makeWindow();
        find<QSpinBox>(w, "mSendFPS")->setValue(100);
        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= 3, 5000);
        clickSend();
        const qint64 lastOfFirstRun = recording::encodedFrames().last().serial;

        find<QSpinBox>(w, "mSendWidth")->setValue(64);
        find<QSpinBox>(w, "mSendHeight")->setValue(48);
        find<QComboBox>(w, "mSendDepth")->setCurrentIndex(2);
        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().last().encoder == QLatin1String("E2"), 5000);
        clickSend();

        const QList<recording::EncodedFrame> frames = recording::encodedFrames();
        const auto second = std::find_if(frames.begin(), frames.end(),
                                         [](const auto &f) { return f.encoder == QLatin1String("E2"); });
        QCOMPARE(second->serial, lastOfFirstRun + 1);
        QCOMPARE(second->bytes.size(), 64 * 48 * 4);
        const QImage sent(reinterpret_cast<const uchar *>(second->bytes.constData()), 64, 48, QImage::Format_RGB32);
        QCOMPARE(sent, expectedPicture(64, 48, QImage::Format_RGB32, second->serial, second->serial));
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

        auto secondRun = [] {
            QList<qint64> times;
            for (const auto &frame : recording::encodedFrames()) {
                if (frame.encoder == QLatin1String("E2"))
                    times << frame.atMs;
            }
            return times;
        };
        QTRY_VERIFY_WITH_TIMEOUT(secondRun().size() >= 3, 10000);
        const QList<qint64> times = secondRun();
        for (qsizetype i = 1; i < times.size(); ++i)
            QVERIFY2(times[i] - times[i - 1] >= 990, qPrintable(QStringLiteral("%1 ms apart").arg(times[i] - times[i - 1])));
    }

    void receiverStartsOnceAndRestartsInOrder()
    {
        QWidget *w = makeWindow();
        // Selecting the form's initial entries ran no slot.
        QCOMPARE(recording::calls(), QStringList({"kivGetDecoder(3,1,1)", "kivSetSourceAddress(D1,10588)",
                                                  "kivSetAdaptiveBuffer(D1,1)"}));
        auto *channel = find<QSpinBox>(w, "mReceiveChannel");
        channel->setValue(3);
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

    void panelFigures_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QList<uint32_t>>("transfer");
        QTest::addColumn<QStringList>("panel"); // FPS, transfer/s, avg transfer, image/frame, image/s, w, h, depth

        QTest::newRow("average rounds down") << 20 << 5 << 1 << QList<uint32_t>{10, 11, 11}
            << QStringList{"3", "32", "10", "300", "900", "20", "5", "24-bit"};
        QTest::newRow("padded rows count") << 10 << 10 << 1 << QList<uint32_t>{320}
            << QStringList{"1", "320", "320", "320", "320", "10", "10", "24-bit"};
        QTest::newRow("16-bit, odd width") << 3 << 2 << 0 << QList<uint32_t>{16, 5}
            << QStringList{"2", "21", "10", "16", "32", "3", "2", "16-bit"};
        QTest::newRow("8-bit") << 5 << 1 << 3 << QList<uint32_t>{8, 8}
            << QStringList{"2", "16", "8", "8", "16", "5", "1", "8-bit"};
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

    void restartedReceiverKeepsCountsWithZeroFormat()
    {
        QWidget *w = makeWindow();
        feed(kivStreamFormat{20, 5, KIV_DEPTH_24, 1}, {300, 300});
        find<QSpinBox>(w, "mReceiveChannel")->setValue(1);
        // The new worker has copied nothing yet: its format starts all zeros.
        QVERIFY(refreshAt(kStart + 1000));
        QCOMPARE(labelTexts(w), QStringList({"2", "600", "300", "0", "600", "0", "0", "16-bit"}));
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
