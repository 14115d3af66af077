#include "folderpair.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A list of what a game owns stays far below this; anything larger is not ours.
constexpr qint64 maxEntryListBytes = 64 * 1024 * 1024;

} // namespace

QString resolvedFolder(const QString &path)
{
    const QString absolute = QDir::fromNativeSeparators(path);
    if (absolute.isEmpty() || QDir::isRelativePath(absolute))
        return {};
    QString existing = QDir::cleanPath(absolute);
    QStringList missing;
    for (;;) {
        const QFileInfo info(existing);
        if (info.exists() || info.isSymLink()) {
            QString canonical = info.canonicalFilePath();
            // A dangling link resolves to nothing; keep its own path then.
            if (canonical.isEmpty())
                canonical = existing;
            for (const QString &part : std::as_const(missing))
                canonical += QLatin1Char('/') + part;
            return QDir::cleanPath(canonical);
        }
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return QDir::cleanPath(absolute);
        missing.prepend(QFileInfo(existing).fileName());
        existing = parent;
    }
}

bool foldersOverlap(const QString &a, const QString &b, platform::Os os)
{
    QString first = resolvedFolder(a);
    QString second = resolvedFolder(b);
    if (first.isEmpty() || second.isEmpty())
        return false;
    if (os == platform::Os::Windows) {
        first = first.toCaseFolded();
        second = second.toCaseFolded();
    }
    const auto inside = [](const QString &inner, const QString &outer) {
        if (inner == outer)
            return true;
        const QString prefix = outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/');
        return inner.startsWith(prefix);
    };
    return inside(first, second) || inside(second, first);
}

Status writeEntryList(const QString &path, const QStringList &entries)
{
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    for (qsizetype i = 0; written && i < entries.size(); ++i) {
        const QByteArray line = entries.at(i).toUtf8() + '\n';
        written = file.write(line) == line.size();
    }
    if (!written || !file.commit())
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    return {};
}

EntryList readEntryList(const QString &path)
{
    EntryList list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        list.error = QStringLiteral("cannot open the list file");
        return list;
    }
    if (file.size() > maxEntryListBytes) {
        list.error = QStringLiteral("list file too large");
        return list;
    }
    const QByteArray body = file.readAll();
    for (const QByteArray &line : body.split('\n')) {
        if (!line.isEmpty())
            list.entries.append(QString::fromUtf8(line));
    }
    list.ok = true;
    return list;
}
