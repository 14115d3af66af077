#include "apacheserver.h"

#include <QDir>
#include <QFile>

ApacheServer::ApacheServer(const QString &root) : root(QDir(root).absolutePath()) {}

bool ApacheServer::start()
{
    if (!work.isValid() || !makeReadableByOthers(root)) {
        failure = QStringLiteral("cannot prepare the served folder ") + root;
        return false;
    }
    const QDir dir(work.path());
    const QString modules = QStringLiteral("/usr/lib/apache2/modules/");
    for (int attempt = 0; attempt < 5; ++attempt) {
        listenPort = ServerProcess::freePort();
        const QString config =
            QStringLiteral("ServerRoot \"%1\"\nServerName 127.0.0.1\nListen 127.0.0.1:%2\n"
                           "LoadModule mpm_event_module %3mod_mpm_event.so\n"
                           "LoadModule authz_core_module %3mod_authz_core.so\n"
                           "User nobody\nGroup nogroup\n"
                           "PidFile \"%1/httpd.pid\"\nErrorLog \"%1/error.log\"\n"
                           "DefaultRuntimeDir \"%1\"\nMutex posixsem default\n"
                           "DocumentRoot \"%4\"\n"
                           "<Directory \"%4\">\n  Require all granted\n</Directory>\n")
                .arg(work.path())
                .arg(listenPort)
                .arg(modules, root);
        QFile file(dir.filePath(QStringLiteral("httpd.conf")));
        if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) {
            failure = QStringLiteral("cannot write the Apache configuration");
            return false;
        }
        file.close();
        if (process.start(QStringLiteral("apache2"),
                          {QStringLiteral("-f"), file.fileName(), QStringLiteral("-DFOREGROUND")},
                          listenPort, dir.filePath(QStringLiteral("apache.log"))))
            return true;
        QFile log(dir.filePath(QStringLiteral("error.log")));
        log.open(QIODevice::ReadOnly);
        failure = process.error() + QString::fromLocal8Bit(log.readAll());
    }
    return false;
}

QString ApacheServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(listenPort);
}
