// The tester window against the recording library and a clock that stands
// still until the test moves it.
#include "mainwindow.h"
#include "recording_streamlib.h"
#include "settable_clock.h"
#include "test_picture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

constexpr qint64 kStart = 1'700'000'000'000;

template <typename T>
T *find(QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

QString text(QWidget *window, const char *label)
{
    return find<QLabel>(window, label)->text();
}

QStringList labelTexts(QWidget *window)
{
    QStringList texts;
    for (const char *name : {"mFPS", "mCompressedSize", "mReceiveTransferBytesPerFrame", "mReceiveImageBytesPerFrame",
                             "mReceiveBytesPerSecond", "mWidth", "mHeight", "mDepth"})
        texts << text(window, name);
    return texts;
}

// Settings that sending disables, and the ones that stay editable.
const char *const kSendSettings[] = {"mSendAddress", "mSendChannel", "mSendDepth", "mSendHeight",
                                     "mSendProtocol", "mSendWidth", "mSendCompressionType",
                                     "mSendCompressionLevel"};
const char *const kAlwaysEditable[] = {"mSendFPS", "mSendUpdate", "mSendButton"};

QStringList enabledSendSettings(QWidget *window)
{
    QStringList enabled;
    for (const char *name : kSendSettings) {
        if (find<QWidget>(window, name)->isEnabled())
            enabled << QString::fromLatin1(name);
    }
    return enabled;
}

QStringList callsSince(qsizetype first)
{
    return recording::calls().mid(first);
}

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;

    void makeWindow()
    {
        settableClock::set(kStart);
        window = std::make_unique<MainWindow>();
    }
    // Waits until the window has handled `frames` more frame notifications.
    static bool handled(int before, int frames)
    {
        return QTest::qWaitFor([&] { return recording::count("kivGetCompressedFrameSize") == before + frames; }, 5000);
    }
    // One frame at a time: the window reads the transfer size of the frame the
    // worker holds when the notification is handled, which may be a later one.
    void feed(kivStreamFormat format, const QList<uint32_t> &transferSizes)
    {
        for (uint32_t size : transferSizes) {
            const int before = recording::count("kivGetCompressedFrameSize");
            recording::pushFrame(format, QByteArray(qsizetype(kivGetByteSize(&format)), '\x5a'), size);
            QVERIFY(handled(before, 1));
        }
    }
    // Runs one statistics check at the given time; true when it refreshed the panel.
    bool refreshAt(qint64 now)
    {
        settableClock::set(now);
        find<QLabel>(window.get(), "mFPS")->setText(QStringLiteral("-"));
        QMetaObject::invokeMethod(window.get(), "updateWindow", Qt::DirectConnection);
        return text(window.get(), "mFPS") != QLatin1String("-");
    }

private slots:
    void init() { recording::reset(); }
    void cleanup() { window.reset(); }

    void startsOnItsDefaults();
    void sendProtocolSwitchesAddressField();
    void sendStartsEncoder_data();
    void sendStartsEncoder();
    void stopReleasesEncoderAndSettings();
    void failedEncoderLeavesButtonPressed();
    void framesCarryPaddedRows_data();
    void framesCarryPaddedRows();
    void restartBeginsGreyAndLinesGoOn();
    void oneFrameChainPerRun();
    void receiverRestartsInOrder();
    void teardownWhileSending();
    void teardownWhileIdle();
    void receivedFramesShownAndCounted();
    void panelFigures_data();
    void panelFigures();
    void quietSecondWritesOnlyFps();
    void catchesUpAfterHeldGuiThread();
    void clockSetBack();
    void streamResetKeepsCountsAndReadsNewFormat();
    void addressList();
    void helpLinks();
    void aboutBoxKeepsStreaming();
};

