#include "platform/platform.h"
#include "settings.h"
#include "updater.h"

bool Updater::isGameRunning()
{
    const QString name = platform::executableFileName(Settings::instance->executableName);
    const QString folder = Settings::installPath();
    // Walk the whole list: a copy running from another folder must not hide
    // the one running from ours.
    const QList<platform::ProcessInfo> processes = platform::runningProcesses();
    for (const platform::ProcessInfo &process : processes) {
        if (process.imageName == name && !process.imagePath.isEmpty() &&
            platform::isImageInFolder(process.imagePath, folder))
            return true;
    }
    return false;
}
