#pragma once

#include "result.h"

#include <QObject>

class Prompter;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Asks the server whether a different launcher version is published; if so,
// asks the player to install it and starts the updater. Whether a failed check
// ends the program is the window's decision.
class LauncherVersionCheck final : public QObject
{
    Q_OBJECT

public:
    explicit LauncherVersionCheck(QNetworkAccessManager &network, QObject *parent = nullptr);

    void start(int stallTimeoutMs, Prompter *prompter);
    // The request went out; from then on an unreachable server ends the launcher.
    bool issued() const { return wasIssued; }
    // Failed when the server could not be reached: the launcher must not go on.
    const Status &status() const { return outcome; }
    void markUnreachable();

    static QString unreachableMessage();

signals:
    // True when this launcher may go on.
    void finished(bool success);

private:
    void send(const QNetworkRequest &request, int stallTimeoutMs, Prompter *prompter);
    void onReply(QNetworkReply *reply, Prompter *prompter);

    QNetworkAccessManager &network;
    bool wasIssued = false;
    Status outcome;
};
