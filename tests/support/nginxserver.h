#pragma once

#include "serverprocess.h"
#include "testcertificateauthority.h"

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

// nginx from the system's package serving a folder on a free loopback port, as
// studios run it: plain HTTP/1.1, or TLS with HTTP/2 on and a certificate
// authority made for the test; or answering every request with a 302 to
// another server.
class NginxServer final
{
public:
    struct Options
    {
        bool tls = false;   // HTTPS with a test authority (and HTTP/2 when http2)
        bool http2 = false; // only with tls: browsers and Qt speak HTTP/2 over TLS only
        bool gzip = false;  // compress every answer a client accepts compressed
        QString redirectTo; // "http://host:port": 302 to it with the same path and query
    };

    explicit NginxServer(const QString &root);

    bool start(const Options &options);
    void stop() { process.stop(); }

    quint16 port() const { return listenPort; }
    QString baseUrl() const; // "http(s)://127.0.0.1:PORT", no trailing slash
    QString caPath() const; // the authority that signed the server's certificate; empty without TLS
    QList<QSslCertificate> caCertificates() const { return authority.caCertificates(); }
    QString error() const { return failure; }

private:
    QString root;
    QTemporaryDir work;
    TestCertificateAuthority authority;
    ServerProcess process;
    quint16 listenPort = 0;
    bool tls = false;
    QString failure;
};
