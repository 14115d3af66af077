#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A web server program run in the foreground for a test, on a free loopback
// port; stopped (and waited for) when this object goes.
class ServerProcess final
{
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // A port nobody listens on right now.
    static quint16 freePort();

    // Starts the program and waits until `port` accepts connections; false
    // (with error()) when the program ends first or the wait runs out.
    bool start(const QString &program, const QStringList &arguments, quint16 port,
               const QString &logPath);
    void stop();
    bool running() const { return process.state() != QProcess::NotRunning; }
    QString error() const { return failure; }

private:
    QProcess process;
    QString log;
    QString failure;
};

// Lets the unprivileged user a server drops to ("nobody") read `folder`: adds
// read and search rights for others to it and to its parents below the
// temporary locations, never write rights.
bool makeReadableByOthers(const QString &folder);
