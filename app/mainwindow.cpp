// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "historyview.h"
#include "kivstreamdecoder.h"
#include "kivtester_version.h"
#include "wallclock.h"

#include <QDesktopServices>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QFileDialog>
#include <QHostAddress>
#include <QJsonDocument>
#include <QMenuBar>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPixmap>
#include <QSaveFile>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <random>

namespace {

constexpr int kLocalMemoryIndex = 2;
constexpr char kMakerHost[] = "halvorn.example";

// The line generator's draws: one sequence for the whole process, never
// seeded, so the lines of a run follow on from those of the run before.
int drawRandom()
{
    static std::minstd_rand generator;
    return int(generator() % 32768);
}

QString number(qint64 value)
{
    return QStringLiteral("%1").arg(value, 0, 10, QLatin1Char(' '));
}

QUrl makerUrl(const QString &path, const QString &query)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QString::fromLatin1(kMakerHost));
    url.setPath(path);
    url.setQuery(query);
    return url;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow())
    , mPanel(testerCurrentMSecs())
    , mEncoderFormat{0, 0, 0, 0}
    , mEncoderLink(KIV_LINK_IDLE)
    , mEncoderRun(0)
    , mDecoderRun(0)
    , mHistoryView(nullptr)
    , mHistoryDock(nullptr)
{
    ui->setupUi(this);
    for (const QLabel *label : panelLabels())
        mPanelAtStart << label->text();

    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            ui->mAddresses->insertItem(ui->mAddresses->count(), address.toString());
    }

    addHistoryMenus();

    QTimer::singleShot(40, this, SLOT(onWindowUpdateTimer()));
    resetStream();
}

MainWindow::~MainWindow()
{
    stopReceiver();
    mEncoder.reset();
    delete ui;
}

QList<QLabel *> MainWindow::panelLabels() const
{
    return {ui->mFPS, ui->mCompressedSize, ui->mReceiveTransferBytesPerFrame, ui->mReceiveImageBytesPerFrame,
            ui->mReceiveBytesPerSecond, ui->mWidth, ui->mHeight, ui->mDepth};
}

void MainWindow::showFailure(QString &shown, const QString &text)
{
    shown = text;
    statusBar()->showMessage(text);
}

void MainWindow::clearFailure(QString &shown)
{
    if (!shown.isEmpty() && statusBar()->currentMessage() == shown)
        statusBar()->clearMessage();
    shown.clear();
}

// Added beside the form, which stays as it is: File and View menus before
// Help, and the history in a dock that opens to the right of the form.
void MainWindow::addHistoryMenus()
{
    mHistoryView = new HistoryView(mRun);
    mHistoryDock = new QDockWidget(tr("History"), this);
    mHistoryDock->setObjectName(QStringLiteral("mHistoryDock"));
    mHistoryDock->setWidget(mHistoryView);
    addDockWidget(Qt::RightDockWidgetArea, mHistoryDock);
    mHistoryDock->hide();
    QAction *history = mHistoryDock->toggleViewAction();
    history->setObjectName(QStringLiteral("actionHistory"));
    history->setText(tr("&History"));
    // The window grows by the history, so the form keeps its room.
    connect(history, &QAction::toggled, this, [this](bool shown) {
        if (isMaximized() || isFullScreen() || mHistoryDock->isFloating())
            return;
        const QSize room = mHistoryView->sizeHint();
        resize(width() + (shown ? room.width() : -room.width()), shown ? std::max(height(), room.height()) : height());
    });

    auto *file = new QMenu(tr("&File"), menuBar());
    file->setObjectName(QStringLiteral("menu_File"));
    QAction *save = file->addAction(tr("Save &Report..."), this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Save Report"), QStringLiteral("report.csv"),
                                                          tr("CSV files (*.csv)"));
        if (!path.isEmpty())
            saveReport(path);
    });
    save->setObjectName(QStringLiteral("actionSave_Report"));
    auto *view = new QMenu(tr("&View"), menuBar());
    view->setObjectName(QStringLiteral("menu_View"));
    view->addAction(history);
    menuBar()->insertMenu(ui->menu_Help->menuAction(), file);
    menuBar()->insertMenu(ui->menu_Help->menuAction(), view);
}

