#ifndef SETTABLE_CLOCK_H
#define SETTABLE_CLOCK_H

#include <QtGlobal>

// The window's statistics clock in tests: it stands still until a test moves it.
namespace settableClock {
void set(qint64 msecsSinceEpoch);
qint64 now();
} // namespace settableClock

#endif
