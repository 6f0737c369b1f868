#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QImage>
#include <QMainWindow>
#include <QStringList>

#include <memory>

#include "kivVidStreamLib2.h"
#include "kivmodel.h"

namespace Ui {
class MainWindow;
}
class kivStreamDecoder;
struct kivReceivedFrame;
class QLabel;
class QThread;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void resetStream();
    void frameReceived(const kivReceivedFrame &frame);
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
    void stopReceiver();
    // Empty when sending started, else why not.
    QString startEncoder();
    QList<QLabel *> panelLabels() const;
    void showFailure(QString &shown, const QString &text);
    void clearFailure(QString &shown);

    Ui::MainWindow *ui;
    std::unique_ptr<kivStreamDecoder> mDecoder;
    std::unique_ptr<QThread> mDecoderThread; // mDecoder lives in it
    kivtester::PanelCounter mPanel;
    QStringList mPanelAtStart; // the panel's texts before any frame
    kivEncoder *mEncoder;
    kivStreamFormat mEncoderFormat;
    std::unique_ptr<kivtester::TestPicture> mEncoderImage;
    int mEncoderLink;
    // Counts sending runs and receivers, so that a frame timer left over from a
    // stopped run, or a frame a replaced receiver had posted, is dropped.
    quint64 mEncoderRun;
    quint64 mDecoderRun;
    QString mSendFailure, mReceiveFailure; // shown in the status bar now
};

#endif // MAINWINDOW_H
