#pragma once

#include "serverprocess.h"

#include <QString>
#include <QTemporaryDir>

// Apache 2.4 from the system's package with its default behaviour (encoded
// slashes refused, no compression) serving a folder on a free loopback port.
// Its workers run as "nobody", so the folder is made readable by others.
class ApacheServer final
{
public:
    explicit ApacheServer(const QString &root);

    bool start();
    void stop() { process.stop(); }

    quint16 port() const { return listenPort; }
    QString baseUrl() const; // "http://127.0.0.1:PORT"
    QString error() const { return failure; }

private:
    QString root;
    QTemporaryDir work;
    ServerProcess process;
    quint16 listenPort = 0;
    QString failure;
};
