// SPDX-License-Identifier: MIT
#include "common.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "commands.hpp"

namespace kivstream {

std::atomic<bool> &stopRequested() {
    static std::atomic<bool> flag{false};
    return flag;
}

int stopFd() {
    static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void requestStop() {
    stopRequested().store(true);
    const uint64_t one = 1;
    (void)!::write(stopFd(), &one, sizeof one);
}

void print(FILE *f, const QString &text) {
    const QByteArray b = text.toLocal8Bit();
    std::fwrite(b.constData(), 1, size_t(b.size()), f);
    std::fflush(f);
}
void out(const QString &text) { print(stdout, text); }
void err(const QString &text) { print(stderr, QStringLiteral("kivstream: ") + text + QLatin1Char('\n')); }

QString libraryError(int code) {
    const QString detail = QString::fromLocal8Bit(kivLastErrorDetail());
    const QString text = QString::fromLatin1(kivErrorString(code));
    return detail.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, detail);
}

namespace {
QString notAvailable(const QString &transport, const char *role) {
    const QString detail = QString::fromLocal8Bit(kivLastErrorDetail());
    return QStringLiteral("cannot create a %1 %2: the %1 transport is not available in this build (%3)")
        .arg(transport, QLatin1String(role), detail.isEmpty() ? QStringLiteral("no detail") : detail);
}

// Capped while still a double: 1/fps of a tiny rate would overflow the
// clock's integer ticks, which is undefined behaviour.
SteadyClock::duration periodOf(double fps) {
    if (!(fps > 0)) return SteadyClock::duration::zero();
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(std::min(1.0 / fps, 3600.0)));
}
} // namespace

int64_t wallUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
int64_t wallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
double secondsSince(SteadyClock::time_point t) { return std::chrono::duration<double>(SteadyClock::now() - t).count(); }

void sleepUntil(SteadyClock::time_point t) {
    while (!stopRequested().load(std::memory_order_relaxed)) {
        const auto now = SteadyClock::now();
        if (now >= t) return;
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(t - now, std::chrono::milliseconds(50)));
    }
}

Pacer::Pacer(double fps) : period_(periodOf(fps)), next_(SteadyClock::now()) {}

void Pacer::wait(SteadyClock::time_point deadline) {
    if (period_ == SteadyClock::duration::zero()) return;
    next_ += period_;
    const auto now = SteadyClock::now();
    if (next_ + std::chrono::seconds(1) < now) next_ = now;
    sleepUntil(std::min(next_, deadline));
}

Progress::Progress(bool enabled) : enabled_(enabled && isatty(STDERR_FILENO)) {}

bool Every::due() {
    const auto now = SteadyClock::now();
    if (now < next_) return false;
    next_ = now + period_;
    return true;
}

bool Progress::due() { return enabled_ && redraw_.due(); }
void Progress::show(const QString &line) {
    print(stderr, QStringLiteral("\r\033[K") + line);
    shown_ = true;
}
void Progress::clear() {
    if (shown_) print(stderr, QStringLiteral("\r\033[K"));
    shown_ = false;
}

bool limitReached(const Options &o, uint64_t frames, SteadyClock::time_point start) {
    if (o.frames) return frames >= *o.frames;
    if (o.seconds) return secondsSince(start) >= *o.seconds;
    return false;
}

SteadyClock::time_point deadlineOf(const Options &o, SteadyClock::time_point start) {
    if (!o.seconds) return SteadyClock::time_point::max();
    return start + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(*o.seconds));
}

FrameSource::FrameSource(const Options &o) : jpeg_(o.jpegLevel.has_value()) {
    if (o.pattern == PatternKind::Picture) {
        picture_.emplace(o.format, o.seed);
    } else {
        pattern_.emplace(o.format, o.seed);
        buffer_.resize(pattern_->geometry().bytes);
    }
}

const uint8_t *FrameSource::frame(uint32_t n) {
    if (picture_) {
        picture_->drawLine();
        return picture_->bits();
    }
    if (jpeg_) pattern_->fillSmooth(n, buffer_.data());
    else pattern_->fillRaw(n, buffer_.data());
    return buffer_.data();
}

QString destinationText(const Options &o, int stream) {
    // Memory streams are local: the address plays no part.
    if (o.protocol() == KIV_PROTOCOL_MEMORY) return QStringLiteral("stream %1").arg(stream);
    return QStringLiteral("%1 stream %2").arg(o.address).arg(stream);
}

EncoderPtr openEncoder(const Options &o, int stream, QString &why, bool &unsupported) {
    EncoderPtr enc(kivGetEncoder(o.protocol(), &o.format));
    if (!enc) {
        unsupported = true;
        why = notAvailable(o.transport, "sender");
        return nullptr;
    }
    int rc = kivSetDestAddress(enc.get(), o.address.toLocal8Bit().constData(), stream);
    if (rc != KIV_OK) {
        why = QStringLiteral("cannot send over %1 to %2: %3").arg(o.transport, destinationText(o, stream), libraryError(rc));
        return nullptr;
    }
    if (o.fec) rc = kivSetFecRedundancy(enc.get(), *o.fec);
    if (rc == KIV_OK && (o.impairment.lossPerMillion || o.impairment.duplicatePerMillion))
        rc = kivSetImpairment(enc.get(), &o.impairment);
    if (rc == KIV_OK && o.returnImpairment.lossPerMillion) rc = kivSetReturnImpairment(enc.get(), &o.returnImpairment);
    if (rc == KIV_OK && o.maxRate) rc = kivSetMaxRate(enc.get(), *o.maxRate);
    if (rc != KIV_OK) {
        why = QStringLiteral("cannot set loss protection, impairment or rate: %1").arg(libraryError(rc));
        return nullptr;
    }
    rc = kivSetDestFormat(enc.get(), &o.format, o.jpegLevel ? 1 : 0, o.jpegLevel.value_or(0));
    if (rc != KIV_OK) {
        why = QStringLiteral("cannot set the frame format: %1").arg(libraryError(rc));
        return nullptr;
    }
    return enc;
}

DecoderPtr openDecoder(const Options &o, int stream, int adaptive, QString &why, bool &unsupported) {
    DecoderPtr dec(kivGetDecoder(o.protocol(), nullptr));
    if (!dec) {
        unsupported = true;
        why = notAvailable(o.transport, "receiver");
        return nullptr;
    }
    kivSetAdaptiveBuffer(dec.get(), adaptive);
    if (o.repairBudget) {
        const int rc = kivSetRepairBudget(dec.get(), *o.repairBudget);
        if (rc != KIV_OK) {
            why = QStringLiteral("cannot set the repair budget: %1").arg(libraryError(rc));
            return nullptr;
        }
    }
    const int rc = kivSetSourceAddress(dec.get(), stream);
    if (rc != KIV_OK) {
        why = QStringLiteral("cannot start the %1 receiver on stream %2: %3").arg(o.transport).arg(stream).arg(libraryError(rc));
        return nullptr;
    }
    return dec;
}

kivStreamFormat lockedFormat(kivDecoder *d) {
    kivStreamFormat f{};
    kivGetRecvFormat(d, &f);
    return f;
}

void drainEncoder(kivEncoder *enc) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(1);
    kivEncoderStats s{};
    while (SteadyClock::now() < deadline && kivGetEncoderStats(enc, &s) == KIV_OK &&
           s.framesSent + s.framesDropped < s.framesEncoded)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace kivstream
