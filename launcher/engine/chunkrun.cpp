#include "chunkrun.h"

#include "chunkcache.h"
#include "downloadrun.h"
#include "enginefolders.h"
#include "inactivityguard.h"
#include "launcherrequest.h"
#include "settings.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <utility>

namespace {

// Marks an index reply stopped for its size, so its end is not read as a network failure.
constexpr char oversizedProperty[] = "engineOversized";

QString chunkKey(const ChunkId &id)
{
    // ':' is in no file key, so a chunk never passes for a file of the game.
    return QStringLiteral(":chunk:") + QString::fromLatin1(id.toHex());
}

} // namespace

ChunkRun::ChunkRun(QNetworkAccessManager &network, DownloadRun &transfers, QObject *parent)
    : QObject(parent), network(network), transfers(transfers), cache(QString())
{
    workers.setMaxThreadCount(qMax(QThread::idealThreadCount(), 1));
    connect(&transfers, &DownloadRun::speed, this, &ChunkRun::speed);
    connect(&transfers, &DownloadRun::progress, this, &ChunkRun::onProgress);
    connect(&transfers, &DownloadRun::fileReady, this, &ChunkRun::onFileReady);
    connect(&transfers, &DownloadRun::fileFailed, this, &ChunkRun::onFileFailed);
    connect(&transfers, &DownloadRun::failed, this, &ChunkRun::onRunFailed);
    connect(&transfers, &DownloadRun::finished, this, &ChunkRun::onRunFinished);
}

ChunkRun::~ChunkRun()
{
    cancel();
}

void ChunkRun::start(Request next)
{
    cancel();
    request = std::move(next);
    request.work.wanted.clear();
    for (const DownloadItem &item : std::as_const(request.items))
        request.work.wanted.append(item.key);
    request.work.stagingFolder = EngineFolders::stagingDirectory();
    cache = ChunkCache::ofEngine();
    stop = std::make_shared<std::atomic_bool>(false);
    usedIndex = false;
    storedIndex.clear();
    firstLegBytes = 0;
    legTotal = 0;
    if (request.work.manifestBody.isEmpty()) {
        fetchWhole(request.work.wanted);
        return;
    }

    setState(State::FetchingIndex);
    const QString address =
        Settings::instance->updateUrl + buildIndexPath(sha256Of(request.work.manifestBody));
    QNetworkReply *reply =
        network.get(launcherRequest(QUrl(address, QUrl::TolerantMode),
                                    Settings::instance->applicationName, BodyEncoding::Identity));
    indexReply = reply;
    connect(InactivityGuard::watch(reply, request.stallTimeoutMs), &InactivityGuard::stalled, this,
            [](QNetworkReply *stalled) { stalled->abort(); });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received <= maxChunkIndexStoredBytes || reply->property(oversizedProperty).toBool())
            return;
        reply->setProperty(oversizedProperty, true);
        reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onIndex(reply); });
}

void ChunkRun::cancel()
{
    ++generation;
    if (QNetworkReply *reply = indexReply.data()) {
        indexReply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
    stopWork();
    transfers.cancel();
    setState(State::Idle);
}

void ChunkRun::stopWork()
{
    if (stop)
        *stop = true;
    workers.waitForDone();
    setup.reset();
    chunkKeys.clear();
    waiting.clear();
    missing.clear();
    doomed.clear();
    users.clear();
    fallback.clear();
    assembling = 0;
    transfersDone = false;
}

void ChunkRun::onIndex(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != indexReply)
        return;
    indexReply = nullptr;
    if (reply->property(oversizedProperty).toBool() || reply->error() != QNetworkReply::NoError) {
        // A folder published without the store, or an index we cannot have: whole files.
        qInfo().noquote() << "No chunk index:" << reply->errorString();
        fetchWhole(request.work.wanted);
        return;
    }
    storedIndex = reply->readAll();
    setState(State::Planning);
    ChunkWork::Input input = request.work;
    input.storedIndex = storedIndex;
    const quint64 run = generation;
    workers.start([this, input = std::move(input), store = cache, run,
                   updateUrl = Settings::instance->updateUrl, runItems = request.items] {
        Result<ChunkWork::Setup> prepared = ChunkWork::prepare(input, store);
        Result<Start> start =
            prepared
                ? Result<Start>(startOf(std::move(prepared.value()), updateUrl, store, runItems))
                : Result<Start>(prepared.failure());
        QMetaObject::invokeMethod(
            this,
            [this, start = std::move(start), run]() mutable {
                if (run == generation)
                    onPlanned(std::move(start));
            },
            Qt::QueuedConnection);
    });
}

