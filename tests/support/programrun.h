#pragma once

#include <QString>
#include <QStringList>

// The outcome of running a program to its end.
struct ProgramRun
{
    int exitCode = -1; // -1: did not start, crashed or ran past the time limit
    QString out;
    QString err;

    QString output() const { return out + err; }
};

ProgramRun runProgram(const QString &program, const QStringList &arguments,
                      const QString &workingDirectory = {}, int timeoutMs = 120000);
