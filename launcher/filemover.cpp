#include "filemover.h"

#include "filekey.h"
#include "folderpair.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QLockFile>
#include <QStorageInfo>
#include <QStringList>

#include <algorithm>
#include <optional>

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

Status refused(const QString &message)
{
    return Status::fail(Failure::Kind::Refused, message);
}

bool isLink(const QFileInfo &info)
{
    return info.isSymLink() || info.isJunction();
}

// The first folder between `root` and `root`/`entry` that is a link, or empty.
// The entry itself is looked at only when `includingLast` is set.
QString linkOnTheWay(const QString &root, const QString &entry, bool includingLast)
{
    const QStringList parts = entry.split(QLatin1Char('/'));
    QString path = root;
    for (qsizetype i = 0; i < parts.size() - (includingLast ? 0 : 1); ++i) {
        path += QLatin1Char('/') + parts.at(i);
        if (isLink(QFileInfo(path)))
            return path;
    }
    return {};
}

// The first failure, and how many followed it: the walk goes on after one.
class Outcome
{
public:
    void add(const Status &status)
    {
        if (status.ok())
            return;
        if (failures++ == 0)
            first = status;
    }
    Status result() const
    {
        if (failures <= 1)
            return first;
        return Status::fail(
            first.kind(),
            QStringLiteral("%1 (%2 more failed)").arg(first.message()).arg(failures - 1));
    }

private:
    Status first;
    int failures = 0;
};

// What one run works on, relative to the source root.
struct Work
{
    QString root;        // the source, resolved
    QStringList files;   // files and links to move or delete
    QStringList folders; // whole-tree runs: the folders, each before what it holds
    bool listed = false;
};

Result<Work> walkTree(const QString &source, const QStringList &ignored)
{
    Work work;
    work.root = QFileInfo(source).canonicalFilePath();
    if (work.root.isEmpty())
        return work; // nothing there to move or delete
    const QDir root(work.root);
    QDirIterator it(work.root,
                    QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = root.relativeFilePath(it.next());
        if (ignored.contains(relative))
            continue;
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !isLink(info))
            work.folders.append(relative);
        else
            work.files.append(relative);
    }
    return work;
}

Result<Work> readListed(const QString &source, const QString &listFile, const QStringList &ignored)
{
    const EntryList list = readEntryList(listFile);
    if (!list.ok)
        return Result<Work>::fail(Failure::Kind::InvalidData,
                                  QStringLiteral("%1: %2").arg(native(listFile), list.error));
    Work work;
    work.listed = true;
    work.root = QFileInfo(source).canonicalFilePath();
    if (work.root.isEmpty())
        return Result<Work>::fail(Failure::Kind::FileSystem,
                                  QStringLiteral("%1 does not exist").arg(native(source)));
    for (const QString &entry : list.entries) {
        if (!isContainedRelativePath(entry) || QDir::cleanPath(entry) != entry ||
            entry == QLatin1String("."))
            return Result<Work>::fail(Failure::Kind::Refused,
                                      QStringLiteral("Refused the entry \"%1\": it does not name a "
                                                     "place inside %2")
                                          .arg(entry, native(source)));
        const QString link = linkOnTheWay(work.root, entry, false);
        if (!link.isEmpty())
            return Result<Work>::fail(Failure::Kind::Refused,
                                      QStringLiteral("Refused: %1 is a link").arg(native(link)));
        if (!ignored.contains(entry))
            work.files.append(entry);
    }
    return work;
}

// Listed entries already gone need no work; a listed folder is only removed once emptied.
bool needsWork(const Work &work, const QFileInfo &info)
{
    if (!work.listed)
        return true;
    return (info.exists() || info.isSymLink()) && !(info.isDir() && !isLink(info));
}

QString nearestExisting(QString folder)
{
    while (!QFileInfo(folder).isDir() && QFileInfo(folder).path() != folder)
        folder = QFileInfo(folder).path();
    return folder;
}

// Refuses up front a move that would not fit. Within a file system a file is
// renamed and needs no room; across, each new file is whole on the disk before
// the old one it replaces is gone, so what counts is the most held at once.
Status checkSpace(const Work &work, const QString &destRoot)
{
    QHash<QString, QString> mountOf;
    const auto mount = [&mountOf](const QString &folder) {
        auto it = mountOf.find(folder);
        if (it == mountOf.end())
            it = mountOf.insert(folder, QStorageInfo(folder).rootPath());
        return *it;
    };
    struct Need
    {
        qint64 held = 0;
        qint64 peak = 0;
    };
    QHash<QString, Need> needs;
    for (const QString &file : work.files) {
        const QFileInfo staged(work.root + QLatin1Char('/') + file);
        if (!staged.isFile() || isLink(staged))
            continue;
        const QFileInfo target(destRoot + QLatin1Char('/') + file);
        const QString targetMount = mount(nearestExisting(target.path()));
        if (targetMount == mount(staged.path()))
            continue;
        const qint64 block = 4096;
        const auto onDisk = [block](qint64 size) { return (size + block - 1) / block * block; };
        Need &need = needs[targetMount];
        need.held += onDisk(staged.size());
        need.peak = std::max(need.peak, need.held);
        if (target.isFile() && !isLink(target))
            need.held -= onDisk(target.size());
    }
    for (auto it = needs.cbegin(); it != needs.cend(); ++it) {
        const qint64 available = QStorageInfo(it.key()).bytesAvailable();
        if (it->peak > available) {
            const QLocale locale;
            return Status::fail(Failure::Kind::NoSpace,
                                QStringLiteral("Not enough free space for the files in %1: %2 "
                                               "needed, %3 available on %4")
                                    .arg(native(destRoot), locale.formattedDataSize(it->peak),
                                         locale.formattedDataSize(std::max<qint64>(available, 0)),
                                         native(it.key())));
        }
    }
    return {};
}

