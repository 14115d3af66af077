#include "pkexecstandin.h"

#include <QFile>

PkexecStandIn::PkexecStandIn(Mode mode)
    : logPath(logDir.filePath(QStringLiteral("pkexec.log"))), savedPath(qgetenv("PATH"))
{
    QFile::setPermissions(logDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                             QFile::ReadOther | QFile::ExeOther);
    clear();
    qputenv("PATH", QByteArray(TEST_HELPERS_DIR "/elevation:") + savedPath);
    qputenv("PKEXEC_LOG", QFile::encodeName(logPath));
    setMode(mode);
}

PkexecStandIn::~PkexecStandIn()
{
    qputenv("PATH", savedPath);
    qunsetenv("PKEXEC_LOG");
    qunsetenv("PKEXEC_MODE");
}

void PkexecStandIn::setMode(Mode mode)
{
    const char *names[] = {"run", "record", "decline"};
    qputenv("PKEXEC_MODE", names[static_cast<int>(mode)]);
}

QList<QStringList> PkexecStandIn::calls() const
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QList<QStringList> calls;
    QStringList call;
    const QByteArray text = log.readAll();
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\0') {
            call << QString::fromLocal8Bit(text.mid(start, i - start));
            start = i + 1;
        } else if (text[i] == '\n' && i == start) {
            calls << call;
            call.clear();
            start = i + 1;
        }
    }
    return calls;
}

void PkexecStandIn::clear()
{
    QFile log(logPath);
    if (log.open(QIODevice::WriteOnly | QIODevice::Truncate))
        log.close();
    QFile::setPermissions(logPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                       QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther);
}
