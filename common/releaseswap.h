#pragma once

#include "result.h"

#include <QLockFile>
#include <QString>
#include <QStringList>

#include <memory>

// Puts a new launcher release in place so that, wherever the process is killed,
// the folder holds a launcher that starts and can be brought back to one whole
// release. The release is staged in a hidden folder beside the files it
// replaces; a journal is written before the first file is swapped in; each
// swap keeps the replaced file under a second name and puts the new one in
// place with one rename. A later start (of the launcher or the updater)
// finishes a swap whose journal exists, or rolls it back when finishing fails;
// without a journal the folder never changed and the staged files are dropped.
class ReleaseSwap final
{
public:
    explicit ReleaseSwap(const QString &folder);
    ~ReleaseSwap();

    // The folder's update lock, held until destruction; Busy while another
    // live process holds it.
    Status lock();

    // Ends an interrupted swap (forward, or back where forward fails) and
    // removes what it left behind. Call with the lock held.
    Status recover();

    // Where the release is unpacked (and its package kept) before commit().
    QString workFolder() const { return work; }
    QString stagingFolder() const { return work + QStringLiteral("/new"); }

    // Swaps the staged entries in (relative names, folders ending in "/").
    // On failure every replaced file is put back and nothing of the release stays.
    Status commit(const QStringList &entries);

    // The launcher's start: recovers when an interrupted swap is left, unless
    // an updater is at work on the folder right now.
    static Status recoverIfInterrupted(const QString &folder);

private:
    struct Step
    {
        QString name;
        bool folder = false; // a folder this swap creates
        bool hadOld = false; // a file that replaces one already there
    };
    enum class Direction
    {
        Forward,
        Back
    };

    Result<QList<Step>> plan(const QStringList &entries) const;
    Status writeJournal(Direction direction, const QList<Step> &steps) const;
    Result<QList<Step>> readJournal(Direction &direction) const;
    Status forward(const QList<Step> &steps) const;
    Status back(const QList<Step> &steps) const;
    Status rollBack(const QList<Step> &steps, const Status &cause) const;
    Status finish() const;
    void tidyUp() const;

    QString folder;
    QString work;
    std::unique_ptr<QLockFile> lockFile;
};
