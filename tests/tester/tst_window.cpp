// SPDX-License-Identifier: MIT
// The tester window against the recording library and a clock that stands still until the test moves it.
#include "historyview.h"
#include "kivstreamdecoder.h"
#include "kivtester_version.h"
#include "mainwindow.h"
#include "recording_streamlib.h"
#include "wallclock.h"
#include "window_widgets.hpp"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QMessageBox>
#include <QMetaProperty>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

constexpr qint64 kStart = 1'700'000'000'000;
std::atomic<qint64> clockNow{kStart};

// Sets the widgets' own values (a combo box's text, a spin box's value, ...) by name.
void setForm(QWidget *window, const QVariantMap &values)
{
    for (auto it = values.begin(); it != values.end(); ++it) {
        QWidget *widget = find(window, qPrintable(it.key()));
        QVERIFY2(widget->metaObject()->userProperty().write(widget, it.value()), qPrintable(it.key()));
    }
}

const QStringList kPanelAtStart{"0", "0", "0", "0", "0", "0", "0", "N/A"};

// Settings that sending disables.
const char *const kSendSettings[] = {"mSendAddress", "mSendChannel", "mSendDepth", "mSendHeight", "mSendProtocol",
                                     "mSendWidth", "mSendCompressionType", "mSendCompressionLevel"};

int enabledSendSettings(QWidget *window)
{
    return int(std::count_if(std::begin(kSendSettings), std::end(kSendSettings),
                             [&](const char *name) { return find(window, name)->isEnabled(); }));
}

// The calls were made, in whatever order the window makes them.
void expectCalls(const QStringList &expected)
{
    const QStringList calls = recording::calls();
    for (const QString &call : expected)
        QVERIFY2(calls.contains(call), qPrintable(call + QStringLiteral(" not among: ") + calls.join(u' ')));
}

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) & 0xff);
    return bytes;
}

// Hands the frames to the current receiver and has the window take in all of them.
void feed(kivStreamFormat format, const QList<uint32_t> &transferSizes, QByteArray bytes = {},
          const QList<kivFrameInfo> &stamps = {})
{
    if (bytes.isEmpty())
        bytes = QByteArray(qsizetype(kivGetByteSize(&format)), '\x5a');
    for (qsizetype i = 0; i < transferSizes.size(); ++i)
        recording::pushFrame(format, bytes, transferSizes[i], stamps.value(i));
    QVERIFY(QTest::qWaitFor([] { return recording::drained(); }, 5000));
    QCoreApplication::sendPostedEvents();
}

} // namespace

// The window's statistics clock.
qint64 testerCurrentMSecs() { return clockNow.load(); }
qint64 testerCurrentUSecs() { return clockNow.load() * 1000; }

class WindowTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    QList<QUrl> openedUrls;

    // Closing the window deletes every handle it made, and no call used one not alive.
    void closeWindow()
    {
        window.reset();
        QCOMPARE(recording::liveHandles(), 0);
        QCOMPARE(recording::strayCalls(), 0);
    }
    QWidget *makeWindow(const char *failing = nullptr)
    {
        closeWindow();
        recording::reset();
        if (failing)
            recording::fail(failing);
        clockNow = kStart;
        window = std::make_unique<MainWindow>();
        return window.get();
    }
    void clickSend() { find<QAbstractButton>(window.get(), "mSendButton")->click(); }
    QString status() const { return window->statusBar()->currentMessage(); }
    // Runs one statistics check at the given time; true when it refreshed the panel.
    bool refreshAt(qint64 now)
    {
        clockNow = now;
        find<QLabel>(window.get(), "mFPS")->setText(QStringLiteral("-"));
        QMetaObject::invokeMethod(window.get(), "updateWindow", Qt::DirectConnection);
        return find<QLabel>(window.get(), "mFPS")->text() != QLatin1String("-");
    }

