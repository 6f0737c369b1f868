// SPDX-License-Identifier: MIT
#include "historyview.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <optional>

using kivtester::HistoryRow;

namespace {

struct SeriesInfo {
    const char *name;
    int chart;
    QColor colour;
    std::optional<double> (*value)(const HistoryRow &);
};
std::optional<double> ms(const std::optional<int64_t> &us)
{
    return us ? std::optional<double>(double(*us) / 1000.0) : std::nullopt;
}
// By HistoryView::Series.
const SeriesInfo kSeries[] = {
    {QT_TRANSLATE_NOOP("HistoryView", "received"), 0, QColor(0x1f, 0x5f, 0xbf),
     [](const HistoryRow &r) { return std::optional<double>(double(r.frames)); }},
    {QT_TRANSLATE_NOOP("HistoryView", "image"), 1, QColor(0x1f, 0x5f, 0xbf),
     [](const HistoryRow &r) { return std::optional<double>(double(r.imageBytes) / 1e6); }},
    {QT_TRANSLATE_NOOP("HistoryView", "transfer"), 1, QColor(0xe0, 0x80, 0x10),
     [](const HistoryRow &r) { return std::optional<double>(double(r.transferBytes) / 1e6); }},
    {QT_TRANSLATE_NOOP("HistoryView", "lost"), 2, QColor(0xd0, 0x20, 0x20),
     [](const HistoryRow &r) { return std::optional<double>(double(r.lost)); }},
    {QT_TRANSLATE_NOOP("HistoryView", "incomplete"), 2, QColor(0xe0, 0x80, 0x10),
     [](const HistoryRow &r) { return std::optional<double>(double(r.incomplete)); }},
    {QT_TRANSLATE_NOOP("HistoryView", "dropped"), 2, QColor(0x80, 0x30, 0xa0),
     [](const HistoryRow &r) { return std::optional<double>(double(r.dropped)); }},
    {QT_TRANSLATE_NOOP("HistoryView", "p50"), 3, QColor(0x20, 0x90, 0x40), [](const HistoryRow &r) { return ms(r.p50Us); }},
    {QT_TRANSLATE_NOOP("HistoryView", "p99"), 3, QColor(0xd0, 0x20, 0x20), [](const HistoryRow &r) { return ms(r.p99Us); }},
};
static_assert(std::size(kSeries) == HistoryView::SeriesCount);

// Title and unit of each chart, top to bottom.
const char *const kCharts[][2] = {
    {QT_TRANSLATE_NOOP("HistoryView", "Frames received"), QT_TRANSLATE_NOOP("HistoryView", "frames/s")},
    {QT_TRANSLATE_NOOP("HistoryView", "Image and transfer"), QT_TRANSLATE_NOOP("HistoryView", "MB/s")},
    {QT_TRANSLATE_NOOP("HistoryView", "Loss"), QT_TRANSLATE_NOOP("HistoryView", "frames/s")},
    {QT_TRANSLATE_NOOP("HistoryView", "Latency, send to window"), QT_TRANSLATE_NOOP("HistoryView", "ms")},
};
constexpr int kCharts_ = int(std::size(kCharts));

// 1, 2 or 5 times a power of ten: a tick step that splits `range` into at most four.
double tickStep(double range)
{
    const double raw = range / 4;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * magnitude >= raw)
            return m * magnitude;
    return 10 * magnitude;
}

} // namespace

