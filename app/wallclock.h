// SPDX-License-Identifier: MIT
#ifndef WALLCLOCK_H
#define WALLCLOCK_H

#include <QtGlobal>

// Wall-clock milliseconds since the epoch for the statistics period, and
// microseconds for a frame's latency. Defined in wallclock.cpp for the
// program; tests link a clock they can set instead.
qint64 testerCurrentMSecs();
qint64 testerCurrentUSecs();

#endif // WALLCLOCK_H
