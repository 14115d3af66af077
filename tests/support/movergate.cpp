#include "movergate.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QUuid>

#include <csignal>

namespace {

constexpr char gateVariable[] = "ENGINE_TEST_MOVER_GATE";
// A mover left waiting this long belongs to a test that no longer listens.
constexpr int verdictPatienceMs = 60000;

} // namespace

MoverGate::MoverGate()
{
    const QString name = QStringLiteral("mover-gate-") + QUuid::createUuid().toString(QUuid::Id128);
    if (!server.listen(name))
        return;
    qputenv(gateVariable, server.fullServerName().toLocal8Bit());
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket] { readArrival(socket); });
            readArrival(socket);
        }
    });
}

MoverGate::~MoverGate()
{
    qunsetenv(gateVariable);
}

void MoverGate::readArrival(QLocalSocket *socket)
{
    if (movers.contains(socket) || !socket->canReadLine())
        return;
    const QJsonArray list = QJsonDocument::fromJson(socket->readLine()).array();
    QStringList arguments;
    for (const QJsonValue &value : list)
        arguments << value.toString();
    movers << socket;
    moverArguments << arguments;
    emit arrived(static_cast<int>(movers.size()) - 1);
}

bool MoverGate::release(int index, Verdict verdict)
{
    QLocalSocket *socket = movers.value(index);
    if (!socket)
        return false;
    const char code = verdict == Verdict::Proceed ? 'p' : verdict == Verdict::Fail ? 'f' : 'k';
    socket->write(&code, 1);
    return socket->waitForBytesWritten(5000);
}

int passMoverGate(const QStringList &arguments)
{
    const QString name = qEnvironmentVariable(gateVariable);
    if (name.isEmpty())
        return -1;
    QLocalSocket gate;
    gate.connectToServer(name);
    if (!gate.waitForConnected(verdictPatienceMs))
        return 1;
    gate.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) +
               '\n');
    if (!gate.waitForBytesWritten(verdictPatienceMs) || !gate.waitForReadyRead(verdictPatienceMs))
        return 1;
    const QByteArray verdict = gate.read(1);
    switch (verdict.isEmpty() ? 'f' : verdict.at(0)) {
    case 'p':
        return -1;
    case 'k':
        std::raise(SIGKILL);
        return 1;
    default:
        return 1;
    }
}
