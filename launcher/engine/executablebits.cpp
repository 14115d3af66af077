#include "executablebits.h"

#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

bool looksExecutable(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(4);
    return head == QByteArrayLiteral("\x7f"
                                     "ELF") ||
           head.startsWith("#!");
}

void grantExecuteBits(const QString &stagingDir, const QString &gameExecutable)
{
    if (!platform::programsNeedExecuteBits())
        return;
    const QString game = QDir::cleanPath(QDir(stagingDir).filePath(gameExecutable));
    QDirIterator it(stagingDir, QDir::Files | QDir::NoDotAndDotDot | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QDir::cleanPath(path) != game && !looksExecutable(path))
            continue;
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner |
                                        QFileDevice::ExeUser | QFileDevice::ExeGroup |
                                        QFileDevice::ExeOther);
    }
}
