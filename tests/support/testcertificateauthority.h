#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>

// A certificate authority made at test time with openssl, and one server
// certificate it signed for 127.0.0.1, ::1 and localhost. Nothing is added to
// the system's store: a client trusts it only when handed caPath().
class TestCertificateAuthority final
{
public:
    // Writes the keys and certificates into `folder`; false (with error()) on failure.
    bool create(const QString &folder);

    QString caPath() const { return caFile; }
    QString serverCertificatePath() const { return certificateFile; }
    QString serverKeyPath() const { return keyFile; }
    QList<QSslCertificate> caCertificates() const;
    QString error() const { return failure; }

private:
    QString caFile;
    QString certificateFile;
    QString keyFile;
    QString failure;
};
