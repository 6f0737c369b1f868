// SPDX-License-Identifier: MIT
#ifndef HISTORYVIEW_H
#define HISTORYVIEW_H

#include <QList>
#include <QPointF>
#include <QString>
#include <QWidget>

#include "history.h"

// Strip charts of a run's last minutes, drawn with QPainter from the run's
// seconds: nothing is stored here, and nothing happens per frame.
class HistoryView : public QWidget
{
    Q_OBJECT

public:
    enum Series { Fps, ImageMBps, TransferMBps, Lost, Incomplete, Dropped, LatencyP50, LatencyP99, SeriesCount };
    static constexpr int kSeconds = 300; // shown

    explicit HistoryView(const kivtester::RunHistory &run, QWidget *parent = nullptr);
    // Once a second, after the run took its second (or started anew).
    void refresh();
    // What a series plots, oldest first: x in seconds before the newest
    // second (0 for the newest, negative before), y in the chart's unit.
    // Seconds without a value (no latency) are left out.
    QList<QPointF> points(Series series) const;
    QString clockNote() const;
    QSize sizeHint() const override { return {480, 520}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const kivtester::RunHistory &mRun;
};

#endif // HISTORYVIEW_H
