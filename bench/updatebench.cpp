// Driver of the update benchmark (bench/update.sh):
//   updatebench generate OLD_DIR NEW_DIR   writes both builds, prints their figures
//   updatebench zstd                       zstd's size of the builds' unique content
//   updatebench sizes OLD_DIR NEW_DIR      what each average chunk size would cost
//   updatebench plan PUBLISHED OLD_MANIFEST NEW_MANIFEST
//                                          bytes a first install and the update fetch by chunks
#include "chunker.h"
#include "chunkindex.h"
#include "chunkstore.h"
#include "updatedata.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QtConcurrent>

#include <cstdio>

#include <zstd.h>

namespace {

constexpr int level = 1; // the publisher's

void printFigures()
{
    const QList<PlannedFile> before = plannedBuild(1);
    const QList<PlannedFile> after = plannedBuild(2);
    QSet<quint64> oldSeeds;
    QHash<QString, QList<quint64>> oldFiles;
    qint64 rawOld = 0;
    for (const PlannedFile &file : before) {
        rawOld += file.size();
        for (const Piece &piece : file.pieces) {
            oldSeeds.insert(piece.seed);
            oldFiles[file.key].append(piece.seed);
        }
    }
    qint64 rawNew = 0;
    qint64 changed = 0;      // bytes of pieces build 1 does not have
    qint64 changedWhole = 0; // whole files a whole-file update fetches
    for (const PlannedFile &file : after) {
        rawNew += file.size();
        QList<quint64> seeds;
        for (const Piece &piece : file.pieces) {
            seeds.append(piece.seed);
            if (!oldSeeds.contains(piece.seed))
                changed += piece.size;
        }
        if (oldFiles.value(file.key) != seeds)
            changedWhole += file.size();
    }
    std::printf(
        "raw_old=%lld raw_new=%lld changed_bytes=%lld changed_files_bytes=%lld files_old=%lld "
        "files_new=%lld\n",
        rawOld, rawNew, changed, changedWhole, qint64(before.size()), qint64(after.size()));
}

qint64 zstdSize(const Piece &piece)
{
    QByteArray raw;
    makePiece(piece, raw);
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(raw.size()))), Qt::Uninitialized);
    return qint64(ZSTD_compress(out.data(), size_t(out.size()), raw.constData(), size_t(raw.size()),
                                ZSTD_CLEVEL_DEFAULT));
}

qint64 sumZstd(const QList<Piece> &pieces)
{
    const QList<qint64> sizes = QtConcurrent::blockingMapped(pieces, zstdSize);
    return std::accumulate(sizes.begin(), sizes.end(), qint64(0));
}

// Every distinct piece once, each compressed whole at zstd's default level.
void printZstd()
{
    QList<Piece> oldPieces;
    QList<Piece> newPieces;
    QSet<quint64> seen;
    for (int build : {1, 2}) {
        for (const PlannedFile &file : plannedBuild(build)) {
            for (const Piece &piece : file.pieces) {
                if (!seen.contains(piece.seed)) {
                    seen.insert(piece.seed);
                    (build == 1 ? oldPieces : newPieces).append(piece);
                }
            }
        }
    }
    const qint64 old = sumZstd(oldPieces);
    std::printf("zstd_old=%lld zstd_both=%lld\n", old, old + sumZstd(newPieces));
}

struct CutFile
{
    QString key;
    QList<IndexedChunk> chunks;
    QString error;
};

// Cuts every file below `folder`; stored sizes only for chunks `known` lacks.
QList<CutFile> cutFolder(const QString &folder, const ChunkLimits &limits,
                         const QSet<ChunkId> &known)
{
    QStringList paths;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    paths.sort();
    return QtConcurrent::blockingMapped(paths, [&](const QString &path) {
        CutFile cut{path.mid(folder.size()), {}, {}};
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            cut.error = in.errorString();
            return cut;
        }
        ChunkStream stream(&in, limits);
        for (;;) {
            const Result<QByteArrayView> chunk = stream.next();
            if (!chunk || chunk->isEmpty()) {
                if (!chunk)
                    cut.error = chunk.message();
                break;
            }
            IndexedChunk entry{sha256Of(*chunk), qint32(chunk->size()), 0};
            if (!known.contains(entry.id))
                entry.storedSize = qint32(compressChunk(*chunk, level).value().size());
            cut.chunks.append(entry);
        }
        return cut;
    });
}

// The index the publisher would write for these files, to count its size.
qint64 indexSize(const QList<CutFile> &files, const ChunkLimits &limits)
{
    ChunkIndex index;
    index.manifestSha = ChunkId(chunkIdBytes, '\0');
    index.limits = limits;
    QHash<ChunkId, quint32> rows;
    for (const CutFile &file : files) {
        IndexedFile indexed{file.key, 0, 0, {}};
        for (const IndexedChunk &chunk : file.chunks) {
            auto row = rows.constFind(chunk.id);
            if (row == rows.constEnd()) {
                row = rows.insert(chunk.id, quint32(index.chunks.size()));
                index.chunks.append(chunk);
            }
            indexed.chunks.append(ChunkRef{*row, indexed.size});
            indexed.size += chunk.size;
        }
        index.files.append(indexed);
    }
    return encodeChunkIndex(index).size();
}

