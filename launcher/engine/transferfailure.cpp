#include "transferfailure.h"

#include <QCoreApplication>
#include <QSslError>

#include <openssl/x509_vfy.h>

#include <cerrno>

namespace {

// OpenSSL's verification result as Qt names it.
QSslError::SslError sslErrorOf(long result)
{
    switch (result) {
    case X509_V_OK:
        return QSslError::HostNameMismatch; // the chain passed: libcurl refused the name
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        return QSslError::UnableToGetIssuerCertificate;
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        return QSslError::UnableToDecryptCertificateSignature;
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        return QSslError::UnableToDecodeIssuerPublicKey;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return QSslError::CertificateSignatureFailed;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QSslError::CertificateNotYetValid;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QSslError::CertificateExpired;
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        return QSslError::InvalidNotBeforeField;
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return QSslError::InvalidNotAfterField;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return QSslError::SelfSignedCertificate;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QSslError::SelfSignedCertificateInChain;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        return QSslError::UnableToGetLocalIssuerCertificate;
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QSslError::UnableToVerifyFirstCertificate;
    case X509_V_ERR_CERT_REVOKED:
        return QSslError::CertificateRevoked;
    case X509_V_ERR_INVALID_CA:
        return QSslError::InvalidCaCertificate;
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        return QSslError::PathLengthExceeded;
    case X509_V_ERR_INVALID_PURPOSE:
        return QSslError::InvalidPurpose;
    case X509_V_ERR_CERT_UNTRUSTED:
        return QSslError::CertificateUntrusted;
    case X509_V_ERR_CERT_REJECTED:
        return QSslError::CertificateRejected;
    default:
        return QSslError::UnspecifiedError;
    }
}

QString handshakeFailed(const QString &why)
{
    return QStringLiteral("SSL handshake failed: ") + why;
}

} // namespace

QString httpFailureText(int status, const QByteArray &reason, const QUrl &url)
{
    switch (status) {
    case 401:
        return QStringLiteral("Host requires authentication");
    case 407:
        return QStringLiteral("Proxy requires authentication");
    default:
        return QStringLiteral("Error transferring %1 - server replied: %2")
            .arg(url.toString(), QString::fromLatin1(reason));
    }
}

QUrl effectiveUrl(CURL *easy)
{
    const char *url = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
    return url ? QUrl(QString::fromLatin1(url), QUrl::TolerantMode) : QUrl();
}

Failure curlFailure(CURLcode code, CURL *easy, const char *detail, const QString &stalledMessage)
{
    const QString text = detail && *detail ? QString::fromLocal8Bit(detail)
                                           : QString::fromLatin1(curl_easy_strerror(code));
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return {Failure::Kind::Network,
                QStringLiteral("Host %1 not found").arg(effectiveUrl(easy).host())};
    case CURLE_COULDNT_CONNECT: {
        long error = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &error);
        return {Failure::Kind::Network,
                error == ECONNREFUSED ? QStringLiteral("Connection refused") : text};
    }
    case CURLE_PEER_FAILED_VERIFICATION: {
        long result = X509_V_OK;
        curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &result);
        return {Failure::Kind::Network,
                handshakeFailed(QSslError(sslErrorOf(result)).errorString())};
    }
    case CURLE_SSL_CONNECT_ERROR:
        return {Failure::Kind::Network, handshakeFailed(text)};
    case CURLE_TOO_MANY_REDIRECTS:
        return {Failure::Kind::Server, QStringLiteral("Too many redirects")};
    case CURLE_UNSUPPORTED_PROTOCOL:
        // The first address is always http or https: a redirect led elsewhere.
        return {Failure::Kind::Server, QStringLiteral("Insecure redirect")};
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return {Failure::Kind::Network, QStringLiteral("Connection closed")};
    case CURLE_OPERATION_TIMEDOUT:
        return {Failure::Kind::Stalled, stalledMessage};
    default:
        return {Failure::Kind::Network, text};
    }
}