void WindowTest::startsOnItsDefaults()
{
    makeWindow();
    QWidget *w = window.get();
    // Selecting the initial entries ran no slot: one receiver, started once.
    QCOMPARE(recording::calls(),
             QStringList({"kivGetDecoder(3,1,1)", "kivSetSourceAddress(D1,10588)", "kivSetAdaptiveBuffer(D1,1)"}));
    QCOMPARE(w->windowTitle(), QStringLiteral("Video Streaming Tester"));
    QCOMPARE(find<QComboBox>(w, "mSendProtocol")->currentText(), QStringLiteral("Local (Memory)"));
    QCOMPARE(find<QComboBox>(w, "mReceiveProtocol")->currentText(), QStringLiteral("Local (Memory)"));
    QCOMPARE(find<QLineEdit>(w, "mSendAddress")->text(), QStringLiteral("127.0.0.1"));
    QVERIFY(!find<QLineEdit>(w, "mSendAddress")->isEnabled());
    QCOMPARE(find<QSpinBox>(w, "mSendChannel")->value(), 0);
    QCOMPARE(find<QSpinBox>(w, "mReceiveChannel")->value(), 0);
    QCOMPARE(find<QSpinBox>(w, "mSendWidth")->value(), 320);
    QCOMPARE(find<QSpinBox>(w, "mSendHeight")->value(), 240);
    QCOMPARE(find<QComboBox>(w, "mSendDepth")->currentText(), QStringLiteral("24-bit"));
    QCOMPARE(find<QSpinBox>(w, "mSendFPS")->value(), 15);
    QCOMPARE(find<QComboBox>(w, "mSendCompressionType")->currentText(), QStringLiteral("None"));
    QCOMPARE(find<QSlider>(w, "mSendCompressionLevel")->value(), 0);
    QVERIFY(find<QCheckBox>(w, "mSendUpdate")->isChecked());
    QVERIFY(find<QCheckBox>(w, "mReceiveUpdate")->isChecked());
    QVERIFY(!find<QPushButton>(w, "mSendButton")->isChecked());
    QCOMPARE(labelTexts(w), QStringList({"0", "0", "0", "0", "0", "0", "0", "N/A"}));
    QCOMPARE(w->findChild<QMenu *>("menu_Help")->title(), QStringLiteral("&Help"));
}

void WindowTest::sendProtocolSwitchesAddressField()
{
    makeWindow();
    auto *protocol = find<QComboBox>(window.get(), "mSendProtocol");
    auto *address = find<QLineEdit>(window.get(), "mSendAddress");
    const struct { int index; bool editable; } steps[] = {{0, true}, {2, false}, {1, true}, {2, false}};
    for (const auto &step : steps) {
        protocol->setCurrentIndex(step.index);
        QCOMPARE(address->isEnabled(), step.editable);
    }
}

void WindowTest::sendStartsEncoder_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("level");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("defaults") << 2 << "127.0.0.1" << 0 << 1 << 0 << 0
        << QStringList{"kivGetEncoder(3,{320,240,1,1})", "kivSetDestAddress(E1,127.0.0.1,10588)",
                       "kivSetDestFormat(E1,{320,240,1,1},0,0)"};
    QTest::newRow("channel 5") << 2 << "127.0.0.1" << 5 << 1 << 0 << 0
        << QStringList{"kivGetEncoder(3,{320,240,1,1})", "kivSetDestAddress(E1,127.0.0.1,10593)",
                       "kivSetDestFormat(E1,{320,240,1,1},0,0)"};
    QTest::newRow("JPEG at 100") << 2 << "127.0.0.1" << 0 << 2 << 1 << 100
        << QStringList{"kivGetEncoder(3,{320,240,2,1})", "kivSetDestAddress(E1,127.0.0.1,10588)",
                       "kivSetDestFormat(E1,{320,240,2,1},1,100)"};
    QTest::newRow("no compression keeps the level") << 2 << "127.0.0.1" << 0 << 0 << 0 << 40
        << QStringList{"kivGetEncoder(3,{320,240,0,1})", "kivSetDestAddress(E1,127.0.0.1,10588)",
                       "kivSetDestFormat(E1,{320,240,0,1},0,40)"};
    QTest::newRow("multicast to a group") << 0 << "239.255.10.88" << 99 << 1 << 0 << 0
        << QStringList{"kivGetEncoder(1,{320,240,1,1})", "kivSetDestAddress(E1,239.255.10.88,10687)",
                       "kivSetDestFormat(E1,{320,240,1,1},0,0)"};
    QTest::newRow("remote by name") << 1 << "receiver.local" << 3 << 1 << 1 << 7
        << QStringList{"kivGetEncoder(2,{320,240,1,1})", "kivSetDestAddress(E1,receiver.local,10591)",
                       "kivSetDestFormat(E1,{320,240,1,1},1,7)"};
}

