#include "nginxserver.h"

#include <QDir>
#include <QFile>

NginxServer::NginxServer(const QString &root) : root(QDir(root).absolutePath()) {}

bool NginxServer::start(const Options &options)
{
    tls = options.tls;
    if (!work.isValid()) {
        failure = QStringLiteral("no work folder");
        return false;
    }
    const QDir dir(work.path());
    if (tls && !authority.create(dir.filePath(QStringLiteral("tls")))) {
        failure = authority.error();
        return false;
    }

    // A port picked here may be taken before nginx binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        listenPort = ServerProcess::freePort();
        QString listen = QStringLiteral("127.0.0.1:%1").arg(listenPort);
        QString site;
        if (tls) {
            listen += options.http2 ? QStringLiteral(" ssl http2") : QStringLiteral(" ssl");
            site += QStringLiteral("    ssl_certificate \"%1\";\n    ssl_certificate_key \"%2\";\n")
                        .arg(authority.serverCertificatePath(), authority.serverKeyPath());
        }
        if (options.gzip)
            site += QStringLiteral("    gzip on;\n    gzip_types *;\n    gzip_min_length 0;\n");
        if (options.redirectTo.isEmpty())
            site += QStringLiteral("    root \"%1\";\n").arg(root);
        else
            site += QStringLiteral("    location / { return 302 %1$request_uri; }\n")
                        .arg(options.redirectTo);

        const QString config =
            QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\n"
                           "pid nginx.pid;\nerror_log stderr;\n"
                           "events { worker_connections 256; }\n"
                           "http {\n  access_log off;\n  default_type application/octet-stream;\n"
                           "  client_body_temp_path tmp/body;\n  proxy_temp_path tmp/proxy;\n"
                           "  fastcgi_temp_path tmp/fastcgi;\n  uwsgi_temp_path tmp/uwsgi;\n"
                           "  scgi_temp_path tmp/scgi;\n  sendfile on;\n"
                           "  server {\n    listen %1;\n%2  }\n}\n")
                .arg(listen, site);
        QFile file(dir.filePath(QStringLiteral("nginx.conf")));
        if (!dir.mkpath(QStringLiteral("tmp")) || !file.open(QIODevice::WriteOnly) ||
            file.write(config.toUtf8()) < 0) {
            failure = QStringLiteral("cannot write the nginx configuration");
            return false;
        }
        file.close();
        if (process.start(QStringLiteral("nginx"),
                          {QStringLiteral("-p"), work.path() + QLatin1Char('/'),
                           QStringLiteral("-c"), QStringLiteral("nginx.conf"), QStringLiteral("-e"),
                           QStringLiteral("stderr")},
                          listenPort, dir.filePath(QStringLiteral("nginx.log"))))
            return true;
        failure = process.error();
    }
    return false;
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(listenPort);
}

QString NginxServer::caPath() const
{
    return tls ? authority.caPath() : QString();
}
