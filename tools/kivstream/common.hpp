// SPDX-License-Identifier: MIT
// What the commands share: library handles, output, clocks, pacing and the
// opening of senders and receivers.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "kivVidStreamLib2.hpp"
#include "options.hpp"
#include "pattern.hpp"

namespace kivstream {

using SteadyClock = std::chrono::steady_clock;

using EncoderPtr = kiv::EncoderHandle;
using DecoderPtr = kiv::DecoderHandle;

void print(FILE *f, const QString &text);
void out(const QString &text);
void err(const QString &text); // "kivstream: text" on stderr
// The library's text for `code`, with the calling thread's detail when there is one.
QString libraryError(int code);

int64_t wallUs();
int64_t wallMs();
double secondsSince(SteadyClock::time_point t);
// `n` per second over `secs`; 0 for a run too short to time.
inline double perSecond(double n, double secs) { return secs > 0 ? n / secs : 0.0; }
// Sleeps until `t` in short slices so that Ctrl-C is seen at once.
void sleepUntil(SteadyClock::time_point t);

// Frame pacing: the next frame is due 1/fps after the previous one was due; a
// sender that fell far behind starts afresh instead of bursting to catch up.
class Pacer {
public:
    explicit Pacer(double fps);
    // Never sleeps past `deadline`: a slow rate must not outlast the time limit.
    void wait(SteadyClock::time_point deadline);

private:
    SteadyClock::duration period_;
    SteadyClock::time_point next_;
};

// True at most once per `period`, the first time at once.
class Every {
public:
    explicit Every(SteadyClock::duration period) : period_(period) {}
    bool due();

private:
    SteadyClock::duration period_;
    SteadyClock::time_point next_{};
};

// A live status line on a terminal: redrawn at most four times a second.
class Progress {
public:
    explicit Progress(bool enabled);
    ~Progress() { clear(); }
    bool due();
    void show(const QString &line);
    void clear();

private:
    bool enabled_;
    bool shown_ = false;
    Every redraw_{std::chrono::milliseconds(250)};
};

bool limitReached(const Options &o, uint64_t frames, SteadyClock::time_point start);
// When --seconds ends a run that starts at `start`; far in the future without it.
SteadyClock::time_point deadlineOf(const Options &o, SteadyClock::time_point start);

// Produces the frames a sender sends: the tester's picture or the check pattern.
class FrameSource {
public:
    explicit FrameSource(const Options &o);
    const uint8_t *frame(uint32_t n);

private:
    bool jpeg_;
    std::optional<TestPicture> picture_;
    std::optional<CheckPattern> pattern_;
    std::vector<uint8_t> buffer_;
};

// "ADDRESS stream N", or "stream N" for memory, which has no address.
QString destinationText(const Options &o, int stream);

// Open a sender or receiver; on failure they say why and return nullptr.
// `unsupported` is set when the library has no such transport, and left alone otherwise.
EncoderPtr openEncoder(const Options &o, int stream, QString &why, bool &unsupported);
DecoderPtr openDecoder(const Options &o, int stream, int adaptive, QString &why, bool &unsupported);

kivStreamFormat lockedFormat(kivDecoder *d);

// Waits until the transport has handed on what was encoded, so that the last
// frames of a short run are not cut off by deleting the encoder.
void drainEncoder(kivEncoder *enc);

} // namespace kivstream
