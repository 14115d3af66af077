#pragma once

#include "recordkeeper.h"
#include "result.h"

#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class Prompter;

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
        bool leftOtherFiles = false; // the old folder still holds files that are not the game's
    };

    // A process of the game's executable runs from the install folder.
    static bool isGameRunning();
    // The same for a given folder and executable file name, on any thread.
    static bool gameRunsFrom(const QString &folder, const QString &executable);
    // What the launcher installed in `folder` and nobody changed since (see
    // ownedfiles.h), plus the installation marker, relative to the folder.
    static QStringList ownedEntries(const QString &folder, const QJsonObject &table);

    Status installFiles(const QString &source, const QString &destination,
                        const QStringList &ignore);
    // Moves the staged files of `keys` that `table` lists into the install folder,
    // after removing the launcher's files that stand in their way, and records them.
    // Taken by value: what the engine holds may change under the event loops
    // that keep the window painting while the files move.
    MoveIn moveStagedIn(QSet<QString> keys, QJsonObject table, QString build);
    // Removes the files a newer build dropped that nobody changed since they
    // were installed, and takes them out of `record`, the folder's record.
    void removeDropped(const QJsonObject &table, InstallRecord record);
    // Moves what the game owns from the install folder into `destination`.
    Result<Relocation> relocate(const QString &destination, const QJsonObject &table);
    // Removes what the game owns from `folder`, elevated where it is not writable.
    Status removeGame(const QString &folder, const QJsonObject &table);
    // Files `folder` still holds (the player's, or changed since they were installed).
    static int filesLeftIn(const QString &folder);
    // Asks before an uninstall; without a prompter the answer is No.
    static bool confirmUninstall(Prompter *prompter);
    // After an uninstall: why the folder is still there, if it is.
    static void tellWhatWasKept(const QString &folder, Prompter *prompter);
    // Unpacks the legacy client's archive and moves its files into the install folder.
    Status migrateLegacy();

signals:
    void fileWorkStarted(bool uninstalling);
    void fileWorkEnded();
    void error(const QString &message);

private:
    Status asFileWork(bool uninstalling, const std::function<Status()> &step);
    Status removeListed(const QString &folder, const QString &listName, const QStringList &entries);
    void report(const Status &status);

    RecordKeeper records;
};
