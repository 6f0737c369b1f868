// SPDX-License-Identifier: MIT
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "commands.hpp"
#include "common.hpp"
#include "metrics.hpp"

namespace kivstream {
namespace {

// Why the destination cannot be reached, with the library's reason; empty
// while it is reachable or still being tried for the first time.
QString linkDownReason(kivEncoder *enc) {
    if (kivGetEncoderLink(enc) != KIV_LINK_DOWN) return {};
    const QString detail = QString::fromLocal8Bit(kivLastErrorDetail());
    return detail.isEmpty() ? QStringLiteral("the link is down") : detail;
}

} // namespace

int runSend(const Options &o) {
    QString why;
    std::unique_ptr<MetricsEndpoint> endpoint;
    if (!startMetrics(o.metrics, endpoint)) return kExitCannotStart;
    const std::unique_ptr<StreamMetrics> metrics =
        endpoint ? endpoint->stream(o.transport, QString::number(o.stream), QStringLiteral("sender")) : nullptr;
    bool unsupported = false;
    EncoderPtr enc = openEncoder(o, o.stream, why, unsupported);
    if (!enc) {
        err(why);
        return kExitCannotStart;
    }
    FrameSource source(o);
    Progress progress(!o.json);
    Pacer pacer(o.fps);
    const auto start = SteadyClock::now();
    uint32_t n = 0;
    uint64_t calls = 0, failures = 0;
    int lastError = KIV_OK;
    const QString where = QStringLiteral("%1 over %2").arg(destinationText(o, o.stream), o.transport);
    // The encoder keeps retrying a dead link: say so once, not per frame.
    bool linkReported = false;
    const auto reportLinkDown = [&] {
        if (linkReported) return;
        const QString why = linkDownReason(enc.get());
        if (why.isEmpty()) return;
        err(QStringLiteral("cannot reach %1: %2").arg(where, why));
        linkReported = true;
    };
    Every publish(std::chrono::milliseconds(250));
    while (!stopRequested() && !limitReached(o, calls, start)) {
        const int rc = kivEncode(enc.get(), source.frame(n));
        ++n;
        ++calls;
        if (rc != KIV_OK) {
            ++failures;
            if (rc != lastError) err(QStringLiteral("frame %1 not sent: %2").arg(calls).arg(libraryError(rc)));
            lastError = rc;
        }
        reportLinkDown();
        if (metrics && publish.due()) publishEncoder(*metrics, enc.get());
        if (progress.due()) {
            kivEncoderStats s{};
            kivGetEncoderStats(enc.get(), &s);
            progress.show(QStringLiteral("%1 s: encoded %2, sent %3, dropped %4")
                              .arg(secondsSince(start), 0, 'f', 1).arg(s.framesEncoded).arg(s.framesSent).arg(s.framesDropped));
        }
        pacer.wait(deadlineOf(o, start));
    }
    const bool interrupted = stopRequested();
    // The last frames take a moment to leave; a dead link takes none of them.
    if (kivGetEncoderLink(enc.get()) != KIV_LINK_DOWN) drainEncoder(enc.get());
    const double secs = secondsSince(start);
    progress.clear();
    if (metrics) publishEncoder(*metrics, enc.get());
    kivEncoderStats s{};
    kivGetEncoderStats(enc.get(), &s);
    reportLinkDown();
    const bool nothingSent = calls > 0 && s.framesSent == 0;
    if (nothingSent && !linkReported) err(QStringLiteral("no frame reached %1").arg(where));
    kivUdpSenderStats u{};
    const bool udp = o.protocol() == KIV_PROTOCOL_UDP && kivGetEncoderUdpStats(enc.get(), &u) == KIV_OK;
    if (o.json) {
        QJsonObject j{{QStringLiteral("summary"), true},
                      {QStringLiteral("transport"), o.transport},
                      {QStringLiteral("address"), o.protocol() == KIV_PROTOCOL_MEMORY ? QJsonValue(QJsonValue::Null) : QJsonValue(o.address)},
                      {QStringLiteral("stream"), o.stream},
                      {QStringLiteral("frames"), qint64(calls)},
                      {QStringLiteral("frames_encoded"), qint64(s.framesEncoded)},
                      {QStringLiteral("frames_sent"), qint64(s.framesSent)},
                      {QStringLiteral("frames_dropped"), qint64(s.framesDropped)},
                      {QStringLiteral("frames_failed"), qint64(failures)},
                      {QStringLiteral("bytes_sent"), qint64(s.bytesSent)},
                      {QStringLiteral("seconds"), secs},
                      {QStringLiteral("fps"), perSecond(double(s.framesSent), secs)},
                      {QStringLiteral("interrupted"), interrupted}};
        if (udp) {
            j.insert(QStringLiteral("pace_bytes_per_second"), qint64(u.paceBytesPerSecond));
            j.insert(QStringLiteral("parity_percent"), qint64(u.parityPercent));
            j.insert(QStringLiteral("datagrams_resent"), qint64(u.datagramsResent));
        }
        out(QString::fromUtf8(QJsonDocument(j).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    } else {
        // Frames that left, not frames made: a sender nobody listens to sends none.
        out(QStringLiteral("sent over %1 to %2: %3 of %4 frames in %5 s (%6 fps); encoded %7, sent %8, dropped %9, "
                           "%10 bytes%11%12\n")
                .arg(o.transport, destinationText(o, o.stream))
                .arg(s.framesSent)
                .arg(calls)
                .arg(secs, 0, 'f', 2)
                .arg(perSecond(double(s.framesSent), secs), 0, 'f', 1)
                .arg(s.framesEncoded)
                .arg(s.framesSent)
                .arg(s.framesDropped)
                .arg(s.bytesSent)
                .arg(failures ? QStringLiteral(", %1 failed").arg(failures) : QString(),
                     udp ? QStringLiteral("; pace %1 B/s, parity %2%, datagrams resent %3")
                               .arg(u.paceBytesPerSecond).arg(u.parityPercent).arg(u.datagramsResent)
                         : QString()));
    }
    return nothingSent ? kExitCannotStart : kExitOk;
}

} // namespace kivstream