int printSizes(const QString &oldDir, const QString &newDir)
{
    std::printf("average  chunks  first_install  index  update_fetch  update_chunks\n");
    for (qint32 average : {16 * 1024, 32 * 1024, 64 * 1024, 128 * 1024, 256 * 1024}) {
        const ChunkLimits limits = ChunkLimits::forAverage(average);
        const QList<CutFile> before = cutFolder(oldDir, limits, {});
        QSet<ChunkId> known;
        qint64 firstInstall = 0;
        for (const CutFile &file : before) {
            if (!file.error.isEmpty())
                return std::fprintf(stderr, "%s: %s\n", qPrintable(file.key),
                                    qPrintable(file.error)),
                       1;
            for (const IndexedChunk &chunk : file.chunks) {
                if (!known.contains(chunk.id)) {
                    known.insert(chunk.id);
                    firstInstall += chunk.storedSize;
                }
            }
        }
        const qint64 oldChunks = known.size();
        const QList<CutFile> after = cutFolder(newDir, limits, known);
        qint64 update = 0;
        qint64 updateChunks = 0;
        for (const CutFile &file : after) {
            for (const IndexedChunk &chunk : file.chunks) {
                if (!known.contains(chunk.id)) {
                    known.insert(chunk.id);
                    update += chunk.storedSize;
                    ++updateChunks;
                }
            }
        }
        const qint64 newIndex = indexSize(after, limits);
        std::printf("%6d KiB %7lld %14lld %6lld %13lld %14lld\n", average / 1024, oldChunks,
                    firstInstall + indexSize(before, limits), newIndex, update + newIndex,
                    updateChunks);
        std::fflush(stdout);
    }
    return 0;
}

Result<ChunkIndex> readIndex(const QString &published, const QString &manifest)
{
    QFile body(manifest);
    if (!body.open(QIODevice::ReadOnly))
        return Result<ChunkIndex>::fail(Failure::Kind::FileSystem,
                                        manifest + QStringLiteral(": cannot read"));
    QFile index(published + buildIndexPath(sha256Of(body.readAll())));
    if (!index.open(QIODevice::ReadOnly))
        return Result<ChunkIndex>::fail(Failure::Kind::FileSystem,
                                        index.fileName() + QStringLiteral(": cannot read"));
    return decodeChunkIndex(index.readAll());
}

// What the launcher would fetch: the manifest, the index and every chunk the
// player lacks (none for a first install, those of build 1 for the update).
int printPlan(const QString &published, const QString &oldManifest, const QString &newManifest)
{
    const Result<ChunkIndex> before = readIndex(published, oldManifest);
    const Result<ChunkIndex> after = readIndex(published, newManifest);
    if (!before || !after)
        return std::fprintf(stderr, "%s\n", qPrintable((before ? after : before).message())), 1;
    const auto indexBytes = [&](const QString &manifest) {
        QFile body(manifest);
        body.open(QIODevice::ReadOnly);
        const QByteArray bytes = body.readAll();
        return bytes.size() + QFileInfo(published + buildIndexPath(sha256Of(bytes))).size();
    };
    QSet<ChunkId> have;
    qint64 install = indexBytes(oldManifest);
    for (const IndexedChunk &chunk : before->chunks) {
        install += chunk.storedSize;
        have.insert(chunk.id);
    }
    qint64 update = indexBytes(newManifest);
    qint64 chunks = 0;
    for (const IndexedChunk &chunk : after->chunks) {
        if (!have.contains(chunk.id)) {
            update += chunk.storedSize;
            ++chunks;
        }
    }
    std::printf("install_fetch=%lld update_fetch=%lld update_chunks=%lld new_chunks_total=%lld\n",
                install, update, chunks, qint64(after->chunks.size()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    const QString command = arguments.value(0);
    if (command == QLatin1String("generate") && arguments.size() == 3) {
        if (!writeBuild(plannedBuild(1), arguments[1]) ||
            !writeBuild(plannedBuild(2), arguments[2]))
            return std::fprintf(stderr, "updatebench: cannot write the builds\n"), 1;
        printFigures();
        return 0;
    }
    if (command == QLatin1String("figures") && arguments.size() == 1)
        return printFigures(), 0;
    if (command == QLatin1String("zstd") && arguments.size() == 1)
        return printZstd(), 0;
    if (command == QLatin1String("sizes") && arguments.size() == 3)
        return printSizes(arguments[1], arguments[2]);
    if (command == QLatin1String("plan") && arguments.size() == 4)
        return printPlan(arguments[1], arguments[2], arguments[3]);
    std::fprintf(stderr,
                 "usage: updatebench generate OLD_DIR NEW_DIR | figures | zstd |\n"
                 "       sizes OLD_DIR NEW_DIR | plan PUBLISHED OLD_MANIFEST NEW_MANIFEST\n");
    return 2;
}
