#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QImage>
#include <QMainWindow>

#include "kivVidStreamLib2.h"

namespace Ui {
class MainWindow;
}
class kivStreamDecoder;
class QThread;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void resetStream();
    void frameReceived();
    void onWindowUpdateTimer();
    void updateWindow();
    void onEncoderTimer();
    void on_mSendButton_toggled(bool checked);
    void drawEncoderImage();
    void on_mReceiveChannel_valueChanged(int arg1);
    void on_mReceiveProtocol_currentIndexChanged(int index);
    void on_mSendProtocol_currentIndexChanged(int index);
    void on_actionAbout_kivVidStreamTester_triggered();
    void on_actionOnline_Help_triggered();
    void on_actionHalvorn_com_triggered();

private:
    void armEncoderTimer(int msec);

    Ui::MainWindow *ui;
    kivStreamDecoder *mDecoder;
    QThread *mDecoderThread;
    qint64 mUpdateTime;
    qint64 mFrameCount;
    qint64 mTransferBytes;
    qint64 mImageBytes;
    kivEncoder *mEncoder;
    kivStreamFormat mEncoderFormat;
    QImage mEncoderImage;
    // Counts sending runs, so that a frame timer left over from a stopped run
    // does not feed the next run's encoder beside that run's own timer.
    quint64 mEncoderRun;
};

#endif // MAINWINDOW_H
