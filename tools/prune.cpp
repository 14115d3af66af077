// patchtool prune: removes from the chunk store what no kept build needs.
#include "chunkindex.h"
#include "commands.h"
#include "console.h"
#include "gamefolder.h"
#include "storefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

const QString manifestName = QStringLiteral("checksums.txt.gz");

int fail(const QString &message, int code = ExitFailed)
{
    printError(QStringLiteral("patchtool prune: ") + message);
    return code;
}

struct Build
{
    QString path;
    ChunkIndex index;
    bool current = false;
};

int prune(const QStringList &arguments)
{
    QStringList positional = arguments;
    int keep = 2;
    const qsizetype keepAt = positional.indexOf(QStringLiteral("--keep"));
    if (keepAt >= 0) {
        bool ok = false;
        keep = keepAt + 1 < positional.size() ? positional[keepAt + 1].toInt(&ok) : 0;
        if (!ok || keep < 1)
            return usageError(pruneSubcommand);
        positional.remove(keepAt, 2);
    }
    if (positional.size() != 1 || positional[0].startsWith(QLatin1Char('-')))
        return usageError(pruneSubcommand);
    const Result<QString> realOutDir = canonicalFolder(positional[0]);
    if (!realOutDir)
        return fail(realOutDir.message(), ExitBadInput);
    const QString outDir = realOutDir.value();

    Result<std::unique_ptr<StoreFolder>> store = StoreFolder::open(outDir, false);
    if (!store)
        return fail(store.message(),
                    store.kind() == Failure::Kind::Busy ? ExitFailed : ExitBadInput);

    // The build the manifest names now is kept whatever its age.
    QFile manifest(outDir + QLatin1Char('/') + manifestName);
    const ChunkId currentSha =
        manifest.open(QIODevice::ReadOnly) ? sha256Of(manifest.readAll()) : ChunkId();

    // An index that cannot be read might need any chunk: nothing is removed then.
    QList<Build> builds;
    const QFileInfoList entries =
        QDir((*store)->buildsFolder())
            .entryInfoList({QStringLiteral("*.index")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo &entry : entries) {
        QFile file(entry.filePath());
        if (entry.isSymLink() || !file.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot read %1; nothing was removed").arg(entry.filePath()));
        Result<ChunkIndex> index = decodeChunkIndex(file.readAll());
        if (!index)
            return fail(QStringLiteral("%1: %2; remove it by hand if it is not needed, nothing was "
                                       "removed")
                            .arg(entry.filePath(), index.message()));
        const bool current = index->manifestSha == currentSha;
        builds.append(Build{entry.filePath(), std::move(index).value(), current});
    }
    // Newest first; the current build goes ahead of all.
    std::stable_sort(builds.begin(), builds.end(), [](const Build &a, const Build &b) {
        if (a.current != b.current)
            return a.current;
        return a.index.publishedAt > b.index.publishedAt;
    });

    QSet<ChunkId> needed;
    for (qsizetype i = 0; i < builds.size() && i < keep; ++i) {
        for (const IndexedChunk &chunk : std::as_const(builds[i].index.chunks))
            needed.insert(chunk.id);
    }
    // Indexes go before their chunks, so no index is left naming a removed chunk.
    for (qsizetype i = keep; i < builds.size(); ++i) {
        if (!QFile::remove(builds[i].path))
            return fail(QStringLiteral("cannot remove %1").arg(builds[i].path));
    }
    qint64 removed = 0;
    qint64 removedBytes = 0;
    qint64 kept = 0;
    QStringList leftovers;
    const QHash<ChunkId, qint64> onDisk = (*store)->chunks(&leftovers);
    // The lock keeps publish away, so a half-written chunk is a killed publish's.
    for (const QString &path : std::as_const(leftovers)) {
        if (!QFile::remove(path))
            return fail(QStringLiteral("cannot remove %1").arg(path));
    }
    for (auto it = onDisk.cbegin(); it != onDisk.cend(); ++it) {
        if (needed.contains(it.key())) {
            ++kept;
            continue;
        }
        const QString path = (*store)->path(chunkPath(it.key()));
        if (!QFile::remove(path))
            return fail(QStringLiteral("cannot remove %1").arg(path));
        ++removed;
        removedBytes += it.value();
    }
    printOut(QStringLiteral("kept %1 build(s) and %2 chunks; removed %3 build(s) and %4 chunks "
                            "(%5 MiB)")
                 .arg(qMin<qsizetype>(keep, builds.size()))
                 .arg(kept)
                 .arg(qMax<qsizetype>(0, builds.size() - keep))
                 .arg(removed)
                 .arg(mebibytes(removedBytes)));
    return ExitOk;
}

} // namespace

const Subcommand pruneSubcommand{
    "prune", "[--keep N] OUT_DIR",
    "removes from OUT_DIR/.chunkstore the chunks that no kept build uses: the build its\n      "
    "manifest names and the most recently published others, N builds in all (default 2)",
    prune};
