// SPDX-License-Identifier: MIT
// A probe's findings as JSON and as a plot of the envelope: the highest intact
// rate against frame size, one line per transport and compression.
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QSvgGenerator>

#include <cmath>
#include <map>

#include "probe.hpp"

namespace kivstream {
namespace {

QJsonObject runJson(const RunResult &r) {
    QJsonObject o{{"fps", r.fps}, {"sent", qint64(r.sent)}, {"intact", qint64(r.intact)}, {"passed", r.passed},
                  {"latency_p50_ms", r.p50Ms}, {"latency_p99_ms", r.p99Ms}};
    if (!r.worstHost.isEmpty()) o.insert("worst_host", r.worstHost);
    if (!r.why.isEmpty()) o.insert("why", r.why);
    return o;
}

// The series of the plot: one per transport and compression, points in size order.
std::map<QString, std::vector<const CellResult *>> seriesOf(const ProbeReport &r) {
    std::map<QString, std::vector<const CellResult *>> series;
    for (const CellResult &c : r.cells) {
        if (!c.best) continue;
        const QString key = QStringLiteral("%1 x%2 %3")
                                .arg(c.multicast ? QStringLiteral("UDP multicast") : transportName(c.transport).toUpper())
                                .arg(c.depth)
                                .arg(c.jpeg < 0 ? QStringLiteral("raw") : QStringLiteral("JPEG %1").arg(c.jpeg));
        series[key].push_back(&c);
    }
    for (auto &[key, cells] : series)
        std::sort(cells.begin(), cells.end(), [](const CellResult *a, const CellResult *b) {
            return uint64_t(a->size.width) * a->size.height < uint64_t(b->size.width) * b->size.height;
        });
    return series;
}

void paintPlot(QPainter &p, const ProbeReport &r, QSize area) {
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(QRect(QPoint(0, 0), area), Qt::white);
    const QRectF plot(80, 40, area.width() - 300, area.height() - 100);
    const auto series = seriesOf(r);

    // Log scales: pixels per frame across, frames per second up.
    double xLow = 1e12, xHigh = 1, yHigh = 1;
    for (const auto &[key, cells] : series)
        for (const CellResult *c : cells) {
            const double px = double(c->size.width) * c->size.height;
            xLow = std::min(xLow, px);
            xHigh = std::max(xHigh, px);
            yHigh = std::max(yHigh, c->best->fps);
        }
    if (xLow > xHigh) xLow = xHigh = 320 * 240;
    xLow /= 2;
    xHigh *= 2;
    const double yLow = 0.1;
    yHigh = std::pow(10, std::ceil(std::log10(yHigh * 1.2)));
    const auto X = [&](double px) { return plot.left() + plot.width() * std::log(px / xLow) / std::log(xHigh / xLow); };
    const auto Y = [&](double fps) { return plot.bottom() - plot.height() * std::log(std::max(fps, yLow) / yLow) / std::log(yHigh / yLow); };

    p.setPen(QPen(Qt::black, 1));
    p.drawRect(plot);
    QFont font = p.font();
    font.setPixelSize(12);
    p.setFont(font);
    for (double fps = yLow; fps <= yHigh * 1.001; fps *= 10) {
        p.setPen(QPen(QColor(220, 220, 220), 1));
        p.drawLine(QPointF(plot.left(), Y(fps)), QPointF(plot.right(), Y(fps)));
        p.setPen(Qt::black);
        p.drawText(QRectF(0, Y(fps) - 8, plot.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter, QString::number(fps));
    }
    for (const auto &[key, cells] : series)
        for (const CellResult *c : cells) {
            p.setPen(QPen(QColor(220, 220, 220), 1));
            p.drawLine(QPointF(X(double(c->size.width) * c->size.height), plot.top()), QPointF(X(double(c->size.width) * c->size.height), plot.bottom()));
            p.setPen(Qt::black);
            p.drawText(QRectF(X(double(c->size.width) * c->size.height) - 50, plot.bottom() + 4, 100, 16), Qt::AlignCenter,
                       QStringLiteral("%1x%2").arg(c->size.width).arg(c->size.height));
        }
    p.drawText(QRectF(plot.left(), plot.bottom() + 24, plot.width(), 16), Qt::AlignCenter, QStringLiteral("frame size (pixels, log scale)"));
    p.save();
    p.translate(16, plot.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-plot.height() / 2, -10, plot.height(), 20), Qt::AlignCenter, QStringLiteral("highest intact frames per second (log scale)"));
    p.restore();
    font.setPixelSize(15);
    p.setFont(font);
    p.drawText(QRectF(0, 8, area.width(), 24), Qt::AlignCenter,
               QStringLiteral("Frames carried intact (99%) by %1%2").arg(r.hosts.join(QStringLiteral(", ")))
                   .arg(r.linkMbit > 0 ? QStringLiteral(", link about %1 Mbit/s").arg(r.linkMbit, 0, 'f', 0) : QString()));
    font.setPixelSize(11);
    p.setFont(font);

    static const QColor colours[] = {QColor(0, 90, 181), QColor(220, 50, 32), QColor(0, 150, 80), QColor(230, 140, 0),
                                     QColor(120, 60, 160), QColor(90, 90, 90)};
    int n = 0;
    for (const auto &[key, cells] : series) {
        const QColor colour = colours[n % std::size(colours)];
        p.setPen(QPen(colour, 2));
        QPointF previous;
        for (size_t i = 0; i < cells.size(); ++i) {
            const CellResult &c = *cells[i];
            const QPointF at(X(double(c.size.width) * c.size.height), Y(c.best->fps));
            if (i) p.drawLine(previous, at);
            p.drawEllipse(at, 3.5, 3.5);
            // Each series' labels on a line of their own: points of several often meet.
            p.drawText(at + QPointF(6, -4 + 12 * n), QStringLiteral("%1%2 fps, p99 %3 ms").arg(c.best->fps, 0, 'g', 3)
                                                .arg(c.atCeiling ? QStringLiteral("+") : QString()).arg(c.best->p99Ms, 0, 'f', 0));
            previous = at;
        }
        const double ly = plot.top() + 10 + 20 * n;
        p.drawLine(QPointF(plot.right() + 16, ly), QPointF(plot.right() + 40, ly));
        p.setPen(Qt::black);
        p.drawText(QPointF(plot.right() + 46, ly + 4), key);
        ++n;
    }
}

} // namespace

QString probeJson(const ProbeReport &r) {
    QJsonArray cells;
    for (const CellResult &c : r.cells) {
        QJsonArray runs;
        for (const RunResult &run : c.runs) runs.append(runJson(run));
        QJsonObject o{{"width", qint64(c.size.width)},
                      {"height", qint64(c.size.height)},
                      {"depth", c.depth},
                      {"jpeg", c.jpeg < 0 ? QJsonValue() : QJsonValue(c.jpeg)},
                      {"transport", transportName(c.transport)},
                      {"multicast", c.multicast},
                      {"bytes_per_frame", c.bytesPerFrame},
                      {"wire_bits_per_frame", c.wireBitsPerFrame},
                      {"highest_intact_fps", c.best ? QJsonValue(c.best->fps) : QJsonValue()},
                      {"at_ceiling", c.atCeiling},
                      {"answer", c.answer(r.linkMbit)},
                      {"runs", runs}};
        if (c.best) o.insert("best", runJson(*c.best));
        if (!c.error.isEmpty()) o.insert("error", c.error);
        cells.append(o);
    }
    const QJsonObject doc{{"hosts", QJsonArray::fromStringList(r.hosts)},
                          {"link_mbit", r.linkMbit},
                          {"clock_offset_ms", r.clockOffsetMs},
                          {"clock_uncertainty_ms", r.clockUncertaintyMs},
                          {"round_trip_ms", r.rttMs},
                          {"budget_s", r.budgetSeconds},
                          {"elapsed_s", r.elapsedSeconds},
                          {"interrupted", r.interrupted},
                          {"cells", cells}};
    return QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Indented));
}

bool writeProbePlot(const ProbeReport &r, const QString &path, QString &why) {
    const QSize area(1000, 600);
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("svg")) {
        QSvgGenerator svg;
        svg.setFileName(path);
        svg.setSize(area);
        svg.setViewBox(QRect(QPoint(0, 0), area));
        svg.setTitle(QStringLiteral("kivstream probe"));
        QPainter p;
        if (!p.begin(&svg)) {
            why = QStringLiteral("cannot write the plot to %1").arg(path);
            return false;
        }
        paintPlot(p, r, area);
        return p.end();
    }
    if (suffix != QLatin1String("png")) {
        why = QStringLiteral("the plot is written as .svg or .png, not '%1'").arg(path);
        return false;
    }
    QImage image(area, QImage::Format_RGB32);
    QPainter p(&image);
    paintPlot(p, r, area);
    p.end();
    if (!image.save(path)) {
        why = QStringLiteral("cannot write the plot to %1").arg(path);
        return false;
    }
    return true;
}

} // namespace kivstream