Status moveInto(const Work &work, const QString &dest)
{
    if (!QDir().mkpath(dest) || !QFileInfo(dest).isDir())
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("Cannot create the folder %1").arg(native(dest)));
    const QString destRoot = QFileInfo(dest).canonicalFilePath();
    // Nothing is written through a link inside the destination, which could lead anywhere.
    for (const QString &folder : work.folders) {
        const QString link = linkOnTheWay(destRoot, folder, true);
        if (!link.isEmpty())
            return refused(QStringLiteral("Refused: %1 is a link").arg(native(link)));
    }
    for (const QString &file : work.files) {
        const QString link = linkOnTheWay(destRoot, file, false);
        if (!link.isEmpty())
            return refused(QStringLiteral("Refused: %1 is a link").arg(native(link)));
    }
    const Status space = checkSpace(work, destRoot);
    if (!space.ok())
        return space;

    Outcome outcome;
    const QDir destDir(destRoot);
    for (const QString &folder : work.folders)
        destDir.mkpath(folder);
    for (const QString &file : work.files) {
        const QString path = work.root + QLatin1Char('/') + file;
        if (!needsWork(work, QFileInfo(path)))
            continue;
        const QString target = destDir.filePath(file);
        const QString parent = QFileInfo(target).path();
        if (!QDir().mkpath(parent) || !QFileInfo(parent).isDir()) {
            outcome.add(
                Status::fail(Failure::Kind::FileSystem,
                             QStringLiteral("Cannot create the folder %1").arg(native(parent))));
            continue;
        }
        outcome.add(platform::moveReplacing(path, target));
    }
    return outcome.result();
}

// Removes the now empty folders above the entries, deepest first, then `root`
// itself when empty. Folders still holding anything stay, and that is no failure.
void removeEmptiedFolders(const QString &root, const QStringList &entries)
{
    QStringList folders;
    for (const QString &entry : entries) {
        QString folder = QFileInfo(entry).path();
        while (folder != QLatin1String(".") && !folder.isEmpty()) {
            if (!folders.contains(folder))
                folders.append(folder);
            folder = QFileInfo(folder).path();
        }
    }
    std::sort(folders.begin(), folders.end(), [](const QString &a, const QString &b) {
        return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
    });
    QDir dir(root);
    for (const QString &folder : std::as_const(folders))
        dir.rmdir(folder);
    QDir().rmdir(root);
}

Status deleteAll(const Work &work, const QString &source)
{
    Outcome outcome;
    for (const QString &file : work.files) {
        const QString path = work.root + QLatin1Char('/') + file;
        if (needsWork(work, QFileInfo(path)) && !QFile::remove(path))
            outcome.add(Status::fail(Failure::Kind::FileSystem,
                                     QStringLiteral("Cannot remove %1").arg(native(path))));
    }
    if (work.listed)
        return outcome.result();
    for (auto it = work.folders.crbegin(); it != work.folders.crend(); ++it) {
        const QString path = work.root + QLatin1Char('/') + *it;
        if (!QDir().rmdir(path))
            outcome.add(
                Status::fail(Failure::Kind::FileSystem,
                             QStringLiteral("Cannot remove the folder %1").arg(native(path))));
    }
    const QString root = work.root.isEmpty() ? source : work.root;
    if (!QDir().rmdir(root))
        outcome.add(Status::fail(Failure::Kind::FileSystem,
                                 QStringLiteral("Cannot remove the folder %1").arg(native(root))));
    return outcome.result();
}

} // namespace

Status moveFiles(QString source, QString dest, const QString &ignore, const QString &listFile)
{
    // Windows paths cannot hold a quote, and one left by a trailing backslash
    // that escaped the closing quote is removed. Elsewhere a quote is part of the name.
    if (platform::hostOs() == platform::Os::Windows) {
        source.remove(QLatin1Char('"'));
        dest.remove(QLatin1Char('"'));
    }
    const QStringList ignored = ignore.split(QLatin1Char(','));
    const bool moving = !dest.isEmpty();

    // An empty source would walk the working folder; a relative path, whatever
    // folder the elevated copy happened to start in.
    if (source.isEmpty() || QDir::isRelativePath(QDir::fromNativeSeparators(source)) ||
        (moving && QDir::isRelativePath(QDir::fromNativeSeparators(dest))))
        return refused(QStringLiteral("Refused: the folders must be given as full paths"));
    if (moving &&
        foldersOverlap(QFileInfo(source).absoluteFilePath(), QFileInfo(dest).absoluteFilePath()))
        return refused(
            QStringLiteral("Refused: %1 and %2 overlap").arg(native(source), native(dest)));

    // Held while we work, so a launcher started again after a kill waits for us.
    std::optional<QLockFile> busy;
    if (!listFile.isEmpty()) {
        busy.emplace(QFileInfo(listFile).path() + QStringLiteral("/mover.lock"));
        busy->setStaleLockTime(0);
        busy->tryLock(0);
    }
    const Result<Work> work =
        listFile.isEmpty() ? walkTree(source, ignored) : readListed(source, listFile, ignored);
    if (!work.ok())
        return work.failure();

    const Status done = moving ? moveInto(*work, dest) : deleteAll(*work, source);
    if (work->listed)
        removeEmptiedFolders(work->root, work->files);
    return done;
}