bool MainWindow::sharesClock() const
{
    const int protocol = ui->mReceiveProtocol->currentIndex();
    if (protocol == kLocalMemoryIndex)
        return true;
    // Otherwise only this window's own sender is known to stamp with this
    // host's clock: on this protocol and channel, to an address of this host.
    const QString to = ui->mSendAddress->text();
    const QHostAddress address(to);
    return mEncoder && ui->mSendProtocol->currentIndex() == protocol &&
           ui->mSendChannel->value() == ui->mReceiveChannel->value() &&
           (address.isLoopback() || address.isMulticast() || !ui->mAddresses->findItems(to, Qt::MatchExactly).isEmpty());
}

void MainWindow::saveReport(const QString &path)
{
    // The summary goes beside the CSV, under the same name.
    const QFileInfo chosen(path);
    const QString base = chosen.dir().filePath(chosen.completeBaseName());
    const bool csvSuffix = chosen.suffix().compare(QLatin1String("csv"), Qt::CaseInsensitive) == 0;
    const QString csvPath = csvSuffix ? path : base + QStringLiteral(".csv");
    const QString jsonPath = base + QStringLiteral(".json");

    QJsonObject summary = mRun.summary();
    QJsonObject settings = summary.value(QLatin1String("settings")).toObject();
    QJsonValue sending(QJsonValue::Null);
    if (mEncoder)
        sending = QJsonObject{{QStringLiteral("protocol"), ui->mSendProtocol->currentText()},
                              {QStringLiteral("address"), ui->mSendAddress->text()},
                              {QStringLiteral("channel"), ui->mSendChannel->value()},
                              {QStringLiteral("width"), mEncoderFormat.width},
                              {QStringLiteral("height"), mEncoderFormat.height},
                              {QStringLiteral("depth"), kivtester::depthText(mEncoderFormat.depth)},
                              {QStringLiteral("fps"), ui->mSendFPS->value()},
                              {QStringLiteral("compression"), ui->mSendCompressionType->currentText()},
                              {QStringLiteral("level"), ui->mSendCompressionLevel->value()}};
    settings.insert(QStringLiteral("sending"), sending);
    summary.insert(QStringLiteral("settings"), settings);

    const std::pair<QString, QByteArray> files[] = {{csvPath, mRun.csv().toUtf8()},
                                                    {jsonPath, QJsonDocument(summary).toJson()}};
    for (const auto &[name, bytes] : files) {
        QSaveFile out(name);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
            statusBar()->showMessage(
                tr("Cannot save the report as %1: %2").arg(QDir::toNativeSeparators(name), out.errorString()));
            return;
        }
    }
    statusBar()->showMessage(
        tr("Report saved: %1 and %2").arg(QDir::toNativeSeparators(csvPath), QDir::toNativeSeparators(jsonPath)));
}

void MainWindow::stopReceiver()
{
    if (mDecoder)
        mDecoder->endDecoder();
    if (mDecoderThread) {
        mDecoderThread->quit();
        mDecoderThread->wait();
    }
    mDecoderThread.reset();
    mDecoder.reset();
}

void MainWindow::resetStream()
{
    stopReceiver();
    // The panel starts over: what the replaced receiver counted, or had posted
    // and is still on its way, belongs to another channel.
    ++mDecoderRun;
    mPanel.restart();
    const QList<QLabel *> labels = panelLabels();
    for (qsizetype i = 0; i < labels.size(); ++i)
        labels[i]->setText(mPanelAtStart[i]);

    const QRect display = ui->mReceiveDisplay->geometry();
    kivStreamFormat request;
    request.width = quint16(display.width());
    request.height = quint16(display.height());
    request.depth = KIV_DEPTH_24;
    request.orientation = KIV_ORIENTATION_TOP_DOWN;

    const int channel = ui->mReceiveChannel->value();
    mDecoder = std::make_unique<kivStreamDecoder>(ui->mReceiveProtocol->currentIndex() + 1, &request, channel, nullptr);
    clearFailure(mReceiveFailure);
    if (!mDecoder->errorText().isEmpty())
        showFailure(mReceiveFailure, tr("Cannot receive on channel %1: %2").arg(channel).arg(mDecoder->errorText()));
    mRun.start(QJsonObject{{QStringLiteral("protocol"), ui->mReceiveProtocol->currentText()},
                           {QStringLiteral("channel"), channel},
                           {QStringLiteral("stream"), channel + kivtester::kChannelBase}},
               testerCurrentMSecs());
    mRun.setSameClock(sharesClock());
    mHistoryView->refresh();
    mDecoderThread = std::make_unique<QThread>(this); // a child, so it shows among the window's threads
    connect(mDecoderThread.get(), &QThread::started, mDecoder.get(), &kivStreamDecoder::decoderThread);
    mDecoder->moveToThread(mDecoderThread.get());
    connect(mDecoder.get(), &kivStreamDecoder::frameReceived, this, [this, run = mDecoderRun](const kivReceivedFrame &frame) {
        if (run == mDecoderRun)
            frameReceived(frame);
    });
    mDecoderThread->start(QThread::InheritPriority);
}

