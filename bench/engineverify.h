#pragma once

#include <QList>
#include <QString>

struct EngineTimes
{
    int files = 0;
    QList<double> seconds; // one per run
    QString error;
};

// One check of `gameDir` by the engine, timed from the manifest's arrival to the
// verdict: the automatic one that trusts the install record, or the full one.
// The record lives with the player's data below $HOME, which the caller keeps
// between runs; `full` also writes it.
enum class CheckKind
{
    Startup,
    Full
};
EngineTimes timeEngineCheck(const QString &gameDir, const QString &manifestDir, CheckKind kind);

// Times `runs` verifications of `gameDir` by the launcher's update engine
// against the manifest served from `manifestDir`.
EngineTimes timeEngineVerification(const QString &gameDir, const QString &manifestDir, int runs);
