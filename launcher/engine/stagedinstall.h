#pragma once

#include "result.h"

#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

// Prepares the move of checked staged files into the game folder: only files
// checked against the current manifest go in; anything else staged (a partial
// file, a leftover of a killed run) waits or is gone.
class StagedInstall final
{
public:
    struct Plan
    {
        QStringList entries; // relative paths; empty when nothing is staged
        QString listFile;    // the mover's list of them
    };

    // Fails with GameRunning when `executable` runs from `installFolder`, or with
    // the reason the staging folder or the pair of folders cannot be used. Reads
    // no preferences, so it may run on a pool thread.
    static Result<Plan> prepare(const QSet<QString> &keys, const QJsonObject &table,
                                const QString &installFolder, const QString &executable);

    // The empty marker a completed run leaves at the top of the temporary location.
    static void markRunComplete();

    static QString gameStartedMessage();

private:
    static void pruneStaging(const QJsonObject &table);
};
