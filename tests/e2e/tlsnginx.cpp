#include "tlsnginx.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QThread>

namespace {

QString runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) +
               QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll());
    return {};
}

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

QString namespaceOf(const QString &pid, const char *kind)
{
    return QFileInfo(QStringLiteral("/proc/%1/ns/%2").arg(pid, QLatin1String(kind)))
        .symLinkTarget();
}

} // namespace

bool inPrivateNamespaces()
{
    // The CTest command names the namespaces it was started in.
    const QStringList outer =
        QString::fromLocal8Bit(qgetenv("LAUNCHER_E2E_OUTER_NAMESPACES")).split(QLatin1Char(' '));
    const char *kinds[] = {"mnt", "net"};
    if (outer.size() != 2)
        return false;
    for (int i = 0; i < 2; ++i) {
        const QString own = namespaceOf(QStringLiteral("self"), kinds[i]);
        if (own.isEmpty() || outer[i].isEmpty() || own == outer[i])
            return false;
    }
    return true;
}

TlsNginx::TlsNginx(const QString &folder) : folder(folder) {}

TlsNginx::~TlsNginx()
{
    if (nginx.state() != QProcess::NotRunning) {
        nginx.terminate();
        if (!nginx.waitForFinished(10000)) {
            nginx.kill();
            nginx.waitForFinished(10000);
        }
    }
}

QString TlsNginx::start(const QStringList &hostNames)
{
    // The mounts below would change the whole machine outside a namespace.
    if (!inPrivateNamespaces())
        return QStringLiteral("not in private mount and network namespaces");
    const QString tls = folder + QStringLiteral("/tls");
    if (!QDir().mkpath(tls) || !QDir().mkpath(root()) || !QDir().mkpath(folder + "/tmp"))
        return QStringLiteral("cannot create %1").arg(folder);

    QStringList names;
    for (const QString &host : hostNames)
        names << QStringLiteral("DNS:") + host;
    if (!write(tls + "/server.ext",
               "subjectAltName=" + names.join(QLatin1Char(',')).toLatin1() +
                   "\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n"))
        return QStringLiteral("cannot write the certificate's extensions");
    const QList<QStringList> steps{
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=Launcher end-to-end test CA", "-keyout", tls + "/ca.key", "-out", tls + "/ca.pem",
         "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
         "keyUsage=critical,keyCertSign,cRLSign"},
        {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + hostNames.value(0), "-keyout",
         tls + "/server.key", "-out", tls + "/server.csr"},
        {"x509", "-req", "-in", tls + "/server.csr", "-CA", tls + "/ca.pem", "-CAkey",
         tls + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile", tls + "/server.ext", "-out",
         tls + "/server.pem"}};
    for (const QStringList &step : steps)
        if (const QString error = runTool(QStringLiteral("openssl"), step); !error.isEmpty())
            return error;

    // Host names to loopback, and the system's authorities plus ours.
    const QString hosts = folder + QStringLiteral("/hosts");
    if (!write(hosts, "127.0.0.1 localhost " + hostNames.join(QLatin1Char(' ')).toLatin1() +
                          "\n::1 localhost\n"))
        return QStringLiteral("cannot write %1").arg(hosts);
    const QString certs = folder + QStringLiteral("/certs");
    const QList<QPair<QString, QStringList>> setup{
        {"ip", {"link", "set", "lo", "up"}},
        {"cp", {"-a", "/etc/ssl/certs/.", certs}},
        {"cp", {tls + "/ca.pem", certs + "/launcher-e2e-ca.pem"}},
        {"openssl", {"rehash", certs}},
        {"mount", {"--bind", hosts, "/etc/hosts"}},
        {"mount", {"--bind", certs, "/etc/ssl/certs"}}};
    QDir().mkpath(certs);
    for (const auto &[program, arguments] : setup)
        if (const QString error = runTool(program, arguments); !error.isEmpty())
            return error;

    const QByteArray config = QByteArrayLiteral(R"(daemon off;
master_process off;
worker_processes 1;
pid nginx.pid;
error_log stderr;
events { worker_connections 256; }
http {
  log_format protocols '$server_protocol $status $request_uri';
  access_log access.log protocols;
  client_body_temp_path tmp/body;
  proxy_temp_path tmp/proxy;
  fastcgi_temp_path tmp/fastcgi;
  uwsgi_temp_path tmp/uwsgi;
  scgi_temp_path tmp/scgi;
  types { application/json json; image/jpeg jpg; application/zip zip; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:443 ssl http2;
    ssl_certificate tls/server.pem;
    ssl_certificate_key tls/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    root www;
  }
}
)");
    if (!write(folder + QStringLiteral("/nginx.conf"), config))
        return QStringLiteral("cannot write nginx.conf");
    nginx.setProcessChannelMode(QProcess::MergedChannels);
    nginx.start(QStringLiteral(NGINX_EXE),
                {"-p", folder + QLatin1Char('/'), "-c", "nginx.conf", "-e", "stderr"});
    if (!nginx.waitForStarted(30000))
        return QStringLiteral("nginx did not start: ") + nginx.errorString();
    for (int attempt = 0; attempt < 300; ++attempt) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), 443);
        if (probe.waitForConnected(1000))
            return {};
        if (nginx.state() == QProcess::NotRunning)
            break;
        QThread::msleep(100);
    }
    return QStringLiteral("nginx does not answer: ") + QString::fromLocal8Bit(nginx.readAll());
}

QList<QByteArrayList> TlsNginx::accessLog() const
{
    QFile log(folder + QStringLiteral("/access.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArrayList> lines;
    for (const QByteArray &line : log.readAll().split('\n'))
        if (const QByteArrayList fields = line.split(' '); fields.size() == 3)
            lines << fields;
    return lines;
}

QStringList TlsNginx::protocolsSeen() const
{
    QStringList protocols;
    for (const QByteArrayList &fields : accessLog())
        protocols << QString::fromLatin1(fields[0]);
    return protocols;
}

QStringList TlsNginx::requestsServed() const
{
    QStringList paths;
    for (const QByteArrayList &fields : accessLog())
        if (fields[1] == "200")
            paths << QString::fromUtf8(fields[2]);
    return paths;
}

QString TlsNginx::log()
{
    QFile access(folder + QStringLiteral("/access.log"));
    access.open(QIODevice::ReadOnly);
    return QString::fromUtf8(access.readAll() + nginx.readAll());
}
