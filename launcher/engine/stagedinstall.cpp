#include "stagedinstall.h"

#include "enginefolders.h"
#include "executablebits.h"
#include "filekey.h"
#include "maintenance.h"
#include "moverclient.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

Failure unsafeStaging()
{
    return {Failure::Kind::Refused, QStringLiteral("The download folder cannot be used safely.")};
}

} // namespace

QString StagedInstall::gameStartedMessage()
{
    return QStringLiteral("The game was started while the update was downloading. The "
                          "downloaded files were kept and will be installed by the next update "
                          "once the game is closed.");
}

void StagedInstall::markRunComplete()
{
    // Read by nothing; kept in the player's own folder, since a fixed name in the
    // shared temporary folder may be a link another user planted there.
    if (!EngineFolders::preparePrivate())
        return;
    QFile marker(QDir::toNativeSeparators(EngineFolders::privateDirectory() +
                                          QStringLiteral("/.initcomplete")));
    if (marker.open(QIODevice::WriteOnly))
        marker.close();
}

Result<StagedInstall::Plan> StagedInstall::prepare(const QSet<QString> &keys,
                                                   const QJsonObject &table,
                                                   const QString &installFolder,
                                                   const QString &executable)
{
    const QString staging = EngineFolders::stagingDirectory();
    if (!EngineFolders::preparePrivate())
        return unsafeStaging();
    pruneStaging(table);

    Plan plan;
    for (const QString &key : keys) {
        if (!table.contains(key) || !isSafeFileKey(key))
            continue;
        const QString relative = key.startsWith(QLatin1Char('/')) ? key.mid(1) : key;
        const QFileInfo staged(staging + QLatin1Char('/') + relative);
        if (!relative.isEmpty() && staged.isFile() && !staged.isSymLink())
            plan.entries.append(relative);
    }
    if (plan.entries.isEmpty())
        return plan;

    // The game may have been started while the files were downloading.
    if (Maintenance::gameRunsFrom(installFolder, executable))
        return Failure{Failure::Kind::GameRunning, gameStartedMessage()};
    const Status pair = MoverClient::checkFolderPair(staging, installFolder);
    if (!pair)
        return pair.failure();
    const Result<QString> list =
        MoverClient::writeList(QStringLiteral("staged-files.txt"), plan.entries);
    if (!list)
        return unsafeStaging();
    plan.listFile = list.value();

    grantExecuteBits(staging, executable);
    return plan;
}

void StagedInstall::pruneStaging(const QJsonObject &table)
{
    // Without a manifest nothing tells what is ours to keep.
    if (table.isEmpty())
        return;
    QSet<QString> owned;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it)
        owned.insert(it.key().startsWith(QLatin1Char('/')) ? it.key().mid(1) : it.key());

    const QString staging = EngineFolders::stagingDirectory();
    const QDir root(staging);
    QStringList folders;
    QDirIterator it(staging,
                    QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink()) {
            folders.prepend(path);
            continue;
        }
        // Partial files of current keys stay for resuming; links and strays go.
        if (info.isSymLink() || !owned.contains(root.relativeFilePath(path)))
            QFile::remove(path);
    }
    for (const QString &folder : std::as_const(folders))
        QDir().rmdir(folder);
}