HistoryView::HistoryView(const kivtester::RunHistory &run, QWidget *parent) : QWidget(parent), mRun(run)
{
    setMinimumSize(320, 360);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void HistoryView::refresh()
{
    if (isVisible())
        update();
}

QList<QPointF> HistoryView::points(Series series) const
{
    const auto &rows = mRun.rows();
    const qsizetype shown = std::min<qsizetype>(qsizetype(rows.size()), kSeconds);
    QList<QPointF> out;
    out.reserve(shown);
    for (qsizetype i = qsizetype(rows.size()) - shown; i < qsizetype(rows.size()); ++i)
        if (const std::optional<double> v = kSeries[series].value(rows[size_t(i)]))
            out << QPointF(double(i - qsizetype(rows.size()) + 1), *v);
    return out;
}

QString HistoryView::clockNote() const
{
    return mRun.sameClock() ? tr("Latency is exact: sender and receiver share this machine's clock.")
                            : tr("Latency counts from the sender's clock, which may differ from this machine's.");
}

void HistoryView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    p.setPen(palette().text().color());
    const QFontMetrics fm = p.fontMetrics();
    const int line = fm.height();
    const int left = fm.horizontalAdvance(QStringLiteral("-00000")) + 8, right = width() - 10;
    p.drawText(QRect(6, 2, width() - 12, line), Qt::AlignLeft | Qt::AlignVCenter, clockNote());
    const int top = line + 6, bottom = height() - 2 * line - 6;
    const int chartHeight = (bottom - top) / kCharts_;
    if (chartHeight < 3 * line || right - left < 40)
        return;
    const auto xAt = [&](double x) { return right + x * (right - left) / (kSeconds - 1); };

    QList<QPointF> series[SeriesCount];
    for (int s = 0; s < SeriesCount; ++s)
        series[s] = points(Series(s));

    for (int c = 0; c < kCharts_; ++c) {
        // Title, unit and legend on one line, the plot below it.
        const int y0 = top + c * chartHeight;
        const QRect plot(left, y0 + line + 2, right - left, chartHeight - line - 8);
        QString title = tr(kCharts[c][0]) + QStringLiteral(" (") + tr(kCharts[c][1]) + QStringLiteral(")");
        p.setPen(palette().text().color());
        p.drawText(QPoint(left, y0 + fm.ascent()), title);
        int legendX = left + fm.horizontalAdvance(title) + 12;
        const bool legend = std::count_if(std::begin(kSeries), std::end(kSeries),
                                          [c](const SeriesInfo &s) { return s.chart == c; }) > 1;
        double lo = 0, hi = 0;
        for (int s = 0; s < SeriesCount; ++s) {
            if (kSeries[s].chart != c)
                continue;
            for (const QPointF &pt : std::as_const(series[s]))
                lo = std::min(lo, pt.y()), hi = std::max(hi, pt.y());
            if (legend) {
                const QString name = tr(kSeries[s].name);
                p.setPen(kSeries[s].colour);
                p.drawText(QPoint(legendX, y0 + fm.ascent()), name);
                legendX += fm.horizontalAdvance(name) + 10;
            }
        }
        // Ticks at round values; the axis always holds 0.
        const double step = tickStep(hi > lo ? hi - lo : 1.0);
        lo = std::floor(lo / step) * step;
        hi = std::max(std::ceil(hi / step) * step, lo + step);
        const auto yAt = [&](double v) { return plot.bottom() - (v - lo) * plot.height() / (hi - lo); };
        for (double v = lo; v <= hi + step / 2; v += step) {
            const double y = yAt(v);
            p.setPen(palette().mid().color());
            p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
            p.setPen(palette().text().color());
            p.drawText(QRectF(0, y - line / 2.0, left - 4, line), Qt::AlignRight | Qt::AlignVCenter,
                       QString::number(v, 'g', 4));
        }
        p.drawRect(plot);
        p.setRenderHint(QPainter::Antialiasing, true);
        for (int s = 0; s < SeriesCount; ++s) {
            if (kSeries[s].chart != c)
                continue;
            // A second without a value breaks the line.
            QPainterPath path;
            const QPointF *previous = nullptr;
            for (const QPointF &pt : std::as_const(series[s])) {
                const QPointF at(xAt(pt.x()), yAt(pt.y()));
                if (previous && pt.x() - previous->x() == 1)
                    path.lineTo(at);
                else
                    path.moveTo(at), path.addEllipse(at, 1, 1), path.moveTo(at);
                previous = &pt;
            }
            p.setPen(QPen(kSeries[s].colour, 1.5));
            p.drawPath(path);
        }
        p.setRenderHint(QPainter::Antialiasing, false);
    }
    // The time axis under the last chart.
    p.setPen(palette().text().color());
    const int axisY = top + kCharts_ * chartHeight - 4;
    for (int ago = 0; ago < kSeconds; ago += 60) {
        const double x = xAt(-ago);
        p.drawLine(QPointF(x, axisY - 4), QPointF(x, axisY));
        p.drawText(QRectF(x - 30, axisY, 60, line), Qt::AlignCenter, QString::number(ago));
    }
    p.drawText(QRect(left, axisY + line, right - left, line), Qt::AlignCenter, tr("seconds ago"));
}