public slots:
    void openUrl(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase() { QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl"); }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }
    void init() { recording::reset(); }
    void cleanup() { closeWindow(); }

    // Draw 32767 reaches the width or height (one past the last pixel) and 255.
    void testLineMapsDrawsToThePicture()
    {
        const std::tuple<std::array<int, 7>, QSize, QLine, QColor> cases[] = {
            {{0, 0, 0, 32767, 32767, 0, 16384}, {320, 240}, {0, 0, 0, 240}, {255, 0, 127}},
            {{16384, 16383, 32767, 1, 0, 32767, 1}, {320, 240}, {160, 119, 320, 0}, {0, 255, 0}},
            {{32767, 32766, 1, 32767, 128, 129, 32766}, {1, 1}, {1, 0, 0, 1}, {0, 1, 254}}};
        for (const auto &[draws, size, line, colour] : cases) {
            const kivtester::TestLine l = kivtester::testLine(draws, size);
            QCOMPARE(std::pair(l.line, l.colour), std::pair(line, colour));
        }
    }

    // Nothing outside a range can be entered; Local (Memory) takes no address.
    void formRanges()
    {
        QWidget *w = makeWindow();
        const std::tuple<const char *, int, int> ranges[] = {{"mSendWidth", 1, 2048}, {"mSendHeight", 1, 2048}, {"mSendFPS", 1, 100},
            {"mSendCompressionLevel", 0, 100}, {"mSendChannel", 0, 99}, {"mReceiveChannel", 0, 99}};
        for (const auto &[name, min, max] : ranges) {
            for (int tried : {min - 1, max + 1, min, max}) {
                setForm(w, {{name, tried}});
                QCOMPARE(find(w, name)->property("value").toInt(), std::clamp(tried, min, max));
            }
        }
        for (const char *protocol : {"Local (Memory)", "Multicast (UDP)", "Local (Memory)", "Remote (TCP)"}) {
            setForm(w, {{"mSendProtocol", protocol}});
            QCOMPARE(find(w, "mSendAddress")->isEnabled(), protocol[0] != 'L'); // Local (Memory) needs no address
        }
    }

    void helpMenu()
    {
        makeWindow();
        QString about;
        QTimer::singleShot(0, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            about = box && box->windowModality() == Qt::ApplicationModal ? box->text() : QStringLiteral("not modal");
            if (box)
                box->accept();
        });
        window->findChild<QAction *>(QStringLiteral("actionAbout_kivVidStreamTester"))->trigger();
        QCOMPARE(about.count(u'\n'), 2);
        QVERIFY2(about.startsWith(QStringLiteral("kivVidStreamTester v" KIV_TESTER_VERSION ", ")), qPrintable(about));
        for (const char *action : {"actionOnline_Help", "actionHalvorn_com"})
            window->findChild<QAction *>(QString::fromLatin1(action))->trigger();
        QCOMPARE(openedUrls, QList<QUrl>({
            QUrl("http://halvorn.example/software/kivvidstreamtester/?utm_source=kivVidStreamTester&utm_medium=online_help"),
            QUrl("http://halvorn.example/?utm_source=kivVidStreamTester&utm_medium=website")}));
    }

    void sendStartsEncoder()
    {
        const std::pair<QVariantMap, QStringList> cases[] = {
            {{},
             {"kivGetEncoder(3,{320,240,1,1})", "kivSetDestAddress(E1,127.0.0.1,10588)",
              "kivSetDestFormat(E1,{320,240,1,1},0,0)"}},
            {{{"mSendProtocol", "Remote (TCP)"}, {"mSendAddress", "receiver.local"}, {"mSendChannel", 5},
              {"mSendDepth", "32-bit"}, {"mSendCompressionType", "JPEG"}, {"mSendCompressionLevel", 100}},
             {"kivGetEncoder(2,{320,240,2,1})", "kivSetDestAddress(E1,receiver.local,10593)",
              "kivSetDestFormat(E1,{320,240,2,1},1,100)"}},
            // No compression keeps the level.
            {{{"mSendProtocol", "Multicast (UDP)"}, {"mSendAddress", "239.255.10.88"}, {"mSendChannel", 99},
              {"mSendDepth", "16-bit"}, {"mSendCompressionLevel", 40}},
             {"kivGetEncoder(1,{320,240,0,1})", "kivSetDestAddress(E1,239.255.10.88,10687)",
              "kivSetDestFormat(E1,{320,240,0,1},0,40)"}}};
        for (const auto &[settings, expected] : cases) {
            QWidget *w = makeWindow();
            setForm(w, settings);
            clickSend();
            expectCalls(expected);
            QCOMPARE(enabledSendSettings(w), 0);
            for (const char *name : {"mSendFPS", "mSendUpdate", "mSendButton"})
                QVERIFY2(find(w, name)->isEnabled(), name);
            QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
            QCOMPARE(find<QLabel>(w, "mSendDisplay")->pixmap().size(), QSize(320, 240));
            // A stop gives the settings back (the address only off Local).
            clickSend();
            QCOMPARE(enabledSendSettings(w), int(std::size(kSendSettings)) - (settings.isEmpty() ? 1 : 0));
        }
    }

    // Each run starts on a grey picture with one line, and its lines go on with the draw sequence where the run before
    // left it. At 1 fps the first run's pending timer would fire amid the second run's pauses if it still fed the encoder.
    void runsStartGreyAndGoOn()
    {
        setForm(makeWindow(), {{"mSendFPS", 1}});
        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(!recording::encodedFrames().isEmpty(), 5000);
        clickSend();
        clickSend();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() >= 3, 10000);
        const QList<recording::EncodedFrame> frames = recording::encodedFrames();
        QVERIFY2(frames[2].atMs - frames[1].atMs >= 990, "two frame chains");
        for (int run : {0, 1})
            QVERIFY(frames[run].bytes.count('\xa4') > 320 * 240 - 800); // Qt::gray is a0a0a4
        QVERIFY(frames[0].bytes != frames[1].bytes);
    }

    // What the library refuses, or a link that is down, is said in the status bar; a refused part stays idle.
    void statusMessages()
    {
        const std::pair<const char *, QString> cases[] = {
            {"kivGetEncoder", "Send refused: kivGetEncoder refused"},
            {"kivSetDestAddress", "Send refused: kivSetDestAddress refused"},
            {"kivGetDecoder", "Cannot receive on channel 0: kivGetDecoder refused"},
            {"kivSetSourceAddress", "Cannot receive on channel 0: kivSetSourceAddress refused"}};
        for (const auto &[function, message] : cases) {
            const bool send = message.startsWith(QLatin1String("Send"));
            QWidget *w = makeWindow(function);
            if (send)
                clickSend();
            QCOMPARE(status(), message);
            if (send) // not running, and all but the address (Local) can be changed
                QCOMPARE(std::pair(find<QAbstractButton>(w, "mSendButton")->isChecked(), enabledSendSettings(w)),
                         std::pair(false, int(std::size(kSendSettings)) - 1));
            closeWindow(); // the half-made handle deleted too
            QCOMPARE(recording::count(send ? "kivEncode" : "kivLockReadBuffer"), 0);
        }
        makeWindow("kivSetDestAddress"); // taken on a second try: the refusal goes
        clickSend();
        recording::fail("kivSetDestAddress", KIV_OK);
        clickSend();
        QCOMPARE(status(), QString());
        // A destination that never answers is said once per change of its state, not again at every frame.
        const QString down = QStringLiteral("Sending gets nowhere: connection refused");
        for (int link : {KIV_LINK_DOWN, KIV_LINK_UP, KIV_LINK_DOWN}) {
            recording::setEncoderLink(link);
            QTRY_COMPARE_WITH_TIMEOUT(status(), link == KIV_LINK_DOWN ? down : QString(), 5000);
        }
        clickSend(); // stopping takes the complaint away; the next run says it again
        QCOMPARE(status(), QString());
        clickSend();
        QTRY_COMPARE_WITH_TIMEOUT(status(), down, 5000);
        recording::fail("kivGetDecoder");
        setForm(window.get(), {{"mReceiveChannel", 1}});
        const qsizetype sent = recording::encodedFrames().size();
        QTRY_VERIFY_WITH_TIMEOUT(recording::encodedFrames().size() > sent + 2, 5000);
        QCOMPARE(status(), QStringLiteral("Cannot receive on channel 1: kivGetDecoder refused"));
        recording::fail("kivGetDecoder", KIV_OK); // a receiver that starts takes its complaint away
        setForm(window.get(), {{"mReceiveChannel", 2}});
        QCOMPARE(status(), QString());
    }

    void receiverRestarts()
    {
        QWidget *w = makeWindow();
        // Each decoder is asked for the display's size; selecting the form's initial entries ran no slot.
        const QSize display = find(w, "mReceiveDisplay")->size();
        const auto sized = [&](QStringList calls) {
            return calls.replaceInStrings("SIZE", QStringLiteral("%1,%2").arg(display.width()).arg(display.height()));
        };
        QCOMPARE(recording::count("kivGetDecoder"), 1);
        expectCalls(sized({"kivGetDecoder(3,{SIZE,1,1})", "kivSetSourceAddress(D1,10588)", "kivSetAdaptiveBuffer(D1,1)"}));
        // A restart starts the panel over: until a frame arrives it reads as the form shows it, even when frames were
        // counted before, or one was taken by the receiver's thread but not yet by the window.
        feed(kivStreamFormat{20, 5, KIV_DEPTH_24, 1}, {300, 300});
        QVERIFY(refreshAt(kStart + 1000));
        feed(kivStreamFormat{20, 5, KIV_DEPTH_24, 1}, {300});
        recording::pushFrame(kivStreamFormat{20, 5, KIV_DEPTH_24, 1}, QByteArray(300, 'x'), 300);
        for (QDeadlineTimer taken(5000); !recording::drained() && !taken.hasExpired();)
            QThread::msleep(1);
        QVERIFY(recording::drained());
        auto *channel = find<QSpinBox>(w, "mReceiveChannel");
        channel->setValue(3);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(labelTexts(w), kPanelAtStart);
        QVERIFY(refreshAt(kStart + 2000));
        QCOMPARE(labelTexts(w), kPanelAtStart);
        const qsizetype first = recording::calls().size();
        channel->stepUp();
        channel->stepUp();
        setForm(w, {{"mReceiveProtocol", "Multicast (UDP)"}});
        // A receiver for each step and for the new protocol.
        QCOMPARE(recording::calls().mid(first).filter(QStringLiteral("kivSetSourceAddress")),
                 QStringList({"kivSetSourceAddress(D3,10592)", "kivSetSourceAddress(D4,10593)", "kivSetSourceAddress(D5,10593)"}));
        QCOMPARE(recording::calls().filter(QStringLiteral("kivGetDecoder")).last(), sized({"kivGetDecoder(1,{SIZE,1,1})"})[0]);
    }

    // Each frame follows a larger one, whose bytes must not linger in the copy.
    void receivedPicture()
    {
        // Width, depth code, whether the library reports rows without padding, the picture.
        const std::tuple<int, int, bool, QImage::Format> cases[] = {
            {5, KIV_DEPTH_16, false, QImage::Format_RGB16}, // 2 pad bytes
            {3, KIV_DEPTH_24, false, QImage::Format_RGB888}, // 3 pad bytes
            {2, KIV_DEPTH_32, false, QImage::Format_RGB32},
            {6, KIV_DEPTH_8, false, QImage::Format_Invalid},
            // 12-byte rows need 36 bytes; reading them from 27 would run past the copy.
            {3, KIV_DEPTH_24, true, QImage::Format_Invalid}};
        for (const auto &[width, depth, unpadded, format] : cases) {
            const kivStreamFormat f{uint16_t(width), 3, uint16_t(depth), 1};
            const qsizetype pitch = kivGetRowPitch(f.width, f.depth);
            const QByteArray bytes = pattern(pitch * 3, depth);
            auto *display = find<QLabel>(makeWindow(), "mReceiveDisplay");
            feed(kivStreamFormat{16, 16, KIV_DEPTH_32, 1}, {1024});
            recording::setUnpaddedByteSize(unpadded);
            feed(f, {77}, bytes);
            QCOMPARE(display->pixmap().isNull(), format == QImage::Format_Invalid);
            QCOMPARE(display->pixmap().toImage().convertToFormat(format),
                     QImage(reinterpret_cast<const uchar *>(bytes.constData()), width, 3, pitch, format));
        }
    }

    // A display that lags holds at most three pictures: later frames come
    // without one but are still counted, and a picture let go of is refilled.
    void picturesAreBoundedAndHeldSafely()
    {
        const kivStreamFormat request{100, 30, KIV_DEPTH_24, 1};
        kivStreamDecoder decoder(KIV_PROTOCOL_MEMORY, &request, 0);
        QList<kivReceivedFrame> frames;
        connect(&decoder, &kivStreamDecoder::frameReceived, this,
                [&](const kivReceivedFrame &f) { frames << f; }, Qt::DirectConnection);
        std::unique_ptr<QThread> worker(QThread::create([&] { decoder.decoderThread(); }));
        worker->start();
        const auto push = [](int seed) {
            recording::pushFrame(kivStreamFormat{4, 4, KIV_DEPTH_32, 1}, pattern(64, seed), 64);
            QVERIFY(QTest::qWaitFor([] { return recording::drained(); }, 5000));
        };
        for (int i = 1; i <= 5; ++i)
            push(i);
        QCOMPARE(frames.size(), 5);
        QCOMPARE(std::pair(frames[3].pictureSkipped, frames[4].picture.isNull()), std::pair(true, true));
        const uchar *released = frames[1].picture.constBits();
        frames[1] = {};
        push(6);
        decoder.endDecoder();
        worker->wait();
        QCOMPARE(frames[5].picture.constBits(), released);
        for (int i : {0, 2, 5})
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(frames[i].picture.constBits()), 64), pattern(64, i + 1));
    }

    // Then a second without frames shows 0 and keeps the rest.
    void panelFigures()
    {
        // Width, height, depth code, transfer sizes; FPS, transfer/s, average
        // transfer, image/frame, image/s, width, height, depth.
        const std::tuple<int, int, int, QList<uint32_t>, QStringList> cases[] = {
            {3, 2, 0, {16, 5}, {"2", "21", "10", "16", "32", "3", "2", "16-bit"}}, // rounds down
            {7, 9, 9, {0}, {"1", "0", "0", "0", "0", "7", "9", "N/A"}}, // an unknown depth keeps its text
            {2048, 2048, 2, {16777216, 16777216, 16777216, 16777216, 16777217, 16777217},
             {"6", "100663298", "16777216", "16777216", "100663296", "2048", "2048", "32-bit"}}};
        for (auto [width, height, depth, transfer, panel] : cases) {
            makeWindow();
            feed(kivStreamFormat{uint16_t(width), uint16_t(height), uint16_t(depth), 1}, transfer);
            QVERIFY(refreshAt(kStart + 1000));
            QCOMPARE(labelTexts(window.get()), panel);
            QVERIFY(refreshAt(kStart + 2000));
            panel[0] = QStringLiteral("0");
            QCOMPARE(labelTexts(window.get()), panel);
        }
    }

    // Each second becomes one point of every series, equal to the panel, and one row of the saved report; gaps in the
    // sender's numbers are lost frames, the decoder's counters give dropped and incomplete ones, and send times from
    // far away clocks stay out of the latency. A report that cannot be written keeps the run; a restart starts anew.
    void historyAndReport()
    {
        QWidget *w = makeWindow();
        auto *view = w->findChild<HistoryView *>();
        w->show(); // the history starts hidden
        QCOMPARE(w->findChild<QWidget *>("mHistoryDock")->isVisible(), false);
        const int formWidth = w->width(); // View > History grows the window by the plot
        QAction *history = w->findChild<QAction *>("actionHistory");
        QCOMPARE(history->associatedObjects().value(0, w)->objectName(), QStringLiteral("menu_View"));
        history->trigger();
        QCOMPARE(w->width(), formWidth + view->sizeHint().width());
        constexpr qint64 kAncient = INT64_MAX, kFuture = INT64_MIN; // ages that stand for send times 0 and INT64_MAX
        // Frame numbers, session, ages in us, the decoder's dropped and incomplete so far; lost, latency p50 and p99.
        struct Second { QList<uint32_t> numbers; uint64_t session; QList<qint64> ages; uint64_t dropped, incomplete;
                        QString lost, p50, p99; };
        const Second seconds[] = {
            {{1, 2, 5}, 7, {100, 300, 200}, 1, 0, "2", "200", "300"},
            {{0xfffffffe, 0xffffffff, 1}, 8, {1000, -500, 2000}, 1, 2, "1", "1000", "2000"}, // new session, wraps
            {{3, 2, 4}, 8, {kAncient, kFuture, -61'000'000}, 4, 2, "1", "", ""}, // 2 came late: counted lost
            {{}, 8, {}, 4, 2, "0", "", ""}};
        QStringList rows;
        for (int i = 0; i < 4; ++i) {
            const Second &sec = seconds[i];
            clockNow = kStart + 1000 * i + 500;
            QList<kivFrameInfo> stamps;
            for (qsizetype k = 0; k < sec.numbers.size(); ++k) {
                const qint64 age = sec.ages[k];
                const qint64 sent = age == kAncient ? 0 : age == kFuture ? INT64_MAX : clockNow * 1000 - age;
                stamps << kivFrameInfo{sec.session, sec.numbers[k], 0, sent, 0, 0, 0};
            }
            recording::setDecoderStats({0, 0, sec.dropped, 0, sec.incomplete, 0});
            feed(kivStreamFormat{8, 2, KIV_DEPTH_24, 1}, QList<uint32_t>(sec.numbers.size(), 40 + i), {}, stamps);
            QVERIFY(refreshAt(kStart + 1000 * (i + 1)));
            const QStringList panel = labelTexts(w);
            const bool any = !sec.numbers.isEmpty(); // else the panel keeps the byte figures shown
            rows << QStringList{panel[0], any ? panel[4] : "0", any ? panel[1] : "0", sec.lost, QString::number(sec.incomplete - (i ? seconds[i - 1].incomplete : 0)),
                                QString::number(sec.dropped - (i ? seconds[i - 1].dropped : 0)), sec.p50, sec.p99}.join(u',');
        }
        // The series as plotted (MB/s, ms), against the same rows.
        const std::pair<HistoryView::Series, double> columns[] = {
            {HistoryView::Fps, 1}, {HistoryView::ImageMBps, 1e6}, {HistoryView::TransferMBps, 1e6},
            {HistoryView::Lost, 1}, {HistoryView::Incomplete, 1}, {HistoryView::Dropped, 1},
            {HistoryView::LatencyP50, 1e3}, {HistoryView::LatencyP99, 1e3}};
        QStringList plotted(4);
        for (const auto &[series, scale] : columns) {
            QStringList cells(4);
            for (const QPointF &pt : view->points(series))
                cells[int(pt.x()) + 3] = QString::number(std::llround(pt.y() * scale));
            for (int i = 0; i < 4; ++i)
                plotted[i] += (series ? "," : "") + cells[i];
        }
        QCOMPARE(plotted, rows);

        QTemporaryDir dir;
        QMetaObject::invokeMethod(window.get(), "saveReport", Q_ARG(QString, dir.filePath("missing/run.csv")));
        QVERIFY2(status().startsWith("Cannot save the report as " + dir.filePath("missing/run")), qPrintable(status()));
        QTimer::singleShot(0, this, [&] { // File > Save Report asks for a name; one typed without .csv gets it
            qobject_cast<QFileDialog *>(QApplication::activeModalWidget())->selectFile(dir.filePath("run"));
            QMetaObject::invokeMethod(QApplication::activeModalWidget(), "accept");
        });
        w->findChild<QAction *>("actionSave_Report")->trigger();
        QFile csv(dir.filePath("run.csv")), json(dir.filePath("run.json"));
        QCOMPARE(std::pair(csv.open(QIODevice::ReadOnly), json.open(QIODevice::ReadOnly)), std::pair(true, true));
        QStringList lines = QString::fromUtf8(csv.readAll()).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.takeFirst(), kivtester::csvHeader());
        QCOMPARE(lines.first().section(u',', 0, 0), QStringLiteral("2023-11-14T22:13:20.000Z")); // kStart
        for (QString &line : lines)
            line = line.section(u',', 1);
        QCOMPARE(lines, rows);
        const QJsonObject summary = QJsonDocument::fromJson(json.readAll()).object();
        const QJsonObject totals = summary["totals"].toObject(), latency = summary["latency_us"].toObject();
        QCOMPARE(QList<qint64>({totals["frames"].toInteger(), totals["frames_lost"].toInteger(),
                                totals["frames_incomplete"].toInteger(), totals["frames_dropped"].toInteger(),
                                latency["p50"].toInteger(), latency["p99"].toInteger(),
                                summary["latency_frames_skipped"].toInteger()}),
                 QList<qint64>({9, 4, 2, 4, 200, 2000, 3}));
        QCOMPARE(summary["end"].toString(), QStringLiteral("2023-11-14T22:13:24.000Z"));

        QCOMPARE(view->clockNote().contains("may differ"), false);
        setForm(w, {{"mReceiveProtocol", "Remote (TCP)"}});
        QCOMPARE(view->points(HistoryView::Fps).size(), 0);
        QVERIFY(refreshAt(kStart + 5000));
        QCOMPARE(view->points(HistoryView::Fps).size(), 1);
        QVERIFY2(view->clockNote().contains("may differ"), qPrintable(view->clockNote()));
    }

    // Unchecking Update keeps the picture shown while frames go on being
    // sent or counted; checking it again shows the next one.
    void updateFreezes()
    {
        for (const bool send : {true, false}) {
            QWidget *w = makeWindow();
            auto *display = find<QLabel>(w, send ? "mSendDisplay" : "mReceiveDisplay");
            const char *update = send ? "mSendUpdate" : "mReceiveUpdate";
            const auto step = [&](int seed) {
                if (!send)
                    return feed(kivStreamFormat{4, 4, KIV_DEPTH_32, 1}, {64}, pattern(64, seed));
                const qsizetype before = recording::encodedFrames().size();
                QVERIFY(QTest::qWaitFor([&] { return recording::encodedFrames().size() > before; }, 5000));
            };
            setForm(w, {{"mSendFPS", 100}});
            if (send)
                clickSend();
            step(1);
            const qint64 shown = display->pixmap().cacheKey();
            setForm(w, {{update, false}});
            step(2);
            QCOMPARE(display->pixmap().cacheKey(), shown);
            QVERIFY(refreshAt(kStart + 1000));
            QCOMPARE(labelTexts(w)[0], QString::number(send ? 0 : 2));
            setForm(w, {{update, true}});
            step(3);
            QVERIFY(display->pixmap().cacheKey() != shown);
        }
    }

    void addressList()
    {
        auto *list = find<QListWidget>(makeWindow(), "mAddresses");
        QStringList shown;
        for (int i = 0; i < list->count(); ++i)
            shown << list->item(i)->text();
        // In a namespace of its own the test knows the host's addresses; elsewhere the loopback address is one of them.
        if (!qEnvironmentVariableIsEmpty("KIV_EXPECT_ADDRESSES"))
            QCOMPARE(shown.join(u','), qEnvironmentVariable("KIV_EXPECT_ADDRESSES"));
        QVERIFY2(shown.contains(QStringLiteral("127.0.0.1")), qPrintable(shown.join(u',')));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
