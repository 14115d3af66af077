#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

// Puts the stand-in pkexec (tests/helpers/elevation/pkexec) first on PATH for
// this process and the processes it starts, and reads back what it was asked
// to run. The log is writable by every user, so unprivileged runs record too.
class PkexecStandIn final
{
public:
    enum class Mode
    {
        Run,
        Record,
        Decline
    };

    explicit PkexecStandIn(Mode mode = Mode::Run);
    ~PkexecStandIn();

    void setMode(Mode mode);
    // One entry per call, the command and its arguments.
    QList<QStringList> calls() const;
    void clear();

private:
    QTemporaryDir logDir;
    QString logPath;
    QByteArray savedPath;
};
