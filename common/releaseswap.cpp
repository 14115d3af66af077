#include "releaseswap.h"

#include "filekey.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

namespace {

const QString workName = QStringLiteral(".launcher-update");
const QString lockName = QStringLiteral(".launcher-update.lock");
// What earlier updaters staged in and, when killed, left behind.
const QString earlierStagingPattern = QStringLiteral(".update-??????");

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool isLink(const QFileInfo &info)
{
    return info.isSymLink() || info.isJunction();
}

bool isPresent(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

Status fileSystemFailure(const QString &message)
{
    return Status::fail(Failure::Kind::FileSystem, message);
}

void removeEarlierStaging(const QString &folder)
{
    const QFileInfoList found = QDir(folder).entryInfoList(
        {earlierStagingPattern}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : found) {
        if (!isLink(info))
            QDir(info.filePath()).removeRecursively();
    }
}

} // namespace

ReleaseSwap::ReleaseSwap(const QString &folder)
    : folder(QDir::cleanPath(folder)), work(this->folder + QLatin1Char('/') + workName)
{
}

ReleaseSwap::~ReleaseSwap() = default;

Status ReleaseSwap::lock()
{
    lockFile = std::make_unique<QLockFile>(folder + QLatin1Char('/') + lockName);
    // Only a holder that is gone leaves a stale lock, however long an update takes.
    lockFile->setStaleLockTime(0);
    if (lockFile->tryLock(0))
        return {};
    if (lockFile->error() == QLockFile::LockFailedError)
        return Status::fail(Failure::Kind::Busy,
                            QStringLiteral("Another update of the launcher is under way."));
    return fileSystemFailure(QStringLiteral("Cannot lock %1 for the update").arg(native(folder)));
}

Status ReleaseSwap::recover()
{
    removeEarlierStaging(folder);
    const QFileInfo workInfo(work);
    if (!isPresent(work))
        return {};
    if (isLink(workInfo) || !workInfo.isDir())
        return QFile::remove(work)
                   ? Status()
                   : fileSystemFailure(QStringLiteral("Cannot remove %1").arg(native(work)));
    if (!isPresent(work + QStringLiteral("/journal")))
        return finish(); // never committed: the folder did not change

    Direction direction = Direction::Forward;
    const Result<QList<Step>> steps = readJournal(direction);
    if (!steps.ok())
        return steps.failure();
    if (direction == Direction::Back) {
        const Status undone = back(*steps);
        return undone.ok() ? finish() : undone;
    }
    const Status done = forward(*steps);
    return done.ok() ? finish() : rollBack(*steps, done);
}

Status ReleaseSwap::commit(const QStringList &entries)
{
    const Result<QList<Step>> steps = plan(entries);
    Status status = steps.ok() ? writeJournal(Direction::Forward, *steps) : steps.failure();
    if (!status.ok()) {
        tidyUp();
        return status;
    }
    status = forward(*steps);
    if (!status.ok())
        return rollBack(*steps, status);
    // The release is in place; what cannot be tidied away now goes at the next start.
    tidyUp();
    return {};
}

Status ReleaseSwap::recoverIfInterrupted(const QString &folder)
{
    const QDir dir(folder);
    if (!isPresent(dir.filePath(workName)) && !isPresent(dir.filePath(lockName)) &&
        dir.entryList({earlierStagingPattern}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)
            .isEmpty())
        return {};
    ReleaseSwap swap(folder);
    const Status locked = swap.lock();
    return locked.ok() ? swap.recover() : locked;
}

Result<QList<ReleaseSwap::Step>> ReleaseSwap::plan(const QStringList &entries) const
{
    // Everything that stands in the way is found before the first file moves.
    QList<Step> folders;
    QList<Step> files;
    QSet<QString> planned;
    const auto conflict = [](const QString &message) {
        return Result<QList<Step>>::fail(Failure::Kind::Refused, message);
    };
    const auto placeFolders = [&](const QString &relative) -> Status {
        const QStringList parts = relative.split(QLatin1Char('/'));
        QString name;
        for (const QString &part : parts) {
            name += (name.isEmpty() ? QString() : QStringLiteral("/")) + part;
            const QFileInfo info(folder + QLatin1Char('/') + name);
            if (isLink(info))
                return Status::fail(Failure::Kind::Refused,
                                    QStringLiteral("%1 is a link").arg(native(info.filePath())));
            if (info.exists() && !info.isDir())
                return Status::fail(
                    Failure::Kind::Refused,
                    QStringLiteral("%1 is a file where the new release has a folder")
                        .arg(native(info.filePath())));
            if (!info.exists() && !planned.contains(name)) {
                planned.insert(name);
                folders.append({name, true, false});
            }
        }
        return {};
    };
    for (const QString &entry : entries) {
        const bool isFolder = entry.endsWith(QLatin1Char('/'));
        const QString name = isFolder ? entry.chopped(1) : entry;
        if (!isContainedRelativePath(name) || name.split(QLatin1Char('/')).first() == workName ||
            name == lockName)
            return conflict(QStringLiteral("Refused the release entry \"%1\"").arg(entry));
        const QString parent = isFolder ? name : QFileInfo(name).path();
        if (parent != QLatin1String(".")) {
            const Status placed = placeFolders(parent);
            if (!placed.ok())
                return placed.failure();
        }
        if (isFolder)
            continue;
        const QFileInfo target(folder + QLatin1Char('/') + name);
        if (target.isDir() && !isLink(target))
            return conflict(QStringLiteral("%1 is a folder where the new release has a file")
                                .arg(native(target.filePath())));
        files.append({name, false, isPresent(target.filePath())});
    }
    return folders + files;
}

Status ReleaseSwap::writeJournal(Direction direction, const QList<Step> &steps) const
{
    QSaveFile journal(work + QStringLiteral("/journal"));
    QByteArray text = direction == Direction::Forward ? "forward\n" : "back\n";
    for (const Step &step : steps)
        text += (step.folder ? "D\t" : step.hadOld ? "R\t" : "A\t") + step.name.toUtf8() + '\n';
    if (!journal.open(QIODevice::WriteOnly) || journal.write(text) != text.size() ||
        !journal.commit())
        return fileSystemFailure(QStringLiteral("Cannot write in %1").arg(native(work)));
    return {};
}

Result<QList<ReleaseSwap::Step>> ReleaseSwap::readJournal(Direction &direction) const
{
    QFile journal(work + QStringLiteral("/journal"));
    if (!journal.open(QIODevice::ReadOnly))
        return Result<QList<Step>>::fail(
            Failure::Kind::FileSystem,
            QStringLiteral("Cannot read %1").arg(native(journal.fileName())));
    const QList<QByteArray> lines = journal.readAll().split('\n');
    const QByteArray mode = lines.value(0);
    const auto broken = Result<QList<Step>>::fail(
        Failure::Kind::InvalidData,
        QStringLiteral("The record of an interrupted update is damaged: %1")
            .arg(native(journal.fileName())));
    if (mode != "forward" && mode != "back")
        return broken;
    direction = mode == "forward" ? Direction::Forward : Direction::Back;
    QList<Step> steps;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QByteArray kind = lines[i].left(2);
        const QString name = QString::fromUtf8(lines[i].mid(2));
        if ((kind != "D\t" && kind != "R\t" && kind != "A\t") || !isContainedRelativePath(name))
            return broken;
        steps.append({name, kind == "D\t", kind == "R\t"});
    }
    return steps;
}

