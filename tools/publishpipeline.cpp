#include "publishpipeline.h"

#include "checksum.h"
#include "platform/platform.h"

#include <QFile>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstring>
#include <deque>
#include <new>

namespace {

// Reads land at a page-aligned spot: unaligned reads run several times slower here.
constexpr qsizetype pageSize = 4096;
constexpr qsizetype readSize = 4 * 1024 * 1024;

} // namespace

// Room for the bytes after a buffer's last boundary in front of the aligned read
// position, so every chunk lies whole in one buffer.
struct PublishPipeline::Buffer
{
    explicit Buffer(qsizetype front)
        : front(front),
          bytes(static_cast<uchar *>(::operator new(front + readSize, std::align_val_t(pageSize))))
    {
    }
    ~Buffer() { ::operator delete(bytes, std::align_val_t(pageSize)); }
    const qsizetype front;
    uchar *const bytes;
};

struct PublishPipeline::FileJob
{
    const GameFile *file = nullptr;
    std::unique_ptr<QFile> in;
    std::unique_ptr<QFile> out;
    // Touched only by the thread that holds the job for cutting.
    quint32 crc = 0;
    qint64 size = 0;
    qint64 cutOffset = 0; // where `tail` starts in the file
    QByteArray tail;      // read but not cut yet: cut with the next read
    QString readError;
    // Under the lock.
    bool claimed = false;
    bool readDone = false;
    qint64 pending = 0;           // batches cut but not stored yet
    QList<QList<ChunkRef>> parts; // one per batch, in file order
    QString storeError;
    Published result;
};

struct PublishPipeline::Batch
{
    struct Piece
    {
        qsizetype at = 0; // in the buffer
        qsizetype length = 0;
        qint64 offset = 0; // in the file
    };
    FileJob *job = nullptr;
    Buffer *buffer = nullptr;
    qsizetype sequence = 0;
    QList<Piece> pieces;
    QList<ChunkRef> refs;
    QString error;
};

PublishPipeline::PublishPipeline(QList<GameFile> files, const QString &outDir, bool copy,
                                 ChunkPublisher *store, int threads)
    : files(std::move(files)), outDir(outDir), copy(copy), store(store), threads(qMax(1, threads)),
      limits(store ? store->limits() : ChunkLimits{})
{
    const qsizetype front =
        store ? (qsizetype(limits.maxSize) + pageSize - 1) / pageSize * pageSize : 0;
    // One buffer being cut and one being stored per thread, and one waiting.
    for (int i = 0; i < 2 * this->threads + 1; ++i) {
        buffers.push_back(std::make_unique<Buffer>(front));
        freeBuffers.append(buffers.back().get());
    }
    for (const GameFile &file : std::as_const(this->files)) {
        jobs.push_back(std::make_unique<FileJob>());
        jobs.back()->file = &file;
    }
    unfinished = qsizetype(jobs.size());
}

PublishPipeline::~PublishPipeline() = default;

QList<Published> PublishPipeline::run(Progress &progress)
{
    this->progress = &progress;
    QThreadPool pool;
    pool.setMaxThreadCount(threads);
    const QList<int> workers(threads);
    resultsWithProgress(QtConcurrent::mapped(&pool, workers,
                                             [this](int) {
                                                 work();
                                                 return 0;
                                             }),
                        progress);
    QList<Published> results;
    for (const std::unique_ptr<FileJob> &job : jobs)
        results.append(std::move(job->result));
    return results;
}

// Stored batches first, so buffers come back and cutting never waits for long.
void PublishPipeline::work()
{
    QMutexLocker locker(&mutex);
    while (unfinished > 0) {
        if (!ready.isEmpty()) {
            std::unique_ptr<Batch> batch(ready.takeFirst());
            FileJob &job = *batch->job;
            const bool wanted = job.storeError.isEmpty();
            locker.unlock();
            if (wanted)
                storeChunks(*batch);
            locker.relock();
            if (job.storeError.isEmpty())
                job.storeError = batch->error;
            job.parts[batch->sequence] = std::move(batch->refs);
            freeBuffers.append(batch->buffer);
            if (--job.pending == 0 && job.readDone)
                finish(job);
            changed.wakeAll();
            continue;
        }
        FileJob *job = freeBuffers.isEmpty() ? nullptr : fileToCut();
        if (!job) {
            changed.wait(&mutex);
            continue;
        }
        auto batch = std::make_unique<Batch>();
        batch->job = job;
        batch->buffer = freeBuffers.takeLast();
        job->claimed = true;
        locker.unlock();
        const bool done = cut(*job, *batch);
        locker.relock();
        job->claimed = false;
        job->readDone = done;
        if (batch->pieces.isEmpty()) {
            freeBuffers.append(batch->buffer);
        } else {
            batch->sequence = job->parts.size();
            job->parts.append(QList<ChunkRef>());
            ++job->pending;
            ready.append(batch.release());
        }
        if (job->readDone) {
            openJobs.removeOne(job);
            if (job->pending == 0)
                finish(*job);
        }
        changed.wakeAll();
    }
}

