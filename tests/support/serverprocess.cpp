#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

ServerProcess::~ServerProcess()
{
    stop();
}

quint16 ServerProcess::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool ServerProcess::start(const QString &program, const QStringList &arguments, quint16 port,
                          const QString &logPath)
{
    log = logPath;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(logPath);
    process.start(program, arguments);
    if (!process.waitForStarted(30000)) {
        failure = program + QStringLiteral(" did not start: ") + process.errorString();
        return false;
    }
    // Generous: the suites share two cores with other builds.
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(1000))
            return true;
        if (process.waitForFinished(50))
            break;
    }
    QFile output(logPath);
    output.open(QIODevice::ReadOnly);
    failure = program + QStringLiteral(" did not listen on port %1: ").arg(port) +
              QString::fromLocal8Bit(output.readAll());
    stop();
    return false;
}

void ServerProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
    }
}

bool makeReadableByOthers(const QString &folder)
{
    // Suites move TMPDIR into their own folders; /tmp stays a bound either way.
    const QStringList temps{QDir(QStringLiteral("/tmp")).canonicalPath(),
                            QDir(QDir::tempPath()).canonicalPath()};
    const auto belowTemp = [&temps](const QString &path) {
        return std::any_of(temps.cbegin(), temps.cend(), [&path](const QString &temp) {
            return !temp.isEmpty() && path.startsWith(temp + QLatin1Char('/'));
        });
    };
    const QString start = QDir(folder).canonicalPath();
    if (start.isEmpty())
        return false;
    const auto grant = [](const QString &path, QFileDevice::Permissions extra) {
        QFile file(path);
        return file.setPermissions(file.permissions() | extra);
    };
    // Parents: search only.
    for (QString dir = QFileInfo(start).path(); belowTemp(dir); dir = QFileInfo(dir).path()) {
        if (!grant(dir, QFileDevice::ExeOther))
            return false;
    }
    if (!grant(start, QFileDevice::ReadOther | QFileDevice::ExeOther))
        return false;
    QDirIterator it(start, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (entry.isSymLink())
            continue;
        const QFileDevice::Permissions extra =
            entry.isDir() ? QFileDevice::ReadOther | QFileDevice::ExeOther : QFileDevice::ReadOther;
        if (!grant(entry.filePath(), extra))
            return false;
    }
    return true;
}
