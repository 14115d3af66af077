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
    QStringList quoted;
    for (const QString &argument : arguments) {
        static const QString needsQuotes = QStringLiteral(" \t\n\v\"");
        bool plain = !argument.isEmpty();
        for (const QChar c : argument)
            plain = plain && !needsQuotes.contains(c);
        if (plain) {
            quoted << argument;
            continue;
        }
        // Backslashes are literal except before a quote, where they escape in pairs.
        QString text = QStringLiteral("\"");
        int backslashes = 0;
        for (const QChar c : argument) {
            if (c == QLatin1Char('\\')) {
                ++backslashes;
                continue;
            }
            if (c == QLatin1Char('"'))
                text += QString(backslashes * 2 + 1, QLatin1Char('\\'));
            else
                text += QString(backslashes, QLatin1Char('\\'));
            text += c;
            backslashes = 0;
        }
        text += QString(backslashes * 2, QLatin1Char('\\'));
        text += QLatin1Char('"');
        quoted << text;
    }
    return quoted.join(QLatin1Char(' '));
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

int stopProcessesInFolder(const QString &imageName, const QString &folder)
{
    const Qt::CaseSensitivity cs =
        hostOs() == Os::Windows ? Qt::CaseInsensitive : Qt::CaseSensitive;
    const qint64 self = QCoreApplication::applicationPid();
    // Image paths are resolved; the folder may be reached through a link.
    const QString resolved = QFileInfo(folder).canonicalFilePath();
    int stopped = 0;
    for (const ProcessInfo &process : runningProcesses()) {
        if (process.pid == self || process.imageName.compare(imageName, cs) != 0 ||
            !(isImageInFolder(process.imagePath, folder) ||
              isImageInFolder(process.imagePath, resolved)))
            continue;
        if (terminateProcess(process.pid))
            ++stopped;
    }
    return stopped;
}

} // namespace platform
