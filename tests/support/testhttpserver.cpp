#include "testhttpserver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <limits>

namespace {

constexpr qsizetype maxRequestHeadBytes = 64 * 1024;
constexpr qint64 writeChunkBytes = 64 * 1024;
// Keeps memory flat for large and endless bodies: refill only when Qt's buffer drains.
constexpr qint64 writeHighWater = 256 * 1024;
constexpr qint64 unlimited = std::numeric_limits<qint64>::max();

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 416:
        return "Range Not Satisfiable";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct Request
{
    QByteArray method;
    QString path; // percent-decoded, query removed
    bool pathValid = true;
    bool keepAlive = true;
    HeaderList headers; // names in lower case
};

// Parses one request head (without the blank line). False on a malformed head.
bool parseHead(const QByteArray &head, Request &request)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1."))
        return false;
    request.method = requestLine[0];
    QByteArray target = requestLine[1];
    if (target.startsWith("http://")) {
        const qsizetype slash = target.indexOf('/', 7);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    const qsizetype end = target.indexOf('?');
    if (end >= 0)
        target.truncate(end);
    const QByteArray decoded = QByteArray::fromPercentEncoding(target);
    request.path = QString::fromUtf8(decoded);
    request.pathValid = target.startsWith('/') && !decoded.contains('\0');

    bool http10 = requestLine[2] == "HTTP/1.0";
    request.keepAlive = !http10;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name == "connection") {
            const QByteArray token = value.toLower();
            if (token.contains("close"))
                request.keepAlive = false;
            else if (token.contains("keep-alive"))
                request.keepAlive = true;
        }
    }
    return true;
}

QByteArray headerValue(const HeaderList &headers, const QByteArray &name)
{
    const QByteArray wanted = name.toLower();
    for (const auto &header : headers) {
        if (header.first == wanted)
            return header.second;
    }
    return {};
}

// The first byte of a "bytes=FIRST-" or "bytes=FIRST-LAST" request (the last is
// ignored: the rest of the file is sent); -1 for no or another kind of range.
qint64 rangeStart(const QByteArray &value)
{
    if (!value.startsWith("bytes=") || value.contains(','))
        return -1;
    const qsizetype dash = value.indexOf('-');
    bool ok = false;
    const qint64 first = value.mid(6, dash - 6).toLongLong(&ok);
    return ok && dash > 6 ? first : -1;
}

// The ETag of a served file, made as nginx makes it.
QByteArray entityTag(const QFileInfo &file)
{
    return '"' + QByteArray::number(file.lastModified().toMSecsSinceEpoch(), 16) + '-' +
           QByteArray::number(file.size(), 16) + '"';
}

} // namespace

struct TestHttpServer::Shared
{
    mutable QMutex mutex;
    QString root;
    QHash<QString, Fault> faults;
    QHash<QString, int> counts;
    QList<QString> order;
    QHash<QString, HeaderList> headers;
    int total = 0;
    int inProgress = 0;
    int maxInProgress = 0;
};

class TestHttpServer::Worker final : public QObject
{
public:
    explicit Worker(Shared *shared) : shared(shared) {}

    quint16 listen();

    // Runs on the worker's thread; leaves nothing behind that needs it.
    void stop()
    {
        delete server;
        server = nullptr;
        qDeleteAll(children()); // the open connections
    }

private:
    class Connection;

    Shared *shared;
    QTcpServer *server = nullptr;
};

// One client connection: reads requests one after another (keep-alive) and
// answers each, applying the fault set for its path.
class TestHttpServer::Worker::Connection final : public QObject
{
public:
    Connection(QTcpSocket *socket, Worker *worker)
        : QObject(worker), socket(socket), shared(worker->shared)
    {
        socket->setParent(this);
        QObject::connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
        QObject::connect(socket, &QTcpSocket::bytesWritten, this, &Connection::pump);
        QObject::connect(socket, &QTcpSocket::disconnected, this, &Connection::onDisconnected);
        QObject::connect(&drip, &QTimer::timeout, this, [this] {
            allowance = allowance > unlimited - dripBytes ? unlimited : allowance + dripBytes;
            pump();
        });
        onReadyRead();
    }

    ~Connection() override
    {
        if (busy)
            endRequest();
        // Closing here would re-enter onDisconnected on a half-destroyed object.
        QObject::disconnect(socket, nullptr, this, nullptr);
        socket->abort();
    }

private:
    enum class After
    {
        Complete,
        Close,
        Stall
    };

    void onReadyRead()
    {
        input += socket->readAll();
        if (!busy)
            nextRequest();
    }

    void onDisconnected()
    {
        if (busy)
            endRequest();
        deleteLater();
    }

