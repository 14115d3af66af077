#pragma once

#include "manifestcodec.h"
#include "result.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// The update check's request for the patch server's manifest, its decoding and
// its refusal. One request speaks at a time: a new one silences the last.
class ManifestCheck final : public QObject
{
    Q_OBJECT

public:
    explicit ManifestCheck(QNetworkAccessManager &network, QObject *parent = nullptr);
    ~ManifestCheck() override;

    // Sends the request for updateUrl + "/" + manifestFile.
    void start(int stallTimeoutMs);
    // A request is out, or its answer is held.
    bool isPending() const { return preparing || decoding || !current.isNull(); }
    // Whatever the request under way answers goes unheard.
    void drop();

    // While files move, answers wait: they are read after resume(), as they
    // would be behind a blocked thread.
    void hold();
    void resume();

    static QString invalidManifestMessage();
    // The body last received: its SHA-256 names the build's chunk index.
    const QByteArray &body() const { return lastBody; }

signals:
    // `build` tells builds apart (the body's own CRC-32).
    void received(const QJsonObject &files, const QString &build);
    // Network or Stalled with the player's text, or InvalidData for a body
    // that is not a usable manifest.
    void failed(const Failure &failure);

private:
    void send(const QNetworkRequest &request, int stallTimeoutMs);
    void onFinished(QNetworkReply *reply);
    void deliver(const DecodedManifest &decoded);

    QNetworkAccessManager &network;
    QPointer<QNetworkReply> current;
    quint64 attempts = 0;   // a request built after its check was dropped is not sent
    bool preparing = false; // the request is being built
    bool decoding = false;  // the answer is being decoded
    std::optional<DecodedManifest> heldResult;
    bool holding = false;
    QList<QPointer<QNetworkReply>> held;
    QByteArray lastBody;
    QByteArray decodingBody; // the answer being decoded
};