void WindowTest::sendStartsEncoder()
{
    QFETCH(int, protocol);
    QFETCH(QString, address);
    QFETCH(int, channel);
    QFETCH(int, depth);
    QFETCH(int, compression);
    QFETCH(int, level);
    QFETCH(QStringList, expected);

    makeWindow();
    QWidget *w = window.get();
    find<QComboBox>(w, "mSendProtocol")->setCurrentIndex(protocol);
    find<QLineEdit>(w, "mSendAddress")->setText(address);
    find<QSpinBox>(w, "mSendChannel")->setValue(channel);
    find<QComboBox>(w, "mSendDepth")->setCurrentIndex(depth);
    find<QComboBox>(w, "mSendCompressionType")->setCurrentIndex(compression);
    find<QSlider>(w, "mSendCompressionLevel")->setValue(level);
    const qsizetype first = recording::calls().size();

    find<QPushButton>(w, "mSendButton")->click();
    QCOMPARE(callsSince(first), expected);
    QCOMPARE(enabledSendSettings(w), QStringList());
    for (const char *name : kAlwaysEditable)
        QVERIFY2(find<QWidget>(w, name)->isEnabled(), name);

    QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
    const recording::EncodedFrame frame = recording::encodedFrames().first();
    QCOMPARE(frame.encoder, QStringLiteral("E1"));
    QCOMPARE(frame.bytes.size(), qsizetype(kivGetByteSize(&frame.format)));
    // The preview shows the picture that was sent.
    const QPixmap preview = find<QLabel>(w, "mSendDisplay")->pixmap();
    QCOMPARE(preview.size(), QSize(320, 240));
}

void WindowTest::stopReleasesEncoderAndSettings()
{
    makeWindow();
    QWidget *w = window.get();
    auto *button = find<QPushButton>(w, "mSendButton");
    find<QComboBox>(w, "mSendProtocol")->setCurrentIndex(1);
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
    const qsizetype first = recording::calls().size();

    button->click();
    QCOMPARE(callsSince(first), QStringList({"kivDeleteEncoder(E1)"}));
    QCOMPARE(recording::liveEncoders(), 0);
    // Remote (TCP) keeps the address editable after the stop.
    QCOMPARE(enabledSendSettings(w).size(), std::size(kSendSettings));

    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().last().encoder == QLatin1String("E2"), 5000);
    find<QComboBox>(w, "mSendProtocol")->setEnabled(true);
    button->click();
    window.reset();
    QCOMPARE(recording::calls().filter("kivDeleteEncoder").size(), 2);
}

void WindowTest::failedEncoderLeavesButtonPressed()
{
    makeWindow();
    QWidget *w = window.get();
    auto *button = find<QPushButton>(w, "mSendButton");
    recording::setEncoderAvailable(false);
    const qsizetype first = recording::calls().size();

    button->click();
    QVERIFY(button->isChecked());
    QCOMPARE(callsSince(first), QStringList({"kivGetEncoder(3,{320,240,1,1})"}));
    QCOMPARE(enabledSendSettings(w).size(), std::size(kSendSettings) - 1); // the address, by protocol

    button->click();
    QVERIFY(!button->isChecked());
    QCOMPARE(callsSince(first).size(), 1);
    QVERIFY(!find<QLineEdit>(w, "mSendAddress")->isEnabled());
    QCOMPARE(recording::count("kivEncode"), 0);
}

void WindowTest::framesCarryPaddedRows_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("pitch");
    QTest::addColumn<int>("format");
    QTest::newRow("16-bit, 321 wide: 642 + 2") << 0 << 321 << 5 << 644 << int(QImage::Format_RGB16);
    QTest::newRow("24-bit, 321 wide: 963 + 1") << 1 << 321 << 4 << 964 << int(QImage::Format_RGB888);
    QTest::newRow("24-bit, 322 wide: 966 + 2") << 1 << 322 << 3 << 968 << int(QImage::Format_RGB888);
    QTest::newRow("24-bit, 1 x 1: 3 + 1") << 1 << 1 << 1 << 4 << int(QImage::Format_RGB888);
    QTest::newRow("32-bit, 321 wide: no padding") << 2 << 321 << 2 << 1284 << int(QImage::Format_RGB32);
}

