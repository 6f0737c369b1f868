// The tester window against the real library: its own picture goes out through
// the encoder and comes back through its receiver on every transport, raw and
// JPEG, and frames another process sends over Local (Memory) reach it too.
// A transport the library lacks fails its rows.
#include "mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QThread>

#include <memory>
#include <poll.h>
#include <unistd.h>

namespace {

template <typename T = QLabel>
T *find(QWidget *window, const char *name)
{
    if (T *widget = window->findChild<T *>(QString::fromLatin1(name)))
        return widget;
    qFatal("no widget %s", name);
}

QStringList labels(QWidget *window, std::initializer_list<const char *> names)
{
    QStringList texts;
    for (const char *name : names)
        texts << find(window, name)->text();
    return texts;
}

// Another process on the same host: sends 64 x 48 32-bit frames on a channel
// until its stdin closes or it has sent for about ten seconds, then removes
// its channel by deleting the encoder.
int sendFrames(int channel)
{
    kivStreamFormat format{64, 48, KIV_DEPTH_32, 1};
    kivEncoder *encoder = kivGetEncoder(KIV_PROTOCOL_MEMORY, &format);
    if (!encoder || kivSetDestAddress(encoder, "127.0.0.1", 10588 + channel) != KIV_OK
        || kivSetDestFormat(encoder, &format, 0, 0) != KIV_OK)
        return 2;
    QImage picture(64, 48, QImage::Format_RGB32);
    pollfd stop{STDIN_FILENO, POLLIN, 0};
    for (int frame = 0; frame < 500 && ::poll(&stop, 1, 0) == 0; ++frame) {
        picture.fill(QColor::fromHsv(frame * 7 % 360, 255, 255));
        kivEncode(encoder, picture.constBits());
        QThread::msleep(20);
    }
    kivDeleteEncoder(encoder);
    return 0;
}

} // namespace

class TransportsTest : public QObject
{
    Q_OBJECT

private slots:
    // Frames another process sends over Local (Memory) reach the window.
    void framesFromAnotherProcess()
    {
        QProcess sender;
        sender.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--send-frames"), QStringLiteral("43")});
        QVERIFY(sender.waitForStarted(5000));
        auto window = std::make_unique<MainWindow>();
        QWidget *w = window.get();
        w->show();
        find<QSpinBox>(w, "mReceiveChannel")->setValue(43);
        QTRY_VERIFY_WITH_TIMEOUT(find(w, "mFPS")->text().toInt() > 0, 8000);
        QCOMPARE(labels(w, {"mWidth", "mHeight", "mDepth"}), QStringList({"64", "48", "32-bit"}));
        const QImage shown = find(w, "mReceiveDisplay")->pixmap().toImage();
        QCOMPARE(shown.size(), QSize(64, 48));
        QCOMPARE(QColor(shown.pixel(0, 0)).saturation(), 255);
        sender.closeWriteChannel();
        QVERIFY(sender.waitForFinished(5000));
        QCOMPARE(sender.exitCode(), 0);
    }

    void ownPictureOnEveryTransport_data()
    {
        QTest::addColumn<int>("protocolIndex");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("jpeg");
        QTest::newRow("Local (Memory)") << 2 << 41 << 0;
        QTest::newRow("Remote (TCP)") << 1 << 44 << 0;
        QTest::newRow("Multicast (UDP)") << 0 << 45 << 0;
        QTest::newRow("Local (Memory) JPEG") << 2 << 46 << 1;
        QTest::newRow("Remote (TCP) JPEG") << 1 << 47 << 1;
        QTest::newRow("Multicast (UDP) JPEG") << 0 << 48 << 1;
    }

    // Both sides on one transport with the form's default address 127.0.0.1:
    // every frame at 15 per second counted once, with its own sizes.
    void ownPictureOnEveryTransport()
    {
        QFETCH(int, protocolIndex);
        QFETCH(int, channel);
        QFETCH(int, jpeg);
        auto window = std::make_unique<MainWindow>();
        QWidget *w = window.get();
        w->show();
        find<QComboBox>(w, "mReceiveProtocol")->setCurrentIndex(protocolIndex);
        find<QComboBox>(w, "mSendProtocol")->setCurrentIndex(protocolIndex);
        find<QSpinBox>(w, "mReceiveChannel")->setValue(channel);
        find<QSpinBox>(w, "mSendChannel")->setValue(channel);
        find<QComboBox>(w, "mSendCompressionType")->setCurrentIndex(jpeg);
        find<QPushButton>(w, "mSendButton")->click();
        auto fps = [w] { return find(w, "mFPS")->text().toLongLong(); };
        QTRY_VERIFY_WITH_TIMEOUT(fps() >= 10 && find(w, "mReceiveBytesPerSecond")->text().toLongLong() == fps() * 230400,
                                 8000);
        QVERIFY2(fps() <= 16, qPrintable(QString::number(fps())));
        QCOMPARE(labels(w, {"mWidth", "mHeight", "mDepth", "mReceiveImageBytesPerFrame"}),
                 QStringList({"320", "240", "24-bit", "230400"}));
        const qint64 transferPerFrame = find(w, "mReceiveTransferBytesPerFrame")->text().toLongLong();
        if (jpeg)
            QVERIFY2(transferPerFrame > 0 && transferPerFrame < 230400 / 2, qPrintable(QString::number(transferPerFrame)));
        else
            QCOMPARE(transferPerFrame, 230400);
        QCOMPARE(find(w, "mReceiveDisplay")->pixmap().size(), QSize(320, 240));
        QCOMPARE(window->statusBar()->currentMessage(), QString());
    }
};

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--send-frames") == 0)
        return sendFrames(QByteArray(argv[2]).toInt());
    QApplication app(argc, argv);
    TransportsTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_transports.moc"
