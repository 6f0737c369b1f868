#ifndef TEST_PICTURE_H
#define TEST_PICTURE_H

#include <QColor>
#include <QImage>
#include <QLine>
#include <QPainter>
#include <QPen>

#include <random>

// What the sender's picture must look like: a grey ground and one line per
// frame, the lines taken from the process-wide draw sequence (a default-seeded
// minstd_rand brought into 0..32767, seven draws per line).
inline QImage expectedPicture(int width, int height, QImage::Format format, qint64 firstSerial, qint64 lastSerial)
{
    QImage image(width, height, format);
    image.fill(Qt::gray);
    std::minstd_rand generator;
    generator.discard(static_cast<unsigned long long>(7 * firstSerial));
    QPainter painter(&image);
    for (qint64 serial = firstSerial; serial <= lastSerial; ++serial) {
        qint64 r[7];
        for (qint64 &draw : r)
            draw = qint64(generator() % 32768);
        const QLine line(int(r[0] * width / 32767), int(r[1] * height / 32767),
                         int(r[2] * width / 32767), int(r[3] * height / 32767));
        QColor color;
        color.setRgb(int(r[4] * 255 / 32767), int(r[5] * 255 / 32767), int(r[6] * 255 / 32767), 255);
        painter.setPen(QPen(QBrush(color, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.drawLines(&line, 1);
    }
    painter.end();
    return image;
}

inline qint64 rowPitch(int width, int bytesPerPixel)
{
    return (qint64(width) * bytesPerPixel + 3) / 4 * 4;
}

#endif
