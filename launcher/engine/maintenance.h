#pragma once

#include "result.h"

#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// Everything that changes the game folder through the file mover: moving files
// in, moving staged downloads in, relocating, uninstalling and migrating a
// legacy installation; and whether the game runs. Each move is bracketed by
// fileWorkStarted()/fileWorkEnded() so the engine can hold other work, and
// every failure reaches the player through error().
class Maintenance final : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    enum class MoveIn
    {
        Installed,
        NothingStaged,
        GameRunning,
        Failed,
        Busy // another file operation or a run is under way: nothing was moved
    };
    Q_ENUM(MoveIn)

    struct Relocation
    {
        bool ok = false;
        QString error;
        bool leftOtherFiles = false; // the old folder still holds files that are not the game's
    };

    // A process of the game's executable runs from the install folder.
    static bool isGameRunning();
    // The manifest's files and the installation marker, relative to the game folder.
    static QStringList ownedEntries(const QJsonObject &table);

    bool installFiles(const QString &source, const QString &destination, const QStringList &ignore);
    // Moves the staged files of `keys` that `table` lists into the install folder.
    MoveIn moveStagedIn(const QSet<QString> &keys, const QJsonObject &table);
    // Moves what the game owns from the install folder into `destination`.
    Relocation relocate(const QString &destination, const QJsonObject &table);
    // Removes what the game owns from `folder`, elevated where it is not writable.
    bool removeGame(const QString &folder, const QJsonObject &table);
    // Unpacks the legacy client's archive and moves its files into the install folder.
    bool migrateLegacy();

signals:
    void fileWorkStarted(bool uninstalling);
    void fileWorkEnded();
    void error(const QString &message);

private:
    Status asFileWork(bool uninstalling, const std::function<Status()> &step);
    void report(const Status &status);
};