void WindowTest::framesCarryPaddedRows()
{
    QFETCH(int, depth);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, pitch);
    QFETCH(int, format);
    makeWindow();
    QWidget *w = window.get();
    find<QComboBox>(w, "mSendDepth")->setCurrentIndex(depth);
    find<QSpinBox>(w, "mSendWidth")->setValue(width);
    find<QSpinBox>(w, "mSendHeight")->setValue(height);
    find<QSpinBox>(w, "mSendFPS")->setValue(100);
    find<QPushButton>(w, "mSendButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= 2, 5000);
    find<QPushButton>(w, "mSendButton")->click();

    const QList<recording::EncodedFrame> frames = recording::encodedFrames();
    const qint64 firstSerial = frames.first().serial;
    for (const recording::EncodedFrame &frame : frames) {
        QCOMPARE(frame.bytes.size(), qsizetype(pitch) * height);
        const QImage sent(reinterpret_cast<const uchar *>(frame.bytes.constData()), width, height, pitch,
                          QImage::Format(format));
        QCOMPARE(sent, expectedPicture(width, height, QImage::Format(format), firstSerial, frame.serial));
    }
}

void WindowTest::restartBeginsGreyAndLinesGoOn()
{
    makeWindow();
    QWidget *w = window.get();
    auto *button = find<QPushButton>(w, "mSendButton");
    find<QSpinBox>(w, "mSendFPS")->setValue(100);
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= 3, 5000);
    button->click();
    const qint64 lastOfFirstRun = recording::encodedFrames().last().serial;

    find<QSpinBox>(w, "mSendWidth")->setValue(64);
    find<QSpinBox>(w, "mSendHeight")->setValue(48);
    find<QComboBox>(w, "mSendDepth")->setCurrentIndex(2);
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().last().encoder == QLatin1String("E2"), 5000);
    button->click();

    const QList<recording::EncodedFrame> frames = recording::encodedFrames();
    const auto second = std::find_if(frames.begin(), frames.end(),
                                     [](const auto &f) { return f.encoder == QLatin1String("E2"); });
    QCOMPARE(second->serial, lastOfFirstRun + 1);
    QCOMPARE(second->bytes.size(), 64 * 48 * 4);
    const QImage sent(reinterpret_cast<const uchar *>(second->bytes.constData()), 64, 48, QImage::Format_RGB32);
    QCOMPARE(sent, expectedPicture(64, 48, QImage::Format_RGB32, second->serial, second->serial));
}

void WindowTest::oneFrameChainPerRun()
{
    // At 1 frame per second the first run's pending timer would fire in the
    // middle of the second run's pauses if it still fed the encoder.
    makeWindow();
    QWidget *w = window.get();
    auto *button = find<QPushButton>(w, "mSendButton");
    find<QSpinBox>(w, "mSendFPS")->setValue(1);
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
    button->click();
    button->click();

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
        QVERIFY2(times[i] - times[i - 1] >= 990, qPrintable(QStringLiteral("frames %1 ms apart").arg(times[i] - times[i - 1])));
}

void WindowTest::receiverRestartsInOrder()
{
    makeWindow();
    QWidget *w = window.get();
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
    QCOMPARE(recording::liveDecoders(), 1);
    // The replaced workers' threads have all ended; only the current one runs.
    const QList<QThread *> threads = w->findChildren<QThread *>();
    QCOMPARE(std::count_if(threads.begin(), threads.end(), [](QThread *t) { return t->isRunning(); }), 1);
}

