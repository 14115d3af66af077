#include "launcherversioncheck.h"

#include "inactivityguard.h"
#include "launcherrequest.h"
#include "platform/platform.h"
#include "prompter.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>

namespace {

// The version document is a few lines; anything this large is not one.
constexpr qint64 maxVersionDocumentBytes = 1024 * 1024;

QString stringMember(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString();
}

} // namespace

LauncherVersionCheck::LauncherVersionCheck(QNetworkAccessManager &network, QObject *parent)
    : QObject(parent), network(network)
{
}

QString LauncherVersionCheck::unreachableMessage()
{
    return QStringLiteral("Unable to connect to the patching server.");
}

void LauncherVersionCheck::markUnreachable()
{
    outcome = Status::fail(Failure::Kind::Network, unreachableMessage());
}

void LauncherVersionCheck::start(int stallTimeoutMs, Prompter *prompter)
{
    const Settings *settings = Settings::instance;
    if (settings->version == QLatin1String("dev")) {
        emit finished(true);
        return;
    }

    wasIssued = true;
    sendLauncherRequest(this, QUrl(settings->launcherUpdateUrl, QUrl::TolerantMode),
                        settings->applicationName,
                        [this, stallTimeoutMs, prompter](const QNetworkRequest &request) {
                            send(request, stallTimeoutMs, prompter);
                        });
}

void LauncherVersionCheck::send(const QNetworkRequest &request, int stallTimeoutMs,
                                Prompter *prompter)
{
    QNetworkReply *reply = network.get(request);
    connect(InactivityGuard::watch(reply, stallTimeoutMs), &InactivityGuard::stalled, this,
            [](QNetworkReply *stalled) { stalled->abort(); });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, prompter] { onReply(reply, prompter); });
    // An endless body would otherwise keep the launcher from ever starting.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > maxVersionDocumentBytes)
            reply->abort();
    });
}

void LauncherVersionCheck::onReply(QNetworkReply *reply, Prompter *prompter)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        markUnreachable();
        emit finished(false);
        return;
    }

    const QJsonObject document = QJsonDocument::fromJson(reply->readAll()).object();
    const QString latest = stringMember(document, "version");
    const QString packageUrl = stringMember(document, "url");

    // Versions are not ordered: any published difference replaces this launcher.
    if (latest.isEmpty() || latest == Settings::instance->version) {
        emit finished(true);
        return;
    }

    const QString title = QStringLiteral("Launcher Update");
    if (prompter && prompter->ask(title, QStringLiteral("Install new version now?"))) {
        const QString program = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                                platform::executableFileName(QStringLiteral("updater.exe"));
        QProcess::startDetached(program,
                                {QStringLiteral("--path"), QCoreApplication::applicationFilePath(),
                                 QStringLiteral("--url"), packageUrl});
    } else if (prompter) {
        prompter->tell(Prompter::Box::Critical, title,
                       QStringLiteral("Update cancelled. Exiting now."));
    } else {
        qWarning() << "A different launcher version is published; nobody to ask about it";
    }
    emit finished(false);
}