void MainWindow::frameReceived(const kivReceivedFrame &frame)
{
    if (ui->mReceiveUpdate->isChecked() && !frame.pictureSkipped) {
        ui->mReceiveDisplay->setPixmap(QPixmap::fromImage(frame.picture));
        ui->mReceiveDisplay->update();
    }
    mPanel.addFrame(frame.transferBytes, frame.format);
    mRun.addFrame({frame.info.sessionId, frame.info.frameNumber, frame.info.sendTimeUs, testerCurrentUSecs()});
}

void MainWindow::onWindowUpdateTimer()
{
    updateWindow();
    // Wakes when the panel has a second to show, not in between: an idle window sleeps.
    const qint64 due = mPanel.msUntilDue(testerCurrentMSecs());
    QTimer::singleShot(int(std::clamp<qint64>(due + 1, 10, 1000)), Qt::PreciseTimer, this, SLOT(onWindowUpdateTimer()));
}

void MainWindow::updateWindow()
{
    const std::optional<kivtester::PanelSecond> second = mPanel.poll(testerCurrentMSecs());
    if (!second)
        return;
    if (second->frames > 0) {
        const kivStreamFormat &format = second->format;
        ui->mReceiveTransferBytesPerFrame->setText(number(qint32(second->transferBytesPerFrame)));
        ui->mReceiveImageBytesPerFrame->setText(number(second->imageBytesPerFrame));
        ui->mReceiveBytesPerSecond->setText(number(qint64(second->imageBytes)));
        ui->mCompressedSize->setText(number(qint64(second->transferBytes)));
        ui->mWidth->setText(number(format.width));
        ui->mHeight->setText(number(format.height));
        if (kivtester::knownDepth(format.depth))
            ui->mDepth->setText(tr(kivtester::depthText(format.depth).toLatin1().constData()));
    }
    ui->mFPS->setText(number(qint64(second->frames)));
    // The history takes the same second, in one call.
    mRun.setSameClock(sharesClock());
    mRun.closeSecond(*second, mDecoder->stats());
    mHistoryView->refresh();
}

void MainWindow::armEncoderTimer(int msec)
{
    QTimer::singleShot(msec, this, [this, run = mEncoderRun] {
        if (run == mEncoderRun)
            onEncoderTimer();
    });
}

void MainWindow::onEncoderTimer()
{
    if (!mEncoder)
        return;
    drawEncoderImage();
    if (ui->mSendUpdate->isChecked())
        ui->mSendDisplay->setPixmap(QPixmap::fromImage(mEncoderImage->image()));
    kivEncode(mEncoder.get(), mEncoderImage->bits());
    // A destination that cannot be reached is said once per change, not per frame.
    const int link = kivGetEncoderLink(mEncoder.get());
    if (link != mEncoderLink) {
        if (link == KIV_LINK_DOWN)
            showFailure(mSendFailure, tr("Sending gets nowhere: %1").arg(kivtester::failureText(KIV_ERROR_IO)));
        else
            clearFailure(mSendFailure);
        mEncoderLink = link;
    }
    armEncoderTimer(1000 / ui->mSendFPS->value());
}