void WindowTest::teardownWhileSending()
{
    makeWindow();
    find<QPushButton>(window.get(), "mSendButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= 2, 5000);
    window.reset();
    const QStringList calls = recording::calls();
    QCOMPARE(calls.mid(calls.size() - 2), QStringList({"kivDeleteDecoder(D1)", "kivDeleteEncoder(E1)"}));
    QCOMPARE(calls.filter("kivDeleteEncoder").size(), 1);
    QCOMPARE(recording::liveEncoders(), 0);
    QCOMPARE(recording::liveDecoders(), 0);
}

void WindowTest::teardownWhileIdle()
{
    makeWindow();
    recording::setEncoderAvailable(false);
    find<QPushButton>(window.get(), "mSendButton")->click(); // pressed but idle
    window.reset();
    QCOMPARE(recording::calls().filter("kivDeleteEncoder"), QStringList());
    QCOMPARE(recording::calls().last(), QStringLiteral("kivDeleteDecoder(D1)"));
}

void WindowTest::receivedFramesShownAndCounted()
{
    makeWindow();
    QWidget *w = window.get();
    auto *display = find<QLabel>(w, "mReceiveDisplay");
    auto *update = find<QCheckBox>(w, "mReceiveUpdate");

    const kivStreamFormat rgb{6, 4, KIV_DEPTH_32, 1};
    feed(rgb, {96});
    QCOMPARE(display->pixmap().size(), QSize(6, 4));
    QCOMPARE(display->pixmap().toImage().pixel(0, 0) & 0xffffff, 0x5a5a5au);

    update->setChecked(false);
    const qint64 shown = display->pixmap().cacheKey();
    feed(kivStreamFormat{2, 2, KIV_DEPTH_32, 1}, {16, 16});
    QCOMPARE(display->pixmap().cacheKey(), shown);

    update->setChecked(true);
    feed(kivStreamFormat{5, 3, KIV_DEPTH_8, 1}, {20});
    QVERIFY(display->pixmap().isNull()); // no picture for 8-bit frames
    QVERIFY(refreshAt(kStart + 1000));
    QCOMPARE(text(w, "mFPS"), QStringLiteral("4"));
    QCOMPARE(text(w, "mDepth"), QStringLiteral("8-bit"));
}

void WindowTest::panelFigures_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("depth");
    QTest::addColumn<QList<uint32_t>>("transfer");
    QTest::addColumn<QStringList>("panel"); // FPS, transfer/s, avg transfer, image/frame, image/s, w, h, depth

    QTest::newRow("three frames of 300 bytes") << 20 << 5 << 1 << QList<uint32_t>{100, 100, 100}
        << QStringList{"3", "300", "100", "300", "900", "20", "5", "24-bit"};
    QTest::newRow("average rounds down") << 20 << 5 << 1 << QList<uint32_t>{10, 11, 11}
        << QStringList{"3", "32", "10", "300", "900", "20", "5", "24-bit"};
    QTest::newRow("padded rows count") << 10 << 10 << 1 << QList<uint32_t>{320}
        << QStringList{"1", "320", "320", "320", "320", "10", "10", "24-bit"};
    QTest::newRow("16-bit, odd width") << 3 << 2 << 0 << QList<uint32_t>{16, 5}
        << QStringList{"2", "21", "10", "16", "32", "3", "2", "16-bit"};
    QTest::newRow("32-bit") << 2 << 1 << 2 << QList<uint32_t>{8}
        << QStringList{"1", "8", "8", "8", "8", "2", "1", "32-bit"};
    QTest::newRow("8-bit") << 5 << 1 << 3 << QList<uint32_t>{8, 8}
        << QStringList{"2", "16", "8", "8", "16", "5", "1", "8-bit"};
    QTest::newRow("unknown depth keeps its text") << 7 << 9 << 9 << QList<uint32_t>{0}
        << QStringList{"1", "0", "0", "0", "0", "7", "9", "N/A"};
    QTest::newRow("largest frames") << 2048 << 2048 << 2
        << QList<uint32_t>{16777216, 16777216, 16777216, 16777216, 16777217, 16777217}
        << QStringList{"6", "100663298", "16777216", "16777216", "100663296", "2048", "2048", "32-bit"};
}

void WindowTest::panelFigures()
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

void WindowTest::quietSecondWritesOnlyFps()
{
    makeWindow();
    feed(kivStreamFormat{10, 10, KIV_DEPTH_24, 1}, {50, 70});
    QVERIFY(refreshAt(kStart + 1000));
    const QStringList active = labelTexts(window.get());
    QCOMPARE(active.first(), QStringLiteral("2"));

    QVERIFY(refreshAt(kStart + 2000));
    QStringList quiet = active;
    quiet[0] = QStringLiteral("0");
    QCOMPARE(labelTexts(window.get()), quiet);
}

void WindowTest::catchesUpAfterHeldGuiThread()
{
    makeWindow();
    QVERIFY(refreshAt(kStart + 1000));
    feed(kivStreamFormat{4, 4, KIV_DEPTH_24, 1}, {48, 48});
    // Held for 3.5 s: three refreshes in a row, the first with what was counted.
    const qint64 now = kStart + 1000 + 3500;
    QVERIFY(refreshAt(now));
    QCOMPARE(text(window.get(), "mFPS"), QStringLiteral("2"));
    QVERIFY(refreshAt(now));
    QCOMPARE(text(window.get(), "mFPS"), QStringLiteral("0"));
    QVERIFY(refreshAt(now));
    QVERIFY(!refreshAt(now));
    QVERIFY(!refreshAt(kStart + 4999));
    QVERIFY(refreshAt(kStart + 5000));
}

