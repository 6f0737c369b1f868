#include "testerclock.h"

#include <QDateTime>

qint64 testerCurrentMSecs()
{
    return QDateTime::currentMSecsSinceEpoch();
}
