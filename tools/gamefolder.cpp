#include "gamefolder.h"

#include "filekey.h"

#include <QDir>
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

Result<QString> canonicalFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.isDir())
        return Result<QString>::fail(Failure::Kind::InvalidData,
                                     QStringLiteral("%1 is not a folder").arg(folder));
    return info.canonicalFilePath();
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

namespace {

struct Walk
{
    QString root;
    QDir rootDir;
    GameFolderListing listing;

    void problem(const QString &key, const QString &what)
    {
        listing.problems << printable(key) + QStringLiteral(": ") + what;
    }

    // `ancestors` holds the canonical folders on the way down, to stop link loops.
    void folder(const QString &path, QStringList &ancestors)
    {
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &info : entries) {
            const QString key = QLatin1Char('/') + rootDir.relativeFilePath(info.filePath());
            if (!isSafeFileKey(key)) {
                problem(key, QStringLiteral("this name cannot be published safely (a \"..\" part, "
                                            "a backslash, a colon or a control character)"));
                continue;
            }
            const QString target = info.canonicalFilePath();
            if (target.isEmpty()) {
                problem(key, QStringLiteral("broken link"));
                continue;
            }
            // Checked before descending, so a link to "/" costs nothing.
            if (!isInsideOrSame(target, root)) {
                problem(key, QStringLiteral("link leads outside the game folder (to %1)")
                                 .arg(printable(target)));
                continue;
            }
            if (info.isDir()) {
                if (ancestors.contains(target)) {
                    problem(key, QStringLiteral("link loops back to a folder above it"));
                    continue;
                }
                ancestors.append(target);
                folder(info.filePath(), ancestors);
                ancestors.removeLast();
            } else if (info.isFile()) {
                listing.files.append({key, info.filePath(), info.size()});
            } else {
                problem(key, QStringLiteral("not a regular file"));
            }
        }
    }
};

} // namespace

GameFolderListing listGameFolder(const QString &folder)
{
    Walk walk;
    const Result<QString> root = canonicalFolder(folder);
    if (!root) {
        walk.listing.problems << root.message();
        return walk.listing;
    }
    walk.root = root.value();
    walk.rootDir = QDir(walk.root);
    QStringList ancestors{walk.root};
    walk.folder(walk.root, ancestors);
    std::sort(walk.listing.files.begin(), walk.listing.files.end(),
              [](const GameFile &a, const GameFile &b) { return a.key < b.key; });
    walk.listing.problems.sort();
    return walk.listing;
}