QString MainWindow::startEncoder()
{
    mEncoderFormat.width = quint16(ui->mSendWidth->value());
    mEncoderFormat.height = quint16(ui->mSendHeight->value());
    mEncoderFormat.depth = quint16(ui->mSendDepth->currentIndex());
    mEncoderFormat.orientation = KIV_ORIENTATION_TOP_DOWN;
    mEncoderImage = std::make_unique<kivtester::TestPicture>(mEncoderFormat, drawRandom);
    if (mEncoderImage->image().isNull())
        return kivErrorString(KIV_ERROR_NO_MEMORY);

    mEncoder.reset(kivGetEncoder(ui->mSendProtocol->currentIndex() + 1, &mEncoderFormat));
    if (!mEncoder)
        return kivtester::failureText(KIV_ERROR_UNSUPPORTED);
    const QByteArray address = ui->mSendAddress->text().toLocal8Bit();
    int result = kivSetDestAddress(mEncoder.get(), address.constData(), ui->mSendChannel->value() + kivtester::kChannelBase);
    if (result == KIV_OK) {
        const int compress = ui->mSendCompressionType->currentIndex() != 0 ? 1 : 0;
        result = kivSetDestFormat(mEncoder.get(), &mEncoderFormat, compress, ui->mSendCompressionLevel->value());
    }
    return result == KIV_OK ? QString() : kivtester::failureText(result);
}

void MainWindow::on_mSendButton_toggled(bool checked)
{
    if (checked) {
        clearFailure(mSendFailure);
        const QString failure = startEncoder();
        if (!failure.isEmpty()) {
            ui->mSendButton->setChecked(false); // stops as below
            showFailure(mSendFailure, tr("Send refused: %1").arg(failure));
            return;
        }
        ui->mSendAddress->setEnabled(false);
        ui->mSendChannel->setEnabled(false);
        ui->mSendDepth->setEnabled(false);
        ui->mSendHeight->setEnabled(false);
        ui->mSendProtocol->setEnabled(false);
        ui->mSendWidth->setEnabled(false);
        ui->mSendCompressionType->setEnabled(false);
        ui->mSendCompressionLevel->setEnabled(false);
        mEncoderLink = KIV_LINK_IDLE;
        ++mEncoderRun;
        armEncoderTimer(100);
    } else {
        mEncoder.reset();
        clearFailure(mSendFailure);
        ui->mSendAddress->setEnabled(ui->mSendProtocol->currentIndex() != kLocalMemoryIndex);
        ui->mSendChannel->setEnabled(true);
        ui->mSendDepth->setEnabled(true);
        ui->mSendHeight->setEnabled(true);
        ui->mSendProtocol->setEnabled(true);
        ui->mSendWidth->setEnabled(true);
        ui->mSendCompressionType->setEnabled(true);
        ui->mSendCompressionLevel->setEnabled(true);
    }
}

void MainWindow::drawEncoderImage()
{
    mEncoderImage->drawLine();
}
void MainWindow::on_mReceiveChannel_valueChanged(int)
{
    resetStream();
}

void MainWindow::on_mReceiveProtocol_currentIndexChanged(int)
{
    resetStream();
}

void MainWindow::on_mSendProtocol_currentIndexChanged(int index)
{
    if (index == 0 || index == 1)
        ui->mSendAddress->setEnabled(true);
    else if (index == kLocalMemoryIndex)
        ui->mSendAddress->setEnabled(false);
}

void MainWindow::on_actionAbout_kivVidStreamTester_triggered()
{
    QMessageBox box;
    box.setText(tr("kivVidStreamTester v%1, written by the Halvorn streaming team\n"
                   "\n"
                   "Test pictures drawn with Qt; frames carried by kivVidStreamLib2")
                    .arg(QStringLiteral(KIV_TESTER_VERSION)));
    box.exec();
}

void MainWindow::on_actionOnline_Help_triggered()
{
    QDesktopServices::openUrl(makerUrl(QStringLiteral("/software/kivvidstreamtester/"),
                                       QStringLiteral("utm_source=kivVidStreamTester&utm_medium=online_help")));
}

void MainWindow::on_actionHalvorn_com_triggered()
{
    QDesktopServices::openUrl(makerUrl(QStringLiteral("/"),
                                       QStringLiteral("utm_source=kivVidStreamTester&utm_medium=website")));
}
