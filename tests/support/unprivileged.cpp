#include "unprivileged.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

void runAsUnprivileged(QProcess &process, const QString &program, const QStringList &arguments,
                       const QString &home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    process.setProcessEnvironment(environment);
    process.setProgram(QStringLiteral("setpriv"));
    process.setArguments(QStringList{QStringLiteral("--reuid=nobody"),
                                     QStringLiteral("--regid=nogroup"),
                                     QStringLiteral("--clear-groups"), program} +
                         arguments);
}

void openPathForOthers(const QString &path)
{
    for (QDir dir(QFileInfo(path).absoluteFilePath()); !dir.isRoot(); dir.cdUp()) {
        // Only folders that lack the bits: chmod through Qt would drop a sticky bit.
        const QFile::Permissions current = QFile::permissions(dir.path());
        const QFile::Permissions needed = QFile::ReadOther | QFile::ExeOther;
        if ((current & needed) != needed)
            QFile::setPermissions(dir.path(), current | needed);
    }
}

void setFolderWritableByOthers(const QString &path, bool writable)
{
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                     QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                     QFile::ExeOther;
    if (writable)
        permissions |= QFile::WriteGroup | QFile::WriteOther;
    QFile::setPermissions(path, permissions);
}