void WindowTest::clockSetBack()
{
    makeWindow();
    QVERIFY(refreshAt(kStart + 1000));
    QVERIFY(!refreshAt(kStart - 60'000));
    feed(kivStreamFormat{4, 4, KIV_DEPTH_24, 1}, {48, 48, 48});
    QVERIFY(!refreshAt(kStart + 1999));
    QVERIFY(refreshAt(kStart + 2000));
    QCOMPARE(text(window.get(), "mFPS"), QStringLiteral("3"));
}

void WindowTest::streamResetKeepsCountsAndReadsNewFormat()
{
    makeWindow();
    QWidget *w = window.get();
    feed(kivStreamFormat{20, 5, KIV_DEPTH_24, 1}, {300, 300});
    find<QSpinBox>(w, "mReceiveChannel")->setValue(1);
    // The new worker has copied nothing yet: its format starts all zeros.
    QVERIFY(refreshAt(kStart + 1000));
    QCOMPARE(labelTexts(w), QStringList({"2", "600", "300", "0", "600", "0", "0", "16-bit"}));

    feed(kivStreamFormat{20, 5, KIV_DEPTH_32, 1}, {400});
    find<QSpinBox>(w, "mReceiveChannel")->setValue(2);
    feed(kivStreamFormat{20, 5, KIV_DEPTH_32, 1}, {400});
    QVERIFY(refreshAt(kStart + 2000));
    QCOMPARE(labelTexts(w), QStringList({"2", "800", "400", "400", "800", "20", "5", "32-bit"}));
}

void WindowTest::addressList()
{
    makeWindow();
    auto *list = find<QListWidget>(window.get(), "mAddresses");
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->item(i)->text();

    const QByteArray given = qgetenv("KIV_EXPECT_ADDRESSES");
    QStringList expected;
    if (!given.isEmpty()) {
        expected = QString::fromLatin1(given).split(QLatin1Char(','));
    } else {
        for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                expected << address.toString();
        }
        std::sort(expected.begin(), expected.end());
    }
    QCOMPARE(shown, expected);
    for (const QString &address : shown)
        QCOMPARE(QHostAddress(address).protocol(), QAbstractSocket::IPv4Protocol);
}

void WindowTest::helpLinks()
{
    makeWindow();
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    window->findChild<QAction *>("actionOnline_Help")->trigger();
    window->findChild<QAction *>("actionHalvorn_com")->trigger();
    window->findChild<QAction *>("actionHalvorn_com")->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    QCOMPARE(catcher.urls,
             QList<QUrl>({QUrl("http://halvorn.example/software/kivvidstreamtester/"
                               "?utm_source=kivVidStreamTester&utm_medium=online_help"),
                          QUrl("http://halvorn.example/?utm_source=kivVidStreamTester&utm_medium=website"),
                          QUrl("http://halvorn.example/?utm_source=kivVidStreamTester&utm_medium=website")}));
    QCOMPARE(window->findChild<QAction *>("actionHalvorn_com")->text(), QStringLiteral("halvorn.example"));
}

void WindowTest::aboutBoxKeepsStreaming()
{
    makeWindow();
    find<QSpinBox>(window.get(), "mSendFPS")->setValue(100);
    find<QPushButton>(window.get(), "mSendButton")->click();

    QString shownText;
    qint64 encodesWhenOpen = -1;
    qint64 encodesWhenClosed = -1;
    QTimer watcher;
    QElapsedTimer open;
    connect(&watcher, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (encodesWhenOpen < 0) {
            encodesWhenOpen = recording::count("kivEncode");
            shownText = box->text();
            open.start();
        } else if (recording::count("kivEncode") >= encodesWhenOpen + 3 || open.elapsed() > 5000) {
            encodesWhenClosed = recording::count("kivEncode");
            box->accept();
        }
    });
    watcher.start(10);
    window->findChild<QAction *>("actionAbout_kivVidStreamTester")->trigger();
    watcher.stop();

    const QStringList lines = shownText.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith(QLatin1String("kivVidStreamTester v1.0.1")));
    QVERIFY(lines[1].isEmpty());
    QVERIFY(encodesWhenClosed >= encodesWhenOpen + 3);
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
