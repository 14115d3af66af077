#include "installfolderpolicy.h"

#include "folderpair.h"
#include "platform/platform.h"
#include "settings.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

Qt::CaseSensitivity pathCase()
{
    return platform::hostOs() == platform::Os::Windows ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

bool isDriveRoot(const QString &resolved)
{
    return QFileInfo(resolved).isRoot() || QDir(resolved).isRoot();
}

// The path with every link resolved, also below the part that does not exist yet.
QString resolvedPath(const QString &path)
{
    if (path.isEmpty())
        return {};
    return resolvedFolder(QDir(QDir::fromNativeSeparators(path)).absolutePath());
}

// Same folder, after resolving links; letter case ignored where the file system does.
bool isSameFolder(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    return resolvedPath(a).compare(resolvedPath(b), pathCase()) == 0;
}

// `inner` lies strictly below `outer`.
bool isInsideFolder(const QString &inner, const QString &outer)
{
    if (inner.isEmpty() || outer.isEmpty())
        return false;
    QString prefix = resolvedPath(outer);
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    const QString path = resolvedPath(inner);
    return path.size() > prefix.size() && path.startsWith(prefix, pathCase());
}

bool sameOrInside(const QString &inner, const QString &outer)
{
    return isSameFolder(inner, outer) || isInsideFolder(inner, outer);
}

bool relatedTo(const QString &a, const QString &b)
{
    return sameOrInside(a, b) || isInsideFolder(b, a);
}

} // namespace

FolderVerdict judgeInstallFolder(const QString &candidate, const InstallFolderContext &context)
{
    const QString resolved = resolvedPath(candidate);
    if (resolved.isEmpty())
        return FolderVerdict::NotAFolder;
    const QFileInfo info(resolved);
    if (info.exists() && !info.isDir())
        return FolderVerdict::NotAFolder;
    if (isDriveRoot(resolved))
        return FolderVerdict::DriveRoot;
    // Before "unchanged": a stored launcher folder must not be confirmed again.
    if (isSameFolder(resolved, context.launcherFolder))
        return FolderVerdict::LauncherFolder;
    if (isInsideFolder(context.launcherFolder, resolved))
        return FolderVerdict::AboveLauncher;
    for (const QString &folder : context.userFolders)
        if (isSameFolder(resolved, folder) || isInsideFolder(folder, resolved))
            return FolderVerdict::UserFolder;
    for (const QString &folder : context.temporaryFolders)
        if (isSameFolder(resolved, folder))
            return FolderVerdict::TemporaryFolder;
    if (relatedTo(resolved, context.stagingFolder))
        return FolderVerdict::TemporaryFolder;
    if (relatedTo(resolved, context.legacyFolder))
        return FolderVerdict::LegacyFolder;
    if (isSameFolder(resolved, context.currentInstall))
        return FolderVerdict::Unchanged;
    if (QFileInfo(context.currentInstall).isDir() && relatedTo(resolved, context.currentInstall))
        return FolderVerdict::InsideOrAboveInstall;
    return FolderVerdict::Acceptable;
}

bool holdsForeignFiles(const QString &folder)
{
    const QDir dir(folder);
    if (!dir.exists() || dir.exists(QStringLiteral(".initcomplete")))
        return false;
    return !dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
                .isEmpty();
}

QString nearestExistingFolder(const QString &path)
{
    QString current = QDir::cleanPath(QDir::fromNativeSeparators(path));
    while (!current.isEmpty() && !QFileInfo(current).isDir()) {
        const QString parent = QFileInfo(current).path();
        // A root that does not exist is its own parent.
        if (parent == current)
            return {};
        current = parent;
    }
    return current == QLatin1String(".") ? QString() : current;
}

InstallFolderContext currentInstallFolderContext()
{
    InstallFolderContext context;
    context.currentInstall = Settings::installPath();
    context.launcherFolder = QCoreApplication::applicationDirPath();
    if (!Settings::instance->legacyDir.isEmpty())
        context.legacyFolder = QDir::cleanPath(platform::roamingAppDataPath() + QLatin1Char('/') +
                                               Settings::instance->legacyDir);
    context.stagingFolder = Updater::stagingDirectory();
    context.temporaryFolders << QDir::tempPath()
                             << QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    context.userFolders << QDir::homePath();
    for (auto location : {QStandardPaths::HomeLocation, QStandardPaths::DocumentsLocation,
                          QStandardPaths::DownloadLocation, QStandardPaths::DesktopLocation,
                          QStandardPaths::MusicLocation, QStandardPaths::PicturesLocation,
                          QStandardPaths::MoviesLocation})
        context.userFolders << QStandardPaths::standardLocations(location);
    context.userFolders.removeAll(QString());
    context.userFolders.removeDuplicates();
    return context;
}
