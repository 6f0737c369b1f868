// SPDX-License-Identifier: MIT
#include "wallclock.h"

#include <QDateTime>

#include <chrono>

qint64 testerCurrentMSecs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 testerCurrentUSecs()
{
    // The clock the library stamps send times with.
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
