#include "settable_clock.h"
#include "testerclock.h"

#include <atomic>

namespace {
std::atomic<qint64> current{1'700'000'000'000};
}

void settableClock::set(qint64 msecsSinceEpoch) { current.store(msecsSinceEpoch); }
qint64 settableClock::now() { return current.load(); }

qint64 testerCurrentMSecs() { return current.load(); }
