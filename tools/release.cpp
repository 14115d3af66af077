// patchtool release: a launcher package and the version document that points at it.
#include "commands.h"
#include "console.h"
#include "platform/platform.h"
#include "result.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUrl>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

namespace {

// Unix as the creator host, so that the updater restores the permission bits.
constexpr uint unixHost = 3;

struct PackageEntry
{
    QString name; // relative, "/" separators; folders end with "/"
    QString path; // the file to read; empty for folders
};

int fail(const QString &message, int code = ExitFailed)
{
    printError(QStringLiteral("patchtool release: ") + message);
    return code;
}

bool isInside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

bool hasProgram(const QDir &folder, const QString &baseName)
{
    return QFileInfo(folder.filePath(baseName)).isFile() ||
           QFileInfo(folder.filePath(baseName + QStringLiteral(".exe"))).isFile();
}

// Every file and folder below `root`. The updater refuses links, so a link to a
// file inside the folder is packed as the file itself; links to folders or
// leading outside cannot be published.
Result<QList<PackageEntry>> collectEntries(const QString &root)
{
    QList<PackageEntry> entries;
    QDirIterator it(root,
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System |
                        platform::everyFileFilter(platform::Os::Other),
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink()) {
            const QString resolved = info.canonicalFilePath();
            if (resolved.isEmpty() || !isInside(resolved, root) || !QFileInfo(resolved).isFile()) {
                return Result<QList<PackageEntry>>::fail(
                    Failure::Kind::Refused,
                    QStringLiteral("%1: a link to a folder or outside the launcher folder")
                        .arg(name));
            }
            entries << PackageEntry{name, resolved};
        } else if (info.isDir()) {
            entries << PackageEntry{name + QLatin1Char('/'), {}};
        } else if (info.isFile()) {
            entries << PackageEntry{name, info.filePath()};
        } else {
            return Result<QList<PackageEntry>>::fail(
                Failure::Kind::Refused, QStringLiteral("%1: not a regular file").arg(name));
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const PackageEntry &a, const PackageEntry &b) { return a.name < b.name; });
    return entries;
}

Status writePackage(const QString &zipPath, const QList<PackageEntry> &entries)
{
    QuaZip zip(zipPath);
    zip.setOsCode(unixHost);
    zip.setUtf8Enabled(true);
    if (!zip.open(QuaZip::mdCreate)) {
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("cannot create %1").arg(zipPath));
    }
    for (const PackageEntry &entry : entries) {
        QuaZipNewInfo info(entry.name);
        QByteArray content;
        if (!entry.path.isEmpty()) {
            QFile in(entry.path);
            if (!in.open(QIODevice::ReadOnly)) {
                return Status::fail(
                    Failure::Kind::FileSystem,
                    QStringLiteral("%1: cannot read: %2").arg(entry.name, in.errorString()));
            }
            content = in.readAll();
            info.setFileDateTime(entry.path);
            info.setPermissions(QFile::permissions(entry.path));
        } else {
            info.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                QFile::ExeOther);
        }
        QuaZipFile out(&zip);
        if (!out.open(QIODevice::WriteOnly, info) || out.write(content) != content.size()) {
            return Status::fail(Failure::Kind::FileSystem,
                                QStringLiteral("%1: cannot add to the package").arg(entry.name));
        }
        out.close();
        if (out.getZipError() != 0) {
            return Status::fail(Failure::Kind::FileSystem,
                                QStringLiteral("%1: cannot add to the package").arg(entry.name));
        }
    }
    zip.close();
    if (zip.getZipError() != 0) {
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("cannot finish %1").arg(zipPath));
    }
    return {};
}

int runRelease(const QStringList &arguments)
{
    if (arguments.size() != 4)
        return usageError(releaseSubcommand);
    const QString launcherDir = QDir::cleanPath(QFileInfo(arguments[0]).absoluteFilePath());
    const QString version = arguments[1];
    const QUrl packageUrl(arguments[2], QUrl::StrictMode);
    const QString outDir = QDir::cleanPath(QFileInfo(arguments[3]).absoluteFilePath());

    if (!QFileInfo(launcherDir).isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(launcherDir), ExitBadInput);
    const QString realLauncherDir = QFileInfo(launcherDir).canonicalFilePath();
    if (!hasProgram(QDir(launcherDir), QStringLiteral("launcher")) ||
        !hasProgram(QDir(launcherDir), QStringLiteral("updater")))
        return fail(QStringLiteral("%1 must hold both the launcher and the updater programs")
                        .arg(launcherDir),
                    ExitBadInput);
    // The launcher compares the published text exactly; stray blanks would
    // make every client update for ever.
    if (version.isEmpty() || version.trimmed() != version || version == QLatin1String("dev"))
        return fail(QStringLiteral("the version must be non-empty, without surrounding blanks "
                                   "and not \"dev\""),
                    ExitBadInput);
    const QString packageName = packageUrl.fileName();
    if (!packageUrl.isValid() ||
        (packageUrl.scheme() != QLatin1String("https") &&
         packageUrl.scheme() != QLatin1String("http")) ||
        !packageName.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) ||
        packageName.size() <= 4)
        return fail(QStringLiteral("PACKAGE_URL must be an http(s) address of a .zip file"),
                    ExitBadInput);
    if (isInside(outDir, launcherDir) ||
        isInside(QFileInfo(outDir).canonicalFilePath(), realLauncherDir))
        return fail(QStringLiteral("OUT_DIR must lie outside the launcher folder"), ExitBadInput);

    const Result<QList<PackageEntry>> entries = collectEntries(realLauncherDir);
    if (!entries)
        return fail(entries.message(), ExitBadInput);
    if (!QDir().mkpath(outDir))
        return fail(QStringLiteral("cannot create %1").arg(outDir));

    // Written beside its final name first: a half-written package must never
    // be what the version document points at.
    const QString zipPath = outDir + QLatin1Char('/') + packageName;
    const QString partPath = zipPath + QStringLiteral(".part");
    QFile::remove(partPath);
    const Status written = writePackage(partPath, entries.value());
    if (!written) {
        QFile::remove(partPath);
        return fail(written.message());
    }
    QFile::remove(zipPath);
    if (!QFile::rename(partPath, zipPath))
        return fail(QStringLiteral("cannot write %1").arg(zipPath));

    const QString documentPath =
        outDir + QLatin1Char('/') + packageName.chopped(4) + QStringLiteral(".json");
    QJsonObject document;
    document.insert(QStringLiteral("version"), version);
    document.insert(QStringLiteral("url"), packageUrl.toString());
    QSaveFile out(documentPath);
    const QByteArray json = QJsonDocument(document).toJson(QJsonDocument::Indented);
    if (!out.open(QIODevice::WriteOnly) || out.write(json) != json.size() || !out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(documentPath, out.errorString()));

    printOut(QStringLiteral("package: %1 (%2 entries)").arg(zipPath).arg(entries->size()));
    printOut(QStringLiteral("version document: %1").arg(documentPath));
    return ExitOk;
}

} // namespace

const Subcommand releaseSubcommand = {
    "release", "LAUNCHER_DIR VERSION PACKAGE_URL OUT_DIR",
    "zip a launcher folder into OUT_DIR/<name>.zip (name from PACKAGE_URL) and write "
    "OUT_DIR/<name>.json with its version and address",
    runRelease};
