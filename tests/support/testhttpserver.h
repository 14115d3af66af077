#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QThread;

// A real HTTP/1.1 server on 127.0.0.1 with an ephemeral port, serving the files
// of a folder (GET and HEAD, keep-alive). It runs on its own thread, so it keeps
// answering while a test blocks (waiting for a process, say). Request paths are
// percent-decoded before they are looked up ("/a%2Fb.pak" serves "a/b.pak").
// "Range: bytes=N-" is answered with 206 and the rest of the file, or 416; files
// carry an ETag and Last-Modified, and a Range under another If-Range gets 200.
class TestHttpServer final : public QObject
{
    Q_OBJECT

public:
    // What to do instead of serving a path normally. Zero values mean "as usual".
    struct Fault
    {
        int status = 0;                  // answer with this status and a short body
        QByteArray body;                 // serve these bytes instead of the file
        bool useBody = false;            // (set when body is meant, even if empty)
        qint64 cutAfterBytes = -1;       // close the connection after this many body bytes
        bool stallBeforeHeaders = false; // accept and read the request, never answer
        qint64 stallAfterBytes = -1;     // send headers and this many body bytes, then go silent
        int dripBytes = 0;               // send the body this many bytes at a time...
        int dripIntervalMs = 0;          // ...with this pause between chunks
        qint64 announcedLength = -1;     // Content-Length to announce instead of the true one
        bool endless = false;            // an endless body (no Content-Length, never ends)
        bool ignoreRange = false;        // answer Range requests with the whole file (200)
    };

    explicit TestHttpServer(const QString &root, QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1:0; false when no port could be had.
    bool start();
    quint16 port() const;
    QString baseUrl() const;             // "http://127.0.0.1:PORT" without a trailing slash
    QUrl url(const QString &path) const; // baseUrl() + path, read in QUrl's tolerant mode

    void setRoot(const QString &root);
    void setFault(const QString &path, const Fault &fault); // path as decoded, with leading "/"
    void clearFaults();

    // Counters since start (or resetCounters).
    int requestCount(const QString &path) const;
    int totalRequests() const;
    QByteArray validator(const QString &path) const; // the ETag a file is served with now
    int maxConcurrentRequests() const;     // largest number of requests in progress at once
    QList<QString> requestedPaths() const; // in arrival order
    QByteArray lastHeader(const QString &path, const QByteArray &name) const; // case-insensitive
    void resetCounters();

private:
    struct Shared;
    class Worker;

    std::unique_ptr<Shared> shared;
    QThread *thread = nullptr;
    Worker *worker = nullptr;
    quint16 listenPort = 0;
};
