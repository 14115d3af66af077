#pragma once

#include <QList>
#include <QString>

struct EngineTimes
{
    int files = 0;
    QList<double> seconds; // one per run
    QString error;
};

// Times `runs` verifications of `gameDir` by the launcher's update engine
// against the manifest served from `manifestDir`.
EngineTimes timeEngineVerification(const QString &gameDir, const QString &manifestDir, int runs);
