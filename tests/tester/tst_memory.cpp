// The tester window against the real library over Local (Memory): its own
// picture goes out through the encoder and comes back through its receiver.
#include "mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QProcess>
#include <QThread>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <memory>

namespace {

template <typename T>
T *find(QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

bool memoryTransportAvailable(bool withJpeg)
{
    const kivStreamFormat format{320, 240, KIV_DEPTH_24, 1};
    kivEncoder *probe = kivGetEncoder(KIV_PROTOCOL_MEMORY, &format);
    if (!probe)
        return false;
    const bool usable = !withJpeg || kivSetDestFormat(probe, &format, 1, 0) == KIV_OK;
    kivDeleteEncoder(probe);
    return usable;
}

// Another process on the same host: sends 64 x 48 32-bit frames on a channel
// until it is stopped or has sent for about ten seconds.
int sendFrames(int channel)
{
    kivStreamFormat format{64, 48, KIV_DEPTH_32, 1};
    kivEncoder *encoder = kivGetEncoder(KIV_PROTOCOL_MEMORY, &format);
    if (!encoder || kivSetDestAddress(encoder, "127.0.0.1", 10588 + channel) != KIV_OK
        || kivSetDestFormat(encoder, &format, 0, 0) != KIV_OK)
        return 2;
    QImage picture(64, 48, QImage::Format_RGB32);
    for (int frame = 0; frame < 500; ++frame) {
        picture.fill(QColor::fromHsv(frame * 7 % 360, 255, 255));
        kivEncode(encoder, picture.constBits());
        QThread::msleep(20);
    }
    kivDeleteEncoder(encoder);
    return 0;
}

} // namespace

class MemoryTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!memoryTransportAvailable(false))
            QSKIP("kivGetEncoder(3, ...) gives no encoder: this build of kivVidStreamLib2 has no Local (Memory) transport");
    }

    void ownPictureArrivesAndIsCounted_data();
    void ownPictureArrivesAndIsCounted();
    void framesFromAnotherProcess();
};

void MemoryTest::ownPictureArrivesAndIsCounted_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("compression");
    QTest::newRow("raw") << 41 << 0;
    QTest::newRow("JPEG") << 42 << 1;
}

void MemoryTest::ownPictureArrivesAndIsCounted()
{
    QFETCH(int, channel);
    QFETCH(int, compression);
    if (compression && !memoryTransportAvailable(true))
        QSKIP("kivSetDestFormat refuses JPEG: this build of kivVidStreamLib2 has no JPEG codec");
    auto window = std::make_unique<MainWindow>();
    QWidget *w = window.get();
    w->show();
    find<QSpinBox>(w, "mReceiveChannel")->setValue(channel);
    find<QSpinBox>(w, "mSendChannel")->setValue(channel);
    find<QComboBox>(w, "mSendCompressionType")->setCurrentIndex(compression);
    find<QPushButton>(w, "mSendButton")->click();

    // Wait for a second in which every counted frame was one of ours: right
    // after the restart to our channel, notifications the channel-0 receiver
    // had posted are counted against the new one with its empty format.
    auto *fps = find<QLabel>(w, "mFPS");
    auto *imageBytes = find<QLabel>(w, "mReceiveBytesPerSecond");
    QTRY_VERIFY_WITH_TIMEOUT(fps->text().toInt() >= 10 && imageBytes->text().toLongLong() == fps->text().toLongLong() * 230400, 8000);
    QVERIFY2(fps->text().toInt() <= 16, qPrintable(fps->text()));
    QCOMPARE(find<QLabel>(w, "mWidth")->text(), QStringLiteral("320"));
    QCOMPARE(find<QLabel>(w, "mHeight")->text(), QStringLiteral("240"));
    QCOMPARE(find<QLabel>(w, "mDepth")->text(), QStringLiteral("24-bit"));
    QCOMPARE(find<QLabel>(w, "mReceiveImageBytesPerFrame")->text(), QStringLiteral("230400"));
    const int perFrame = find<QLabel>(w, "mReceiveTransferBytesPerFrame")->text().toInt();
    if (compression)
        QVERIFY2(perFrame > 0 && perFrame < 230400, qPrintable(QString::number(perFrame)));
    else
        QCOMPARE(perFrame, 230400);
    QCOMPARE(find<QLabel>(w, "mReceiveDisplay")->pixmap().size(), QSize(320, 240));

    // Closing while sending: the worker stops, both library handles go.
    window.reset();
}

void MemoryTest::framesFromAnotherProcess()
{
    const int channel = 43;
    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--send-frames"), QString::number(channel)});
    QVERIFY(sender.waitForStarted(5000));

    auto window = std::make_unique<MainWindow>();
    QWidget *w = window.get();
    w->show();
    find<QSpinBox>(w, "mReceiveChannel")->setValue(channel);
    QTRY_VERIFY_WITH_TIMEOUT(find<QLabel>(w, "mFPS")->text().toInt() > 0, 8000);
    QCOMPARE(find<QLabel>(w, "mWidth")->text(), QStringLiteral("64"));
    QCOMPARE(find<QLabel>(w, "mHeight")->text(), QStringLiteral("48"));
    QCOMPARE(find<QLabel>(w, "mDepth")->text(), QStringLiteral("32-bit"));
    const QImage shown = find<QLabel>(w, "mReceiveDisplay")->pixmap().toImage();
    QCOMPARE(shown.size(), QSize(64, 48));
    QCOMPARE(QColor(shown.pixel(0, 0)).saturation(), 255);
    window.reset();

    sender.kill();
    sender.waitForFinished(5000);
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--send-frames") == 0)
        return sendFrames(QByteArray(argv[2]).toInt());
    QApplication app(argc, argv);
    MemoryTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_memory.moc"