ChunkRun::Start ChunkRun::startOf(ChunkWork::Setup setup, const QString &updateUrl,
                                  const ChunkCache &store, const QList<DownloadItem> &runItems)
{
    Start start;
    start.setup = std::make_shared<const ChunkWork::Setup>(std::move(setup));
    const ChunkWork::Setup &planned = *start.setup;
    const QList<ChunkPlan::File> &files = planned.plan.files;
    start.missing = QList<int>(files.size(), 0);
    for (int i = 0; i < files.size(); ++i) {
        QSet<quint32> rows;
        for (const ChunkPlan::Piece &piece : files[i].pieces) {
            if (!piece.local)
                rows.insert(piece.chunk);
        }
        for (const quint32 row : std::as_const(rows)) {
            ++start.users[row];
            if (!planned.cached.contains(row)) {
                ++start.missing[i];
                start.waiting[row].append(i);
            }
        }
    }

    for (const quint32 row : planned.plan.fetch) {
        if (planned.cached.contains(row))
            continue;
        const IndexedChunk &chunk = planned.target.chunks[row];
        DownloadItem item;
        item.key = chunkKey(chunk.id);
        item.url = QUrl(updateUrl + chunkPath(chunk.id), QUrl::TolerantMode);
        item.stagingPath = store.chunkFile(chunk.id);
        item.size = chunk.storedSize;
        item.optional = true;
        item.checkedByCaller = true; // by its SHA-256 once unpacked
        start.chunkKeys.insert(item.key, row);
        start.items.append(item);
    }
    start.items.append(itemsOf(planned.plan.wholeFiles, runItems));
    return start;
}

void ChunkRun::onPlanned(Result<Start> start)
{
    if (!start) {
        qWarning().noquote() << "Not installing from the chunk store:" << start.message();
        fetchWhole(request.work.wanted);
        return;
    }
    Start &planned = start.value();
    setup = std::move(planned.setup);
    usedIndex = true;
    chunkKeys = std::move(planned.chunkKeys);
    waiting = std::move(planned.waiting);
    missing = std::move(planned.missing);
    users = std::move(planned.users);
    const QList<DownloadItem> items = std::move(planned.items);
    const QList<ChunkPlan::File> &files = setup->plan.files;

    setState(State::Fetching);
    for (int i = 0; i < files.size(); ++i) {
        if (missing[i] == 0)
            assemble(i);
    }
    if (items.isEmpty()) {
        transfersDone = true;
        maybeFinish();
        return;
    }
    transfers.start(items, request.maxConcurrent);
}

void ChunkRun::onProgress(qlonglong received, qlonglong total)
{
    if (state == State::Fetching) {
        legTotal = total;
        emit progress(received, total);
    } else if (state == State::Finishing) {
        emit progress(firstLegBytes + received, firstLegBytes + total);
    }
}

void ChunkRun::onFileReady(const QString &key)
{
    const auto chunk = chunkKeys.constFind(key);
    if (state == State::Fetching && chunk != chunkKeys.constEnd())
        chunkSettled(*chunk, true);
    else
        emit fileReady(key);
}

void ChunkRun::onFileFailed(const QString &key)
{
    const auto chunk = chunkKeys.constFind(key);
    if (state == State::Fetching && chunk != chunkKeys.constEnd()) {
        qWarning().noquote() << "Chunk not fetched:" << key;
        chunkSettled(*chunk, false);
    }
}

