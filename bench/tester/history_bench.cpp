// SPDX-License-Identifier: MIT
// The history's cost, printed in percent of one core.
#include "historyview.h"
#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void runEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename T>
T *child(QWidget *window, const char *name)
{
    T *found = window->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 20;

    // Alone: 60 frames and one closed second, for 3600 seconds of a stream.
    kivtester::RunHistory run;
    run.start({}, 0);
    double t0 = threadCpuSeconds();
    for (uint32_t s = 0; s < 3600; ++s) {
        kivtester::PanelSecond panel;
        for (uint32_t f = 0; f < 60; ++f) {
            const int64_t us = int64_t(s) * 1'000'000 + f * 16'667;
            run.addFrame({1, s * 60 + f, us - 300 - f, us});
            panel.frames++;
        }
        panel.startMs = int64_t(s) * 1000;
        run.closeSecond(panel, kivDecoderStats{});
    }
    const double recordUs = (threadCpuSeconds() - t0) / 3600 * 1e6;
    std::printf("record: %.1f us per second of a 60 fps stream (%.4f%% of a core)\n", recordUs, recordUs / 1e4);

    // One paint of a full history at the view's usual size.
    HistoryView view(run);
    view.resize(view.sizeHint());
    QImage image(view.size(), QImage::Format_RGB32);
    t0 = threadCpuSeconds();
    constexpr int kPaints = 200;
    for (int i = 0; i < kPaints; ++i) {
        QPainter p(&image);
        view.render(&p);
    }
    const double paintMs = (threadCpuSeconds() - t0) / kPaints * 1e3;
    std::printf("paint: %.2f ms per paint of %d seconds, once a second (%.3f%% of a core)\n", paintMs,
                HistoryView::kSeconds, paintMs / 10);

    // The window, sending to itself: its GUI thread with the history closed, then open.
    MainWindow window;
    window.show();
    child<QSpinBox>(&window, "mSendFPS")->setValue(60);
    for (const char *name : {"mSendChannel", "mReceiveChannel"})
        child<QSpinBox>(&window, name)->setValue(97);
    child<QPushButton>(&window, "mSendButton")->click();
    runEvents(2000);
    QAction *history = window.findChild<QAction *>(QStringLiteral("actionHistory"));
    double busy[2] = {0, 0};
    for (int round = 0; round < 2; ++round) {
        for (int open : {0, 1}) {
            history->setChecked(open);
            runEvents(500);
            t0 = threadCpuSeconds();
            runEvents(seconds * 1000 / 4);
            busy[open] += threadCpuSeconds() - t0;
        }
    }
    const double wall = seconds / 2.0;
    std::printf("window GUI thread: %.2f%% of a core with the history closed, %.2f%% open: %+.2f%%\n",
                100 * busy[0] / wall, 100 * busy[1] / wall, 100 * (busy[1] - busy[0]) / wall);
    std::printf("panel FPS at the end: %s\n", qPrintable(child<QLabel>(&window, "mFPS")->text()));
    child<QPushButton>(&window, "mSendButton")->click();
    return 0;
}
