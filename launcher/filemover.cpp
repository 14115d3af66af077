#include "filemover.h"

#include "filekey.h"
#include "folderpair.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>

#include <algorithm>

namespace {

bool isLink(const QFileInfo &info)
{
    return info.isSymLink() || info.isJunction();
}

// An entry is used only when it names a place below `root` without passing
// through a link, so a planted link cannot carry a move or delete elsewhere.
bool isUsableEntry(const QString &root, const QString &entry)
{
    if (!isContainedRelativePath(entry) || QDir::cleanPath(entry) != entry ||
        entry == QLatin1String("."))
        return false;
    const QStringList parts = entry.split(QLatin1Char('/'));
    QString path = root;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        path += QLatin1Char('/') + parts.at(i);
        if (isLink(QFileInfo(path)))
            return false;
    }
    return true;
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

// Moves `path` over `target`, replacing what is there, or removes it when
// `target` is empty; false when the file could not be moved or removed.
bool moveOrRemove(const QString &path, const QString &target)
{
    if (target.isEmpty())
        return QFile::remove(path);
    QDir().mkpath(QFileInfo(target).path());
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        QFile::remove(target);
    return QFile::rename(path, target);
}

bool moveListed(const QString &source, const QString &dest, const QStringList &ignored,
                const QString &listFile)
{
    // Held while we work, so a launcher started again after a kill waits for us.
    QLockFile busy(QFileInfo(listFile).path() + QStringLiteral("/mover.lock"));
    busy.setStaleLockTime(0);
    busy.tryLock(0);
    const EntryList list = readEntryList(listFile);
    if (!list.ok)
        return false;
    const QString root = QFileInfo(source).canonicalFilePath();
    if (root.isEmpty())
        return false;
    for (const QString &entry : list.entries) {
        if (!isUsableEntry(root, entry))
            return false;
    }

    const bool moving = !dest.isEmpty();
    const QDir destDir(dest);
    if (moving)
        QDir().mkpath(dest);
    bool ok = true;
    for (const QString &entry : list.entries) {
        if (ignored.contains(entry))
            continue;
        const QString path = root + QLatin1Char('/') + entry;
        const QFileInfo info(path);
        // What is already gone needs no work; a folder is only removed once emptied.
        if ((!info.exists() && !info.isSymLink()) || (info.isDir() && !isLink(info)))
            continue;
        if (!moveOrRemove(path, moving ? destDir.filePath(entry) : QString()))
            ok = false;
    }
    removeEmptiedFolders(root, list.entries);
    return ok;
}

bool moveTree(const QString &source, const QString &dest, const QStringList &ignored)
{
    const bool moving = !dest.isEmpty();
    const QDir sourceDir(source);
    const QDir destDir(dest);
    if (moving)
        QDir().mkpath(dest);

    bool ok = true;
    QStringList directoriesToRemove;
    QDirIterator it(source,
                    QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = sourceDir.relativeFilePath(path);
        if (ignored.contains(relative))
            continue;

        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink()) {
            if (moving)
                destDir.mkpath(relative);
            else
                directoriesToRemove.prepend(path);
            continue;
        }

        if (!moveOrRemove(path, moving ? destDir.filePath(relative) : QString()))
            ok = false;
    }

    if (!moving) {
        for (const QString &directory : std::as_const(directoriesToRemove)) {
            if (!QDir().rmdir(directory))
                ok = false;
        }
        if (!QDir().rmdir(source))
            ok = false;
    }
    return ok;
}

} // namespace

bool moveFiles(QString source, QString dest, QString ignore, const QString &listFile)
{
    // A trailing backslash on the command line can leave a quote in the value.
    source.remove(QLatin1Char('"'));
    dest.remove(QLatin1Char('"'));
    const QStringList ignored = ignore.split(QLatin1Char(','));
    const bool moving = !dest.isEmpty();

    // An empty source would walk the working folder; a relative path, whatever
    // folder the elevated copy happened to start in.
    if (source.isEmpty())
        return false;
    if (QDir::isRelativePath(QDir::fromNativeSeparators(source)) ||
        (moving && QDir::isRelativePath(QDir::fromNativeSeparators(dest))))
        return false;
    if (moving &&
        foldersOverlap(QFileInfo(source).absoluteFilePath(), QFileInfo(dest).absoluteFilePath()))
        return false;

    if (!listFile.isEmpty())
        return moveListed(source, dest, ignored, listFile);
    return moveTree(source, dest, ignored);
}