// A file already open first: at most one open file per thread.
PublishPipeline::FileJob *PublishPipeline::fileToCut()
{
    for (FileJob *job : std::as_const(openJobs)) {
        if (!job->claimed)
            return job;
    }
    if (nextFile == qsizetype(jobs.size()))
        return nullptr;
    FileJob *job = jobs[size_t(nextFile++)].get();
    openJobs.append(job);
    return job;
}

// Reads the job's next buffer, adds it to the CRC-32 and the copy, and cuts it
// into chunks up to where the cutter could still need bytes not read yet. True
// when the file is done with, read to its end or failed.
bool PublishPipeline::cut(FileJob &job, Batch &batch)
{
    const QString &key = job.file->key;
    const auto fail = [&job](const QString &why) {
        job.readError = why;
        job.in.reset();
        job.out.reset();
        return true;
    };
    if (!job.in) {
        job.in = std::make_unique<QFile>(job.file->path);
        if (!job.in->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return fail(QStringLiteral("%1: cannot read: %2").arg(key, job.in->errorString()));
        if (copy) {
            job.out = std::make_unique<QFile>(outDir + key);
            if (!job.out->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
                return fail(QStringLiteral("%1: cannot write %2: %3")
                                .arg(key, job.out->fileName(), job.out->errorString()));
            // A shared copy costs no writing. The copy is then what is read, so the
            // manifest describes it even if the game's file changes meanwhile.
            if (platform::cloneFile(*job.in, *job.out)) {
                job.out.reset();
                job.in = std::make_unique<QFile>(outDir + key);
                if (!job.in->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
                    return fail(QStringLiteral("%1: cannot read %2: %3")
                                    .arg(key, job.in->fileName(), job.in->errorString()));
            }
        }
    }
    uchar *const bytes = batch.buffer->bytes;
    const qsizetype readAt = batch.buffer->front;
    qsizetype begin = readAt - job.tail.size();
    if (!job.tail.isEmpty())
        std::memcpy(bytes + begin, job.tail.constData(), size_t(job.tail.size()));
    qsizetype end = readAt;
    bool atEnd = false;
    while (end < readAt + readSize) {
        const qint64 got =
            job.in->read(reinterpret_cast<char *>(bytes + end), readAt + readSize - end);
        if (got < 0)
            return fail(QStringLiteral("%1: read failed: %2").arg(key, job.in->errorString()));
        if (got == 0) {
            atEnd = true;
            break;
        }
        end += got;
    }
    job.crc = crc32Update(job.crc, bytes + readAt, end - readAt);
    job.size += end - readAt;
    if (job.out && job.out->write(reinterpret_cast<const char *>(bytes + readAt), end - readAt) !=
                       end - readAt)
        return fail(QStringLiteral("%1: write failed: %2").arg(key, job.out->errorString()));
    if (store) {
        while (begin < end && (atEnd || end - begin >= limits.maxSize)) {
            const qsizetype length = chunkLength(bytes + begin, end - begin, limits);
            batch.pieces.append(Batch::Piece{begin, length, job.cutOffset});
            job.cutOffset += length;
            begin += length;
        }
        job.tail.resize(end - begin);
        if (end > begin)
            std::memcpy(job.tail.data(), bytes + begin, size_t(end - begin));
    }
    if (atEnd) {
        if (job.out && !job.out->flush())
            return fail(QStringLiteral("%1: write failed: %2").arg(key, job.out->errorString()));
        job.in.reset();
        job.out.reset();
    }
    return atEnd;
}

void PublishPipeline::storeChunks(Batch &batch)
{
    const uchar *const bytes = batch.buffer->bytes;
    for (const Batch::Piece &piece : std::as_const(batch.pieces)) {
        const Result<quint32> row = store->add(
            QByteArrayView(reinterpret_cast<const char *>(bytes + piece.at), piece.length));
        if (!row) {
            batch.error = QStringLiteral("%1: %2").arg(batch.job->file->key, row.message());
            return;
        }
        batch.refs.append(ChunkRef{row.value(), piece.offset});
    }
}

void PublishPipeline::finish(FileJob &job)
{
    Published &result = job.result;
    result.key = job.file->key;
    result.error = job.readError.isEmpty() ? job.storeError : job.readError;
    result.size = job.size;
    result.checksum = crc32Hex(job.crc);
    result.chunks.key = job.file->key;
    result.chunks.size = job.size;
    result.chunks.crc = job.crc;
    for (QList<ChunkRef> &part : job.parts)
        result.chunks.chunks.append(std::move(part));
    job.parts.clear();
    job.tail = QByteArray();
    progress->fileDone(job.size);
    --unfinished;
}
