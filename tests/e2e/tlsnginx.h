#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// nginx with TLS and HTTP/2 on 127.0.0.1:443, answering to the product
// profile's own host names. Only for a process in private mount and network
// namespaces (the end-to-end test's CTest command starts it in them): there
// /etc/hosts and the system's certificate folder are replaced, by bind mounts
// that only this process and its children see, with files that send those
// names to loopback and trust a certificate authority made for the run.
class TlsNginx final
{
public:
    explicit TlsNginx(const QString &folder);
    ~TlsNginx();

    // Empty on success, else what failed.
    QString start(const QStringList &hostNames);
    QString root() const { return folder + QStringLiteral("/www"); }
    // The protocol of every request answered so far ("HTTP/2.0", ...).
    QStringList protocolsSeen() const;
    // The paths answered with 200 so far.
    QStringList requestsServed() const;
    // The server's access and error log, for failure messages.
    QString log();

private:
    QList<QByteArrayList> accessLog() const;

    QString folder;
    QProcess nginx;
};

// Whether this process has mount and network namespaces of its own.
bool inPrivateNamespaces();
