// SPDX-License-Identifier: MIT
#include "kivmodel.h"

#include <QBrush>
#include <QPainter>
#include <QPen>
#include <QRandomGenerator>

#include <cmath>

namespace kivtester {

QString depthText(int depthCode)
{
    switch (depthCode) {
    case KIV_DEPTH_16: return QStringLiteral("16-bit");
    case KIV_DEPTH_24: return QStringLiteral("24-bit");
    case KIV_DEPTH_32: return QStringLiteral("32-bit");
    case KIV_DEPTH_8: return QStringLiteral("8-bit");
    default: return QStringLiteral("N/A");
    }
}

bool knownDepth(int depthCode) { return imageFormat(depthCode) != QImage::Format_Invalid; }

QImage::Format imageFormat(int depthCode)
{
    switch (depthCode) {
    case KIV_DEPTH_16: return QImage::Format_RGB16;
    case KIV_DEPTH_24: return QImage::Format_RGB888;
    case KIV_DEPTH_32: return QImage::Format_RGB32;
    case KIV_DEPTH_8: return QImage::Format_Grayscale8;
    default: return QImage::Format_Invalid;
    }
}

TestLine testLine(const std::array<int, 7> &draws, QSize size)
{
    // 64-bit products, truncated quotients.
    const auto scale = [&](int i, qint64 range) { return int(qint64(draws[size_t(i)]) * range / 32767); };
    return {QLine(scale(0, size.width()), scale(1, size.height()), scale(2, size.width()), scale(3, size.height())),
            QColor(scale(4, 255), scale(5, 255), scale(6, 255), 255)};
}

TestPicture::TestPicture(const kivStreamFormat &format, uint32_t seed)
    : TestPicture(format, [rng = QRandomGenerator(seed)]() mutable { return int(rng.bounded(32768)); })
{
}

TestPicture::TestPicture(const kivStreamFormat &format, Draw draw)
    : image_(format.width, format.height, imageFormat(format.depth)), draw_(std::move(draw))
{
    image_.fill(Qt::gray);
}

void TestPicture::drawLine()
{
    std::array<int, 7> draws;
    for (int &d : draws)
        d = draw_();
    const TestLine l = testLine(draws, image_.size());
    QPainter painter(&image_);
    painter.setPen(QPen(QBrush(l.colour, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawLines(&l.line, 1);
}

void PanelCounter::addFrame(uint32_t transferBytes, const kivStreamFormat &format)
{
    ++frames_;
    transfer_ += transferBytes;
    image_ += kivGetByteSize(&format);
    format_ = format;
    haveFormat_ = true;
}

std::optional<PanelSecond> PanelCounter::poll(int64_t nowMs)
{
    if (nowMs - periodStart_ < 1000)
        return std::nullopt;
    PanelSecond s;
    s.frames = frames_;
    s.imageBytes = image_;
    s.transferBytes = transfer_;
    s.haveFormat = haveFormat_;
    s.format = format_;
    s.startMs = periodStart_;
    if (haveFormat_)
        s.imageBytesPerFrame = kivGetByteSize(&format_);
    if (frames_ > 0)
        s.transferBytesPerFrame = int64_t(std::floor(double(transfer_) / double(frames_)));
    periodStart_ += 1000;
    frames_ = image_ = transfer_ = 0;
    return s;
}

void PanelCounter::restart()
{
    frames_ = image_ = transfer_ = 0;
    haveFormat_ = false;
    format_ = {};
}

} // namespace kivtester

namespace kivtester {
QString failureText(int code)
{
    const QString detail = QString::fromUtf8(kivLastErrorDetail());
    return detail.isEmpty() ? QString::fromUtf8(kivErrorString(code)) : detail;
}
} // namespace kivtester
