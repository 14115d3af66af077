#pragma once

#include "chunkpublisher.h"
#include "console.h"
#include "gamefolder.h"

#include <QList>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

#include <memory>
#include <vector>

struct Published
{
    QString key;
    QString checksum;
    qint64 size = 0;
    QString error;
    IndexedFile chunks; // when the store is written
};

// Publishes files over several threads with the work of one file spread over
// all of them: reading, the CRC-32, the whole-file copy and cutting go in file
// order, one read buffer at a time; hashing, compressing and storing that
// buffer's chunks go to whichever thread is free. A few read buffers circulate,
// so memory stays the same whatever the files' sizes, and a game made of one
// large archive still keeps every core busy.
class PublishPipeline final
{
public:
    // `store` null: no chunks. `copy` false: the manifest's figures alone.
    PublishPipeline(QList<GameFile> files, const QString &outDir, bool copy, ChunkPublisher *store,
                    int threads);
    ~PublishPipeline();
    PublishPipeline(const PublishPipeline &) = delete;
    PublishPipeline &operator=(const PublishPipeline &) = delete;

    // One result per file, in the order given; the bytes described are the
    // bytes copied, read once.
    QList<Published> run(Progress &progress);

private:
    struct Buffer;
    struct FileJob;
    struct Batch;

    void work();
    bool cut(FileJob &job, Batch &batch); // without the lock, the job claimed
    void storeChunks(Batch &batch);       // without the lock
    void finish(FileJob &job);            // with the lock held
    FileJob *fileToCut();                 // with the lock held

    QList<GameFile> files;
    QString outDir;
    bool copy;
    ChunkPublisher *store;
    int threads;
    ChunkLimits limits;
    Progress *progress = nullptr;

    QMutex mutex; // guards everything below
    QWaitCondition changed;
    std::vector<std::unique_ptr<FileJob>> jobs;
    std::vector<std::unique_ptr<Buffer>> buffers;
    QList<Buffer *> freeBuffers;
    QList<Batch *> ready;      // cut, waiting to be stored
    QList<FileJob *> openJobs; // started, not read to the end
    qsizetype nextFile = 0;
    qsizetype unfinished = 0;
};
