#include "filemover.h"

#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

bool moveFiles(QString source, QString dest, QString ignore)
{
    // A trailing backslash on the command line can leave a quote in the value.
    source.remove(QLatin1Char('"'));
    dest.remove(QLatin1Char('"'));
    const QStringList ignored = ignore.split(QLatin1Char(','));
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

        if (moving) {
            const QString target = destDir.filePath(relative);
            QDir().mkpath(QFileInfo(target).path());
            if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
                QFile::remove(target);
            if (!QFile::rename(path, target))
                ok = false;
        } else if (!QFile::remove(path)) {
            ok = false;
        }
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
