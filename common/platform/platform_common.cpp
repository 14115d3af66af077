#include "platform/commandline.h"
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace platform {

QString executableFileName(const QString &profileName, Os os)
{
    if (os == Os::Other && profileName.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        return profileName.chopped(4);
    return profileName;
}

bool programsNeedExecuteBits(Os os)
{
    return os != Os::Windows;
}

QString defaultPathTemplateKey(Os os)
{
    return os == Os::Windows ? QStringLiteral("windows") : QStringLiteral("other");
}

QDir::Filters everyFileFilter(Os os)
{
    return os == Os::Windows ? QDir::Filters() : QDir::Filters(QDir::Hidden);
}

QString windowsCommandLine(const QStringList &arguments)
{
    std::vector<std::wstring> wide;
    for (const QString &argument : arguments)
        wide.push_back(argument.toStdWString());
    return QString::fromStdWString(win32core::quoteArguments(wide));
}

bool isImageInFolder(const QString &imagePath, const QString &folder, Os os)
{
    if (imagePath.isEmpty() || folder.isEmpty())
        return false;
    auto clean = [](const QString &path) {
        return QDir::cleanPath(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')));
    };
    const QString parent = QFileInfo(clean(imagePath)).path();
    const Qt::CaseSensitivity cs = os == Os::Windows ? Qt::CaseInsensitive : Qt::CaseSensitive;
    return parent.compare(clean(folder), cs) == 0;
}

int stopProcessesInFolder(const QString &imageName, const QString &folder, qint64 owner)
{
    const Qt::CaseSensitivity cs =
        hostOs() == Os::Windows ? Qt::CaseInsensitive : Qt::CaseSensitive;
    const qint64 self = QCoreApplication::applicationPid();
    // Image paths are resolved; the folder may be reached through a link.
    const QString resolved = QFileInfo(folder).canonicalFilePath();
    int stopped = 0;
    for (const ProcessInfo &process : runningProcesses()) {
        if (process.pid == self || owner < 0 || process.owner != owner ||
            process.imageName.compare(imageName, cs) != 0 ||
            !(isImageInFolder(process.imagePath, folder) ||
              isImageInFolder(process.imagePath, resolved)))
            continue;
        if (terminateProcess(process.pid))
            ++stopped;
    }
    return stopped;
}

} // namespace platform
