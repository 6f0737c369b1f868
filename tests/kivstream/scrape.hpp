// SPDX-License-Identifier: MIT
// Scraping a kivstream metrics endpoint as a Prometheus server would.
#pragma once

#include <QByteArray>
#include <QRegularExpression>
#include <QTcpSocket>

namespace kivtest {

// The status line and body of one HTTP request, or "" when nothing came back.
inline QByteArray http(quint16 port, const QByteArray &request) {
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!s.waitForConnected(3000)) return {};
    s.write(request);
    QByteArray reply;
    while (s.waitForReadyRead(3000)) reply += s.readAll();
    return reply;
}

// A sample's value, of the series with `role` when given; -1 when there is none.
inline double metric(const QByteArray &page, const char *name, const char *role = nullptr) {
    const QRegularExpression line(QStringLiteral("^%1\\{([^}]*)\\} (\\S+)$").arg(QLatin1String(name)), QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(QString::fromUtf8(page)); it.hasNext();) {
        const auto m = it.next();
        if (!role || m.captured(1).contains(QStringLiteral("role=\"%1\"").arg(QLatin1String(role)))) return m.captured(2).toDouble();
    }
    return -1;
}

} // namespace kivtest