    void nextRequest()
    {
        const qsizetype headEnd = input.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (input.size() > maxRequestHeadBytes)
                refuse(431);
            return;
        }
        Request request;
        if (!parseHead(input.left(headEnd), request)) {
            refuse(400);
            return;
        }
        const qint64 bodyBytes =
            qMax<qint64>(0, headerValue(request.headers, "content-length").toLongLong());
        if (input.size() < headEnd + 4 + bodyBytes)
            return; // wait for the request body, which is then ignored
        input.remove(0, headEnd + 4 + bodyBytes);
        answer(request);
    }

    void refuse(int status)
    {
        input.clear();
        socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
    }

    void beginRequest(const Request &request)
    {
        QMutexLocker lock(&shared->mutex);
        ++shared->counts[request.path];
        ++shared->total;
        shared->order.append(request.path);
        shared->headers.insert(request.path, request.headers);
        ++shared->inProgress;
        shared->maxInProgress = qMax(shared->maxInProgress, shared->inProgress);
        busy = true;
    }

    void endRequest()
    {
        QMutexLocker lock(&shared->mutex);
        --shared->inProgress;
        busy = false;
    }

    void answer(const Request &request)
    {
        beginRequest(request);
        Fault fault;
        QString root;
        {
            QMutexLocker lock(&shared->mutex);
            fault = shared->faults.value(request.path);
            root = shared->root;
        }
        if (fault.stallBeforeHeaders) {
            stalled = true;
            return;
        }

        const bool head = request.method == "HEAD";
        int status = 200;
        QByteArray extraHeaders;
        file.reset();
        data.clear();
        bodyLength = 0;
        if (fault.useBody) {
            status = fault.status ? fault.status : 200;
            data = fault.body;
            bodyLength = data.size();
        } else if (fault.status) {
            status = fault.status;
            data = "status " + QByteArray::number(status) + '\n';
            bodyLength = data.size();
        } else if (!head && request.method != "GET") {
            status = 405;
            extraHeaders = "Allow: GET, HEAD\r\n";
        } else if (!request.pathValid || escapesRoot(request.path)) {
            status = 403;
        } else {
            const QString path = QDir::cleanPath(root + QLatin1Char('/') + request.path);
            auto opened = std::make_unique<QFile>(path);
            if (QFileInfo(path).isFile() && opened->open(QIODevice::ReadOnly)) {
                bodyLength = opened->size();
                // Validators as nginx makes them; a Range under another one gets the whole file.
                const QDateTime modified = QFileInfo(path).lastModified().toUTC();
                const QByteArray etag = entityTag(QFileInfo(path));
                const QByteArray lastModified =
                    QLocale::c().toString(modified, u"ddd, dd MMM yyyy hh:mm:ss 'GMT'").toLatin1();
                extraHeaders = "ETag: " + etag + "\r\nLast-Modified: " + lastModified + "\r\n";
                const QByteArray ifRange = headerValue(request.headers, "if-range");
                const bool sameFile =
                    ifRange.isEmpty() || ifRange == etag || ifRange == lastModified;
                const qint64 first = fault.ignoreRange || !sameFile
                                         ? -1
                                         : rangeStart(headerValue(request.headers, "range"));
                const QByteArray size = QByteArray::number(bodyLength);
                if (first >= bodyLength) {
                    status = 416;
                    extraHeaders += "Content-Range: bytes */" + size + "\r\n";
                    bodyLength = 0;
                } else if (first >= 0) {
                    status = 206;
                    extraHeaders += "Content-Range: bytes " + QByteArray::number(first) + '-' +
                                    QByteArray::number(bodyLength - 1) + '/' + size + "\r\n";
                    opened->seek(first);
                    bodyLength -= first;
                }
                if (status != 416)
                    file = std::move(opened);
            } else {
                status = 404;
            }
        }
        if (status >= 400 && bodyLength == 0 && !fault.useBody && status != 416) {
            data = QByteArray::number(status) + ' ' + reasonPhrase(status) + '\n';
            bodyLength = data.size();
        }

        sent = 0;
        sendLimit = head ? 0 : bodyLength;
        after = After::Complete;
        closeWhenDone = !request.keepAlive;
        allowance = unlimited;
        stalled = false;
        endless = fault.endless && !head;

        QByteArray length;
        if (endless) {
            sendLimit = unlimited;
            closeWhenDone = true;
        } else {
            const qint64 announced =
                fault.announcedLength >= 0 ? fault.announcedLength : bodyLength;
            // A wrong length leaves the connection unusable for another request.
            if (announced != bodyLength)
                closeWhenDone = true;
            length = "Content-Length: " + QByteArray::number(announced) + "\r\n";
        }
        if (!head && fault.cutAfterBytes >= 0 && fault.cutAfterBytes < sendLimit) {
            sendLimit = fault.cutAfterBytes;
            after = After::Close;
        }
        if (!head && fault.stallAfterBytes >= 0 && fault.stallAfterBytes < sendLimit) {
            sendLimit = fault.stallAfterBytes;
            after = After::Stall;
        }
        if (fault.dripBytes > 0 && !head) {
            dripBytes = fault.dripBytes;
            allowance = dripBytes;
            drip.start(qMax(0, fault.dripIntervalMs));
        }

        socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                      "\r\nContent-Type: application/octet-stream\r\n" + length + extraHeaders +
                      "Connection: " + (closeWhenDone ? "close" : "keep-alive") + "\r\n\r\n");
        pump();
    }

    static bool escapesRoot(const QString &path)
    {
        const QList<QStringView> segments = QStringView(path).split(QLatin1Char('/'));
        for (const QStringView segment : segments) {
            if (segment == QLatin1String(".."))
                return true;
        }
        return false;
    }

    QByteArray nextChunk(qint64 size)
    {
        if (endless)
            return QByteArray(size, 'x');
        if (file)
            return file->read(size);
        return data.mid(sent, size);
    }

    void pump()
    {
        if (!busy || stalled)
            return;
        const qint64 target = qMin(sendLimit, allowance);
        while (sent < target && socket->bytesToWrite() < writeHighWater) {
            const QByteArray chunk = nextChunk(qMin(writeChunkBytes, target - sent));
            if (chunk.isEmpty()) {
                after = After::Close; // the file shrank under us
                sendLimit = sent;
                break;
            }
            socket->write(chunk);
            sent += chunk.size();
        }
        if (sent < sendLimit)
            return;
        drip.stop();
        switch (after) {
        case After::Stall:
            stalled = true;
            return;
        case After::Close:
            closeWhenDone = true;
            break;
        case After::Complete:
            break;
        }
        if (socket->bytesToWrite() > 0 && !closeWhenDone)
            return; // finish once the client has it all, for honest concurrency counts
        file.reset();
        if (closeWhenDone) {
            // Stays in progress until the connection is gone.
            stalled = true;
            socket->disconnectFromHost();
            return;
        }
        endRequest();
        if (!input.isEmpty())
            nextRequest();
    }

    QTcpSocket *socket;
    Shared *shared;
    QByteArray input;
    QTimer drip;

    bool busy = false;
    bool stalled = false;
    bool endless = false;
    bool closeWhenDone = false;
    After after = After::Complete;
    std::unique_ptr<QFile> file;
    QByteArray data;
    qint64 bodyLength = 0;
    qint64 sent = 0;
    qint64 sendLimit = 0;
    qint64 allowance = unlimited;
    int dripBytes = 0;
};

