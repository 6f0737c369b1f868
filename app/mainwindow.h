// SPDX-License-Identifier: MIT
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QImage>
#include <QMainWindow>
#include <QStringList>

#include <memory>

#include "history.h"
#include "kivVidStreamLib2.hpp"
#include "kivmodel.h"

namespace Ui {
class MainWindow;
}
class kivStreamDecoder;
struct kivReceivedFrame;
class HistoryView;
class QDockWidget;
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
    // The run as CSV at `path` and its summary as JSON beside it; says in the
    // status bar how it went, and keeps the run either way.
    void saveReport(const QString &path);

private:
    void armEncoderTimer(int msec);
    void stopReceiver();
    // Empty when sending started, else why not.
    QString startEncoder();
    QList<QLabel *> panelLabels() const;
    void showFailure(QString &shown, const QString &text);
    void clearFailure(QString &shown);
    void addHistoryMenus();
    // Whether the frames received were stamped by this machine's clock.
    bool sharesClock() const;

    Ui::MainWindow *ui;
    std::unique_ptr<kivStreamDecoder> mDecoder;
    std::unique_ptr<QThread> mDecoderThread; // mDecoder lives in it
    kivtester::PanelCounter mPanel;
    QStringList mPanelAtStart; // the panel's texts before any frame
    kiv::EncoderHandle mEncoder;
    kivStreamFormat mEncoderFormat;
    std::unique_ptr<kivtester::TestPicture> mEncoderImage;
    int mEncoderLink;
    // Counts sending runs and receivers, so that a frame timer left over from a
    // stopped run, or a frame a replaced receiver had posted, is dropped.
    quint64 mEncoderRun;
    quint64 mDecoderRun;
    QString mSendFailure, mReceiveFailure; // shown in the status bar now
    kivtester::RunHistory mRun; // the receiver's, since its last restart
    HistoryView *mHistoryView;  // in mHistoryDock; both owned by the window
    QDockWidget *mHistoryDock;
};

#endif // MAINWINDOW_H
