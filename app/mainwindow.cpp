#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "kivstreamdecoder.h"
#include "testerclock.h"

#include <QBrush>
#include <QColor>
#include <QDesktopServices>
#include <QHostAddress>
#include <QLine>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <random>

namespace {

constexpr int kFirstStream = 10588;
constexpr int kLocalMemoryIndex = 2;
constexpr char kMakerHost[] = "halvorn.example";

// The line generator's draws: one sequence for the whole process, never
// seeded, so the lines of a run follow on from those of the run before.
int drawRandom()
{
    static std::minstd_rand generator;
    return int(generator() % 32768);
}

QImage::Format senderImageFormat(int depth)
{
    switch (depth) {
    case KIV_DEPTH_16: return QImage::Format_RGB16;
    case KIV_DEPTH_24: return QImage::Format_RGB888;
    case KIV_DEPTH_32: return QImage::Format_RGB32;
    default: return QImage::Format_Invalid;
    }
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
    , mDecoder(nullptr)
    , mDecoderThread(nullptr)
    , mUpdateTime(testerCurrentMSecs())
    , mFrameCount(0)
    , mTransferBytes(0)
    , mImageBytes(0)
    , mEncoder(nullptr)
    , mEncoderFormat{0, 0, 0, 0}
    , mEncoderImage()
    , mEncoderRun(0)
{
    ui->setupUi(this);

    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            ui->mAddresses->insertItem(ui->mAddresses->count(), address.toString());
    }

    QTimer::singleShot(40, this, SLOT(onWindowUpdateTimer()));
    resetStream();
}

MainWindow::~MainWindow()
{
    if (mDecoder)
        mDecoder->endDecoder();
    if (mDecoderThread) {
        mDecoderThread->quit();
        mDecoderThread->wait();
    }
    if (mDecoder) {
        delete mDecoder;
        mDecoder = nullptr;
    }
    if (mEncoder) {
        kivDeleteEncoder(mEncoder);
        mEncoder = nullptr;
    }
    delete ui;
}

void MainWindow::resetStream()
{
    if (mDecoder)
        mDecoder->endDecoder();
    if (mDecoderThread) {
        mDecoderThread->quit();
        mDecoderThread->wait();
        // The stopped thread object stays a child of the window.
        mDecoderThread = nullptr;
    }
    if (mDecoder) {
        delete mDecoder;
        mDecoder = nullptr;
    }

    const QRect display = ui->mReceiveDisplay->geometry();
    kivStreamFormat request;
    request.width = quint16(display.right() - display.left() + 1);
    request.height = quint16(display.bottom() - display.top() + 1);
    request.depth = KIV_DEPTH_24;
    request.orientation = KIV_ORIENTATION_TOP_DOWN;

    mDecoder = new kivStreamDecoder(ui->mReceiveProtocol->currentIndex() + 1, &request,
                                    ui->mReceiveChannel->value(), nullptr);
    mDecoderThread = new QThread(this);
    connect(mDecoderThread, &QThread::started, mDecoder, &kivStreamDecoder::decoderThread);
    mDecoder->moveToThread(mDecoderThread);
    connect(mDecoder, &kivStreamDecoder::frameReceived, this, &MainWindow::frameReceived);
    mDecoderThread->start(QThread::InheritPriority);
}

void MainWindow::frameReceived()
{
    if (ui->mReceiveUpdate->isChecked()) {
        ui->mReceiveDisplay->setPixmap(QPixmap::fromImage(mDecoder->frameImage()));
        ui->mReceiveDisplay->update();
    }
    const kivStreamFormat format = mDecoder->frameFormat();
    mTransferBytes += kivGetCompressedFrameSize(mDecoder->decoderHandle());
    mImageBytes += kivGetByteSize(&format);
    mFrameCount += 1;
}

void MainWindow::onWindowUpdateTimer()
{
    updateWindow();
    QTimer::singleShot(100, this, SLOT(onWindowUpdateTimer()));
}

void MainWindow::updateWindow()
{
    const qint64 elapsed = testerCurrentMSecs() - mUpdateTime;
    if (elapsed < 1000)
        return;

    if (mFrameCount > 0) {
        const kivStreamFormat format = mDecoder->frameFormat();
        const qint32 averageTransfer =
            qint32(std::floor(double(mTransferBytes) / double(mFrameCount)));
        ui->mReceiveTransferBytesPerFrame->setText(number(averageTransfer));
        ui->mReceiveImageBytesPerFrame->setText(number(kivGetByteSize(&format)));
        ui->mReceiveBytesPerSecond->setText(number(mImageBytes));
        ui->mCompressedSize->setText(number(mTransferBytes));
        ui->mWidth->setText(number(format.width));
        ui->mHeight->setText(number(format.height));
        switch (format.depth) {
        case KIV_DEPTH_16: ui->mDepth->setText(tr("16-bit")); break;
        case KIV_DEPTH_24: ui->mDepth->setText(tr("24-bit")); break;
        case KIV_DEPTH_32: ui->mDepth->setText(tr("32-bit")); break;
        case KIV_DEPTH_8: ui->mDepth->setText(tr("8-bit")); break;
        default: break;
        }
    }
    ui->mFPS->setText(number(mFrameCount));

    mUpdateTime += 1000;
    mFrameCount = 0;
    mTransferBytes = 0;
    mImageBytes = 0;
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
        ui->mSendDisplay->setPixmap(QPixmap::fromImage(mEncoderImage));
    kivEncode(mEncoder, mEncoderImage.constBits());
    armEncoderTimer(1000 / ui->mSendFPS->value());
}

void MainWindow::on_mSendButton_toggled(bool checked)
{
    if (checked) {
        mEncoderFormat.width = quint16(ui->mSendWidth->value());
        mEncoderFormat.height = quint16(ui->mSendHeight->value());
        mEncoderFormat.depth = quint16(ui->mSendDepth->currentIndex());
        mEncoderFormat.orientation = KIV_ORIENTATION_TOP_DOWN;

        mEncoderImage = QImage(mEncoderFormat.width, mEncoderFormat.height,
                               senderImageFormat(mEncoderFormat.depth));
        mEncoderImage.fill(Qt::gray);
        if (mEncoderImage.isNull())
            return;

        mEncoder = kivGetEncoder(ui->mSendProtocol->currentIndex() + 1, &mEncoderFormat);
        if (!mEncoder)
            return;

        ui->mSendAddress->setEnabled(false);
        ui->mSendChannel->setEnabled(false);
        ui->mSendDepth->setEnabled(false);
        ui->mSendHeight->setEnabled(false);
        ui->mSendProtocol->setEnabled(false);
        ui->mSendWidth->setEnabled(false);
        ui->mSendCompressionType->setEnabled(false);
        ui->mSendCompressionLevel->setEnabled(false);

        const QByteArray address = ui->mSendAddress->text().toLocal8Bit();
        kivSetDestAddress(mEncoder, address.constData(), ui->mSendChannel->value() + kFirstStream);
        const int compress = ui->mSendCompressionType->currentIndex() != 0 ? 1 : 0;
        kivSetDestFormat(mEncoder, &mEncoderFormat, compress, ui->mSendCompressionLevel->value());

        ++mEncoderRun;
        armEncoderTimer(100);
    } else {
        if (mEncoder) {
            kivDeleteEncoder(mEncoder);
            mEncoder = nullptr;
        }
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
    QPainter painter(&mEncoderImage);
    const qint64 width = mEncoderImage.width();
    const qint64 height = mEncoderImage.height();
    const qint64 r1 = drawRandom();
    const qint64 r2 = drawRandom();
    const qint64 r3 = drawRandom();
    const qint64 r4 = drawRandom();
    const qint64 r5 = drawRandom();
    const qint64 r6 = drawRandom();
    const qint64 r7 = drawRandom();
    const QLine line(int(r1 * width / 32767), int(r2 * height / 32767),
                     int(r3 * width / 32767), int(r4 * height / 32767));
    QColor color;
    color.setRgb(int(r5 * 255 / 32767), int(r6 * 255 / 32767), int(r7 * 255 / 32767), 255);
    painter.setPen(QPen(QBrush(color, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawLines(&line, 1);
    painter.end();
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
    box.setText(tr("kivVidStreamTester v1.0.1, written by the Halvorn streaming team\n"
                   "\n"
                   "Test pictures drawn with Qt; frames carried by kivVidStreamLib2"));
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
