// SPDX-License-Identifier: MIT
// The tester as the window and kivstream both see it.
#pragma once

#include <QImage>
#include <QLine>
#include <QColor>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "kivVidStreamLib2.h"

namespace kivtester {

// Channel 0 is stream 10588.
inline constexpr int kChannelBase = 10588;

// "16-bit", "24-bit", "32-bit", "8-bit" by depth code; "N/A" for any other.
QString depthText(int depthCode);
bool knownDepth(int depthCode);
// The picture format of a depth code; Format_Invalid for an unknown one.
QImage::Format imageFormat(int depthCode);

// One line of the test picture from seven draws of 0..32767 on a picture of
// `size`: draw 32767 reaches the width (or height, or 255), one past the last pixel.
struct TestLine {
    QLine line;
    QColor colour;
};
TestLine testLine(const std::array<int, 7> &draws, QSize size);

// The test picture: a grey ground with one more random line per frame, two
// pixels wide with square caps. Its bytes are exactly kivGetByteSize() of the
// format, rows padded to 4 bytes.
class TestPicture {
public:
    using Draw = std::function<int()>; // 0..32767
    // Lines from a generator of its own.
    TestPicture(const kivStreamFormat &format, uint32_t seed);
    // Lines from `draw`, which may go on from one picture to the next.
    TestPicture(const kivStreamFormat &format, Draw draw);
    void drawLine();
    const uint8_t *bits() const { return image_.constBits(); }
    const QImage &image() const { return image_; }

private:
    QImage image_;
    Draw draw_;
};

// What arrived in one second, as the tester's panel shows it.
struct PanelSecond {
    uint64_t frames = 0;
    uint64_t imageBytes = 0;    // per second
    uint64_t transferBytes = 0; // per second
    bool haveFormat = false;    // false until some frame was counted
    kivStreamFormat format{};   // of the last frame counted
    uint32_t imageBytesPerFrame = 0;
    int64_t transferBytesPerFrame = 0; // rounded down
    int64_t startMs = 0;               // wall clock at the period's start
};

// The panel's period rule: a period is reported at the first poll a full
// second after its start, and the next one starts exactly 1000 ms later, so a
// held-up caller catches up one period per poll and a clock set back waits.
class PanelCounter {
public:
    explicit PanelCounter(int64_t startMs) : periodStart_(startMs) {}
    void addFrame(uint32_t transferBytes, const kivStreamFormat &format);
    std::optional<PanelSecond> poll(int64_t nowMs);
    // Milliseconds until poll() has a period to report; 0 when it has one now.
    int64_t msUntilDue(int64_t nowMs) const { return std::max<int64_t>(periodStart_ + 1000 - nowMs, 0); }
    // Forgets the frames of this period and the format; the period goes on.
    void restart();

private:
    int64_t periodStart_;
    uint64_t frames_ = 0, image_ = 0, transfer_ = 0;
    bool haveFormat_ = false;
    kivStreamFormat format_{};
};

} // namespace kivtester

namespace kivtester {
// The calling thread's reason for the library call that just failed with
// `code`: the library's detail, else the code's text.
QString failureText(int code);
} // namespace kivtester
