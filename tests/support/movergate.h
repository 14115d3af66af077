#pragma once

#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QStringList>

class QLocalSocket;

// Holds every file mover the engine starts until the test lets it through, so a
// test can act while a mover is known to be running. The suites' binaries are
// the engine's movers; they call passMoverGate() before handing over to the
// real launcher. Only one gate at a time: it names itself in the environment.
class MoverGate final : public QObject
{
    Q_OBJECT

public:
    enum class Verdict
    {
        Proceed, // hand over to the real mover
        Fail,    // exit with 1 without moving anything
        Kill     // die of a signal
    };

    MoverGate();
    ~MoverGate() override;

    bool isListening() const { return server.isListening(); }
    int arrivals() const { return static_cast<int>(movers.size()); }
    // The command-line arguments of each mover, in order of arrival.
    QList<QStringList> arguments() const { return moverArguments; }
    // Lets the mover that arrived as `index` go on; true once the verdict is sent.
    bool release(int index, Verdict verdict = Verdict::Proceed);

signals:
    void arrived(int index);

private:
    void readArrival(QLocalSocket *socket);

    QLocalServer server;
    QList<QLocalSocket *> movers;
    QList<QStringList> moverArguments;
};

// In a mover process: -1 when there is no gate or it said proceed, otherwise
// the exit code to end with.
int passMoverGate(const QStringList &arguments);
