#include "singleinstance.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

namespace {

constexpr int answerWaitMs = 3000;
const QByteArray raiseRequest = QByteArrayLiteral("raise\n");

QString fileName(QString name)
{
    for (QChar &c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    }
    return name;
}

} // namespace

SingleInstance::SingleInstance(const QString &folder, const QString &name)
    : socketPath(folder + QLatin1Char('/') + fileName(name) + QStringLiteral(".socket")),
      lock(folder + QLatin1Char('/') + fileName(name) + QStringLiteral(".lock"))
{
    // Only a lock whose process is gone is stale, however long a session lasts.
    lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (server)
        server->close();
}

QString SingleInstance::defaultFolder()
{
    // Not the runtime folder: XDG_RUNTIME_DIR is missing from some sessions (su,
    // ssh, a desktop file started oddly), and a launcher started there must still
    // find the one already running. The folder stays short: it holds a socket.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    const QString company = QCoreApplication::organizationName();
    if (!company.isEmpty())
        folder += QLatin1Char('/') + fileName(company);
    folder += QStringLiteral("/instances");
    const platform::FolderCheck check = platform::ensurePrivateFolder(folder);
    if (!check.ok)
        qWarning().noquote() << "One launcher per user cannot be ensured:" << check.error;
    return folder;
}

bool SingleInstance::claim()
{
    if (lock.tryLock(0)) {
        server = std::make_unique<QLocalServer>();
        server->setSocketOptions(QLocalServer::UserAccessOption);
        // A socket file left by a killed holder of the lock would block listening.
        QLocalServer::removeServer(socketPath);
        if (!server->listen(socketPath))
            qWarning().noquote() << "Cannot listen for later starts:" << server->errorString();
        connect(server.get(), &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *socket = server->nextPendingConnection()) {
                connect(socket, &QLocalSocket::readyRead, this,
                        [this, socket] { readRequest(socket); });
                connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                readRequest(socket);
            }
        });
        return true;
    }
    if (lock.error() != QLockFile::LockFailedError)
        return true; // no lock to be had at all: better a second window than none

    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (socket.waitForConnected(answerWaitMs)) {
        socket.write(raiseRequest);
        socket.waitForBytesWritten(answerWaitMs);
        socket.disconnectFromServer();
    }
    return false;
}

void SingleInstance::readRequest(QLocalSocket *socket)
{
    while (socket->canReadLine()) {
        if (socket->readLine() == raiseRequest)
            emit raiseRequested();
    }
}