quint16 TestHttpServer::Worker::listen()
{
    server = new QTcpServer(this);
    QObject::connect(server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server->nextPendingConnection())
            new Connection(socket, this);
    });
    if (!server->listen(QHostAddress::LocalHost, 0))
        return 0;
    return server->serverPort();
}
TestHttpServer::TestHttpServer(const QString &root, QObject *parent)
    : QObject(parent), shared(std::make_unique<Shared>())
{
    shared->root = root;
}

TestHttpServer::~TestHttpServer()
{
    if (!thread)
        return;
    QMetaObject::invokeMethod(
        worker, [this] { worker->stop(); }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete worker;
    delete thread;
}

bool TestHttpServer::start()
{
    if (thread)
        return listenPort != 0;
    thread = new QThread;
    thread->setObjectName(QStringLiteral("TestHttpServer"));
    worker = new Worker(shared.get());
    worker->moveToThread(thread);
    thread->start();
    quint16 port = 0;
    QMetaObject::invokeMethod(
        worker, [this, &port] { port = worker->listen(); }, Qt::BlockingQueuedConnection);
    listenPort = port;
    return listenPort != 0;
}

quint16 TestHttpServer::port() const
{
    return listenPort;
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(listenPort);
}

QUrl TestHttpServer::url(const QString &path) const
{
    return QUrl(baseUrl() + path, QUrl::TolerantMode);
}

void TestHttpServer::setRoot(const QString &root)
{
    QMutexLocker lock(&shared->mutex);
    shared->root = root;
}

void TestHttpServer::setFault(const QString &path, const Fault &fault)
{
    QMutexLocker lock(&shared->mutex);
    shared->faults.insert(path, fault);
}

void TestHttpServer::clearFaults()
{
    QMutexLocker lock(&shared->mutex);
    shared->faults.clear();
}

int TestHttpServer::requestCount(const QString &path) const
{
    QMutexLocker lock(&shared->mutex);
    return shared->counts.value(path);
}

int TestHttpServer::totalRequests() const
{
    QMutexLocker lock(&shared->mutex);
    return shared->total;
}

QByteArray TestHttpServer::validator(const QString &path) const
{
    QMutexLocker lock(&shared->mutex);
    return entityTag(QFileInfo(shared->root + path));
}

int TestHttpServer::maxConcurrentRequests() const
{
    QMutexLocker lock(&shared->mutex);
    return shared->maxInProgress;
}

QList<QString> TestHttpServer::requestedPaths() const
{
    QMutexLocker lock(&shared->mutex);
    return shared->order;
}

QByteArray TestHttpServer::lastHeader(const QString &path, const QByteArray &name) const
{
    QMutexLocker lock(&shared->mutex);
    return headerValue(shared->headers.value(path), name);
}

void TestHttpServer::resetCounters()
{
    QMutexLocker lock(&shared->mutex);
    shared->counts.clear();
    shared->order.clear();
    shared->headers.clear();
    shared->total = 0;
    shared->maxInProgress = shared->inProgress;
}