Status ReleaseSwap::forward(const QList<Step> &steps) const
{
    const QString staging = stagingFolder();
    const QString kept = work + QStringLiteral("/old");
    for (const Step &step : steps) {
        const QString target = folder + QLatin1Char('/') + step.name;
        if (step.folder) {
            if (!QFileInfo(target).isDir() && !QDir().mkdir(target))
                return fileSystemFailure(QStringLiteral("Cannot create %1").arg(native(target)));
            continue;
        }
        const QString staged = staging + QLatin1Char('/') + step.name;
        if (!isPresent(staged))
            continue; // swapped in before an interruption
        if (step.hadOld) {
            const QString backup = kept + QLatin1Char('/') + step.name;
            QDir().mkpath(QFileInfo(backup).path());
            QFile::remove(backup);
            if (!platform::linkOrCopy(target, backup))
                return fileSystemFailure(
                    QStringLiteral("Cannot keep the previous %1").arg(native(target)));
        }
        if (!platform::replaceFile(staged, target))
            return fileSystemFailure(QStringLiteral("Cannot replace %1").arg(native(target)));
    }
    return {};
}

Status ReleaseSwap::back(const QList<Step> &steps) const
{
    const QString staging = stagingFolder();
    const QString kept = work + QStringLiteral("/old");
    Status first;
    for (auto step = steps.crbegin(); step != steps.crend(); ++step) {
        const QString target = folder + QLatin1Char('/') + step->name;
        if (step->folder) {
            QDir().rmdir(target);
            continue;
        }
        if (isPresent(staging + QLatin1Char('/') + step->name))
            continue; // never swapped in
        const QString backup = kept + QLatin1Char('/') + step->name;
        bool ok = true;
        if (step->hadOld)
            ok = !isPresent(backup) || platform::replaceFile(backup, target);
        else
            ok = !isPresent(target) || QFile::remove(target);
        if (!ok && first.ok())
            first = fileSystemFailure(QStringLiteral("Cannot restore %1").arg(native(target)));
    }
    return first;
}

Status ReleaseSwap::rollBack(const QList<Step> &steps, const Status &cause) const
{
    Status undone = writeJournal(Direction::Back, steps);
    if (undone.ok())
        undone = back(steps);
    if (!undone.ok())
        return Status::fail(cause.kind(), cause.message() +
                                              QStringLiteral("; undoing it failed too: ") +
                                              undone.message());
    tidyUp();
    return cause;
}

void ReleaseSwap::tidyUp() const
{
    const Status tidied = finish();
    if (!tidied.ok())
        qWarning().noquote() << "Left for the next start:" << tidied.message();
}

Status ReleaseSwap::finish() const
{
    // The journal goes first: what stays after an interruption here is never
    // mistaken for a swap to finish.
    const QString journal = work + QStringLiteral("/journal");
    if (isPresent(journal) && !QFile::remove(journal))
        return fileSystemFailure(QStringLiteral("Cannot remove %1").arg(native(journal)));
    if (!QDir(work).removeRecursively())
        return fileSystemFailure(QStringLiteral("Cannot remove %1").arg(native(work)));
    return {};
}
