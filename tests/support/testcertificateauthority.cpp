#include "testcertificateauthority.h"

#include "programrun.h"

#include <QDir>
#include <QFile>

bool TestCertificateAuthority::create(const QString &folder)
{
    const QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("."))) {
        failure = QStringLiteral("cannot create ") + folder;
        return false;
    }
    const QString caKey = dir.filePath(QStringLiteral("ca.key"));
    const QString request = dir.filePath(QStringLiteral("server.csr"));
    const QString extensions = dir.filePath(QStringLiteral("server.ext"));
    caFile = dir.filePath(QStringLiteral("ca.pem"));
    certificateFile = dir.filePath(QStringLiteral("server.pem"));
    keyFile = dir.filePath(QStringLiteral("server.key"));

    QFile ext(extensions);
    if (!ext.open(QIODevice::WriteOnly) ||
        ext.write("basicConstraints=CA:FALSE\n"
                  "extendedKeyUsage=serverAuth\n"
                  "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\n") < 0) {
        failure = QStringLiteral("cannot write ") + extensions;
        return false;
    }
    ext.close();

    // EC keys: RSA generation would cost the suites seconds.
    const QStringList ecKey{
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const QList<QStringList> steps{
        QStringList{QStringLiteral("req"), QStringLiteral("-x509")}
            << ecKey
            << QStringList{QStringLiteral("-keyout"), caKey, QStringLiteral("-out"), caFile,
                           QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                           QStringLiteral("/CN=Launcher Test CA"), QStringLiteral("-addext"),
                           QStringLiteral("basicConstraints=critical,CA:TRUE"),
                           QStringLiteral("-addext"),
                           QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
        QStringList{QStringLiteral("req")}
            << ecKey
            << QStringList{QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"), request,
                           QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")},
        QStringList{QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                    QStringLiteral("-CA"), caFile, QStringLiteral("-CAkey"), caKey,
                    QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), certificateFile,
                    QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                    extensions}};
    for (const QStringList &arguments : steps) {
        const ProgramRun run = runProgram(QStringLiteral("openssl"), arguments, folder);
        if (run.exitCode != 0) {
            failure = QStringLiteral("openssl ") + arguments.first() + QStringLiteral(": ") +
                      run.output();
            return false;
        }
    }
    return true;
}

QList<QSslCertificate> TestCertificateAuthority::caCertificates() const
{
    return QSslCertificate::fromPath(caFile);
}
