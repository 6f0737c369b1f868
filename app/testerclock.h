#ifndef TESTERCLOCK_H
#define TESTERCLOCK_H

#include <QtGlobal>

// Wall-clock milliseconds since the epoch for the statistics period. Defined in
// testerclock.cpp for the program; tests link a clock they can set instead.
qint64 testerCurrentMSecs();

#endif // TESTERCLOCK_H
