// SPDX-License-Identifier: MIT
// The tester window against the real library: its own picture comes back on every transport, raw and JPEG.
#include "mainwindow.h"
#include "window_widgets.hpp"

#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>

class TransportsTest : public QObject
{
    Q_OBJECT

private slots:
    void ownPictureOnEveryTransport_data()
    {
        QTest::addColumn<int>("protocolIndex");
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("jpeg");
        const char *const names[] = {"Multicast (UDP)", "Remote (TCP)", "Local (Memory)"}; // by index
        for (int row = 0; row < 6; ++row)
            QTest::addRow("%s%s", names[2 - row % 3], row < 3 ? "" : " JPEG") << 2 - row % 3 << 41 + row + (row ? 2 : 0) << row / 3;
    }

    // Both sides on one transport with the form's default address 127.0.0.1:
    // every frame at 15 per second counted once, with its own sizes.
    void ownPictureOnEveryTransport()
    {
        QFETCH(int, protocolIndex);
        QFETCH(int, channel);
        QFETCH(int, jpeg);
        MainWindow window;
        QWidget *w = &window;
        w->show();
        for (const char *side : {"mReceive", "mSend"}) {
            find<QComboBox>(w, (QByteArray(side) + "Protocol").constData())->setCurrentIndex(protocolIndex);
            find<QSpinBox>(w, (QByteArray(side) + "Channel").constData())->setValue(channel);
        }
        find<QComboBox>(w, "mSendCompressionType")->setCurrentIndex(jpeg);
        find<QPushButton>(w, "mSendButton")->click();
        auto fps = [w] { return find<QLabel>(w, "mFPS")->text().toLongLong(); };
        QTRY_VERIFY_WITH_TIMEOUT(fps() >= 10 && find<QLabel>(w, "mReceiveBytesPerSecond")->text().toLongLong() == fps() * 230400,
                                 8000);
        QVERIFY2(fps() <= 16, qPrintable(QString::number(fps())));
        const QStringList panel = labelTexts(w);
        QCOMPARE(panel.mid(5) << panel[3], QStringList({"320", "240", "24-bit", "230400"}));
        const qint64 transferPerFrame = find<QLabel>(w, "mReceiveTransferBytesPerFrame")->text().toLongLong();
        QVERIFY2(jpeg ? transferPerFrame > 0 && transferPerFrame < 230400 / 2 : transferPerFrame == 230400,
                 qPrintable(QString::number(transferPerFrame)));
        QCOMPARE(find<QLabel>(w, "mReceiveDisplay")->pixmap().size(), QSize(320, 240));
        QCOMPARE(window.statusBar()->currentMessage(), QString());
    }
};

QTEST_MAIN(TransportsTest)
#include "tst_transports.moc"
