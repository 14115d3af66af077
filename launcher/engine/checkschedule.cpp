#include "checkschedule.h"

#include <QDateTime>

CheckSchedule::CheckSchedule(QObject *parent) : QObject(parent)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] {
        if (wanted)
            emit due();
    });
}

bool CheckSchedule::holdsBack(const QString &lastCheck)
{
    const QDateTime last = QDateTime::fromString(lastCheck, Qt::ISODate);
    const QDateTime now = QDateTime::currentDateTime();
    if (!last.isValid() || last.addSecs(1) <= now)
        return false;
    // A last check in the future (a clock set back) holds us no longer than a second.
    const qint64 wait = qBound(qint64(1), now.msecsTo(last.addSecs(1)), qint64(1000));
    wanted = true;
    if (!timer.isActive())
        timer.start(static_cast<int>(wait));
    return true;
}

void CheckSchedule::engineIdle()
{
    if (wanted && !timer.isActive())
        timer.start(0);
}

void CheckSchedule::checkSent()
{
    wanted = false;
    stale = false;
    timer.stop();
}
