// patchtool publish: the manifest and one copy per key, ready for a static web server.
#include "checksum.h"
#include "chunkpublisher.h"
#include "commands.h"
#include "console.h"
#include "gamefolder.h"
#include "manifestcodec.h"
#include "publishpipeline.h"
#include "result.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>
#include <QThread>

namespace {

const QString manifestName = QStringLiteral("checksums.txt.gz");
const QString markerKey = QStringLiteral("/.initcomplete");
// zstd's level 1: measured here on 64 KiB chunks of text-like data it compresses
// at 560 MB/s a core against 160 MB/s for the default level 3, to the same size;
// publishing is bound by it.
constexpr int chunkCompressionLevel = 1;

Status writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return {};
}

int fail(const QString &message, int code = ExitFailed)
{
    printError(QStringLiteral("patchtool publish: ") + message);
    return code;
}

int publish(const QStringList &arguments)
{
    QStringList positional = arguments;
    const bool copy = !positional.removeOne(QStringLiteral("--manifest-only"));
    const bool chunked = !positional.removeOne(QStringLiteral("--no-chunks")) && copy;
    int threads = QThread::idealThreadCount();
    if (const qsizetype at = positional.indexOf(QStringLiteral("--threads")); at >= 0) {
        bool ok = false;
        threads = at + 1 < positional.size() ? positional[at + 1].toInt(&ok) : 0;
        // Each thread brings two read buffers of a few MiB.
        if (!ok || threads < 1 || threads > 64)
            return usageError(publishSubcommand);
        positional.remove(at, 2);
    }
    if (positional.size() != 2 || positional[0].startsWith(QLatin1Char('-')) ||
        positional[1].startsWith(QLatin1Char('-')))
        return usageError(publishSubcommand);

    const Result<QString> realGameDir = canonicalFolder(positional[0]);
    if (!realGameDir)
        return fail(realGameDir.message(), ExitBadInput);
    const QString gameDir = realGameDir.value();
    // Either way round, publishing would read its own output or overwrite its input.
    const QString plannedOut = canonicalPathFor(positional[1]);
    if (isInsideOrSame(plannedOut, gameDir) || isInsideOrSame(gameDir, plannedOut))
        return fail(QStringLiteral("the output folder %1 and the game folder %2 must not contain "
                                   "each other")
                        .arg(plannedOut, gameDir),
                    ExitBadInput);
    if (!QDir().mkpath(positional[1]))
        return fail(QStringLiteral("cannot create %1").arg(positional[1]));
    const Result<QString> realOutDir = canonicalFolder(positional[1]);
    if (!realOutDir)
        return fail(realOutDir.message(), ExitBadInput);
    const QString outDir = realOutDir.value();

    // A manifest left from an earlier publish must not outlive a failed one.
    const QString manifestPath = outDir + QLatin1Char('/') + manifestName;
    if (QFileInfo::exists(manifestPath) && !QFile::remove(manifestPath))
        return fail(QStringLiteral("cannot replace %1").arg(manifestPath));

    GameFolderListing listing = listGameFolder(gameDir);
    // The server answers the manifest and a file of the same name from one path.
    for (const GameFile &file : std::as_const(listing.files)) {
        if (file.key == QLatin1Char('/') + manifestName)
            listing.problems
                << QStringLiteral("%1: would be served in place of the manifest").arg(file.key);
        // Case-blind: the folder may be uploaded to a server on Windows.
        if (file.key.section(QLatin1Char('/'), 1, 1)
                .compare(chunkStoreFolder, Qt::CaseInsensitive) == 0)
            listing.problems << QStringLiteral("%1: lies in the chunk store's folder %2")
                                    .arg(file.key, chunkStoreFolder);
    }
    // Windows finds a file whatever its letter case: launchers there could not install both.
    QStringList keys;
    for (const GameFile &file : std::as_const(listing.files))
        keys.append(file.key);
    const QString clash = sameFileClash(keys, platform::Os::Windows);
    if (!clash.isEmpty())
        listing.problems << clash + QStringLiteral(" on Windows");
    if (!listing.problems.isEmpty()) {
        for (const QString &problem : std::as_const(listing.problems))
            printError(QStringLiteral("patchtool publish: refused ") + problem);
        return fail(QStringLiteral("%1 entries cannot be published; nothing was written")
                        .arg(listing.problems.size()));
    }

    // The marker is always listed empty, whatever the game folder holds.
    QList<GameFile> files;
    qint64 totalBytes = 0;
    QSet<QString> folders;
    for (const GameFile &file : std::as_const(listing.files)) {
        if (file.key == markerKey)
            continue;
        files.append(file);
        totalBytes += file.size;
        folders.insert(QFileInfo(outDir + file.key).path());
    }
    if (copy) {
        // Made up front: concurrent mkpath calls on shared parents can race.
        for (const QString &folder : std::as_const(folders)) {
            if (!QDir().mkpath(folder))
                return fail(QStringLiteral("cannot create %1").arg(folder));
        }
    }

    std::unique_ptr<ChunkPublisher> store;
    if (chunked) {
        Result<std::unique_ptr<StoreFolder>> folder = StoreFolder::open(outDir, true);
        if (!folder)
            return fail(folder.message());
        store = std::make_unique<ChunkPublisher>(std::move(folder).value(),
                                                 ChunkLimits::forAverage(defaultChunkAverage),
                                                 chunkCompressionLevel);
    }

    // Largest first: a big file started last would leave one core idle at the end.
    std::stable_sort(files.begin(), files.end(),
                     [](const GameFile &a, const GameFile &b) { return a.size > b.size; });
    Progress progress(QStringLiteral("publish"), files.size(), totalBytes);
    QList<Published> published =
        PublishPipeline(files, outDir, copy, store.get(), threads).run(progress);
    std::sort(published.begin(), published.end(),
              [](const Published &a, const Published &b) { return a.key < b.key; });

    QJsonObject manifest;
    QStringList errors;
    qint64 publishedBytes = 0;
    for (const Published &file : published) {
        if (!file.error.isEmpty()) {
            errors << file.error;
            continue;
        }
        manifest.insert(file.key, QJsonObject{{QStringLiteral("checksum"), file.checksum},
                                              {QStringLiteral("size"), file.size}});
        publishedBytes += file.size;
    }
    for (const QString &error : std::as_const(errors))
        printError(QStringLiteral("patchtool publish: ") + error);
    if (!errors.isEmpty())
        return fail(
            QStringLiteral("%1 file(s) failed; no manifest was written").arg(errors.size()));

    manifest.insert(markerKey, QJsonObject{{QStringLiteral("checksum"), crc32Hex(0)},
                                           {QStringLiteral("size"), 0}});
    const QByteArray body = encodeManifest(manifest);
    const DecodedManifest check = decodeManifest(body);
    if (!check.ok())
        return fail(
            QStringLiteral("the launcher would refuse this manifest: %1").arg(check.detail));

    // The index first: a launcher that sees the new manifest finds its index.
    if (store) {
        QList<IndexedFile> indexed;
        for (const Published &file : std::as_const(published))
            indexed.append(file.chunks);
        indexed.append(IndexedFile{markerKey, 0, 0, {}});
        std::sort(indexed.begin(), indexed.end(),
                  [](const IndexedFile &a, const IndexedFile &b) { return a.key < b.key; });
        if (Status written = store->writeIndex(std::move(indexed), body); !written)
            return fail(written.message());
    }

    Status written = writeWhole(outDir + markerKey, QByteArray());
    if (written)
        written = writeWhole(manifestPath, body);
    if (!written)
        return fail(written.message());
    printOut(QStringLiteral("published %1 files (%2 MiB) and %3 to %4")
                 .arg(manifest.size())
                 .arg(mebibytes(publishedBytes), manifestName, outDir));
    if (store)
        printOut(QStringLiteral("chunk store: %1 new chunks (%2 MiB), %3 already stored")
                     .arg(store->newChunks())
                     .arg(mebibytes(store->newBytes()))
                     .arg(store->knownChunks()));
    return ExitOk;
}

} // namespace

const Subcommand publishSubcommand{
    "publish", "[--manifest-only | --no-chunks] [--threads N] GAME_DIR OUT_DIR",
    "writes OUT_DIR/checksums.txt.gz listing every file of GAME_DIR, copies each file to "
    "OUT_DIR/<key>\n      and adds its chunks and the build's index to OUT_DIR/.chunkstore "
    "(--manifest-only: the manifest alone;\n      --no-chunks: no chunk store; --threads: how many "
    "threads work, 1 to 64, by default one a core)",
    publish};
