#include "gamefolder.h"

#include "filekey.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>

namespace {

// Control characters in names would garble the terminal.
QString printable(QString name)
{
    for (QChar &c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    }
    return name;
}

} // namespace

QString canonicalFolder(const QString &folder)
{
    const QFileInfo info(folder);
    return info.isDir() ? info.canonicalFilePath() : QString();
}

QString canonicalPathFor(const QString &path)
{
    QString existing = QFileInfo(path).absoluteFilePath();
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return QDir::cleanPath(path);
        rest = QLatin1Char('/') + QFileInfo(existing).fileName() + rest;
        existing = parent;
    }
    return QDir::cleanPath(QFileInfo(existing).canonicalFilePath() + rest);
}

bool isInsideOrSame(const QString &path, const QString &folder)
{
    if (path == folder)
        return true;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix);
}

GameFolderListing listGameFolder(const QString &folder)
{
    GameFolderListing listing;
    const QString root = canonicalFolder(folder);
    const QDir rootDir(root);
    // System brings special files and broken links into view so they are
    // reported instead of silently left out.
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString key = QLatin1Char('/') + rootDir.relativeFilePath(path);
        if (!isSafeFileKey(key)) {
            listing.problems << QStringLiteral("%1: this name cannot be published safely (a "
                                               "\"..\" part, a backslash, a colon or a control "
                                               "character)")
                                    .arg(printable(key));
            continue;
        }
        const QString target = info.canonicalFilePath();
        if (target.isEmpty()) {
            listing.problems << QStringLiteral("%1: broken link").arg(key);
            continue;
        }
        if (!isInsideOrSame(target, root)) {
            listing.problems << QStringLiteral("%1: link leads outside the game folder (to %2)")
                                    .arg(key, target);
            continue;
        }
        if (!info.isFile()) {
            listing.problems << QStringLiteral("%1: not a regular file").arg(key);
            continue;
        }
        listing.files.append({key, path, info.size()});
    }
    std::sort(listing.files.begin(), listing.files.end(),
              [](const GameFile &a, const GameFile &b) { return a.key < b.key; });
    listing.problems.sort();
    return listing;
}
