#include <QString>

#include "commands.hpp"
#include "common.hpp"

namespace kivstream {

int runSend(const Options &o) {
    QString why;
    bool unsupported = false;
    EncoderPtr enc = openEncoder(o, o.stream, why, unsupported);
    if (!enc) {
        err(why);
        return kExitCannotStart;
    }
    FrameSource source(o);
    Progress progress(true);
    Pacer pacer(o.fps);
    const auto start = SteadyClock::now();
    uint32_t n = 0;
    uint64_t calls = 0, failures = 0;
    int lastError = KIV_OK;
    QString lastErrorText;
    while (!stopRequested() && !limitReached(o, calls, start)) {
        const int rc = kivEncode(enc.get(), source.frame(n));
        ++n;
        ++calls;
        if (rc != KIV_OK) {
            ++failures;
            if (rc != lastError) err(QStringLiteral("frame %1 not sent: %2").arg(calls).arg(libraryError(rc)));
            lastError = rc;
        }
        if (progress.due()) {
            kivEncoderStats s{};
            kivGetEncoderStats(enc.get(), &s);
            progress.show(QStringLiteral("%1 s: encoded %2, sent %3, dropped %4")
                              .arg(secondsSince(start), 0, 'f', 1).arg(s.framesEncoded).arg(s.framesSent).arg(s.framesDropped));
        }
        pacer.wait(deadlineOf(o, start));
    }
    drainEncoder(enc.get());
    progress.clear();
    kivEncoderStats s{};
    kivGetEncoderStats(enc.get(), &s);
    const double secs = secondsSince(start);
    out(QStringLiteral("sent over %1 to %2 stream %3: %4 frames in %5 s (%6 fps); encoded %7, sent %8, dropped %9, "
                       "%10 bytes%11\n")
            .arg(o.transport, o.protocol == KIV_PROTOCOL_MEMORY ? QStringLiteral("local") : o.address)
            .arg(o.stream)
            .arg(calls)
            .arg(secs, 0, 'f', 2)
            .arg(secs > 0 ? double(calls) / secs : 0, 0, 'f', 1)
            .arg(s.framesEncoded)
            .arg(s.framesSent)
            .arg(s.framesDropped)
            .arg(s.bytesSent)
            .arg(failures ? QStringLiteral(", %1 failed").arg(failures) : QString()));
    return kExitOk;
}

} // namespace kivstream