void ChunkRun::chunkSettled(quint32 row, bool arrived)
{
    if (arrived && users.value(row) == 0)
        drop({setup->target.chunks[row].id});
    const QList<int> files = waiting.take(row);
    for (const int file : files) {
        if (doomed.contains(file))
            continue;
        if (!arrived) {
            doomed.insert(file);
            fallback.append(setup->plan.files[file].key);
            release(file);
        } else if (--missing[file] == 0) {
            assemble(file);
        }
    }
}

void ChunkRun::assemble(int file)
{
    ++assembling;
    const quint64 run = generation;
    workers.start(
        [this, file, run, work = setup, stopped = stop, where = request.work, store = cache] {
            const Status status =
                ChunkWork::assemble(work->target, work->plan.files[file], where, store, *stopped);
            QMetaObject::invokeMethod(
                this,
                [this, file, run, status] {
                    if (run == generation)
                        onAssembled(file, status);
                },
                Qt::QueuedConnection);
        });
}

void ChunkRun::onAssembled(int file, const Status &status)
{
    --assembling;
    const QString &key = setup->plan.files[file].key;
    if (status) {
        emit fileReady(key);
    } else {
        qWarning().noquote() << "Fetching whole:" << status.message();
        fallback.append(key);
    }
    release(file);
    maybeFinish();
}

void ChunkRun::release(int file)
{
    // A chunk no file still needs makes room at once; the largest installs
    // would otherwise hold the build twice on disk.
    QSet<quint32> rows;
    for (const ChunkPlan::Piece &piece : setup->plan.files[file].pieces) {
        if (!piece.local)
            rows.insert(piece.chunk);
    }
    QList<ChunkId> unused;
    for (const quint32 row : std::as_const(rows)) {
        if (--users[row] == 0)
            unused.append(setup->target.chunks[row].id);
    }
    drop(unused);
}

void ChunkRun::drop(const QList<ChunkId> &chunks)
{
    // Off the GUI thread: a busy disk can hold an unlink up for a long time.
    if (!chunks.isEmpty())
        workers.start([chunks, store = cache] {
            for (const ChunkId &id : chunks)
                store.removeChunk(id);
        });
}

void ChunkRun::onRunFinished()
{
    if (state == State::Fetching) {
        firstLegBytes = legTotal;
        transfersDone = true;
        maybeFinish();
    } else if (state == State::Finishing) {
        setState(State::Idle);
        emit finished();
    }
}

void ChunkRun::onRunFailed(const QString &message)
{
    ++generation;
    stopWork();
    setState(State::Idle);
    emit failed(message);
}

void ChunkRun::maybeFinish()
{
    if (state != State::Fetching || !transfersDone || assembling > 0)
        return;
    QStringList whole = fallback;
    for (int i = 0; i < missing.size(); ++i) {
        if (missing[i] > 0 && !doomed.contains(i))
            whole.append(setup->plan.files[i].key);
    }
    fetchWhole(whole);
}

void ChunkRun::fetchWhole(const QStringList &keys)
{
    setState(State::Finishing);
    if (keys.isEmpty()) {
        setState(State::Idle);
        emit finished();
        return;
    }
    transfers.start(itemsOf(keys), request.maxConcurrent);
}

QList<DownloadItem> ChunkRun::itemsOf(const QStringList &keys) const
{
    return itemsOf(keys, request.items);
}

QList<DownloadItem> ChunkRun::itemsOf(const QStringList &keys, const QList<DownloadItem> &runItems)
{
    const QSet<QString> wanted(keys.cbegin(), keys.cend());
    QList<DownloadItem> items;
    for (const DownloadItem &item : runItems) {
        if (wanted.contains(item.key))
            items.append(item);
    }
    return items;
}

void ChunkRun::noteInstalled(const QString &installFolder)
{
    const QByteArray index = std::exchange(usedIndex, false) ? storedIndex : QByteArray();
    workers.start([index, installFolder, store = ChunkCache::ofEngine()] {
        if (!index.isEmpty()) {
            if (const Status saved = store.saveInstalledIndex(installFolder, index); !saved)
                qWarning().noquote() << "The chunk index was not kept:" << saved.message();
        }
        store.clear();
    });
}
