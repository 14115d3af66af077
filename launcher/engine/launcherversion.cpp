#include "messagebox.h"
#include "platform/platform.h"
#include "settings.h"
#include "updater.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
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

void Updater::checkLauncherVersion()
{
    Settings *settings = Settings::instance;
    if (settings->version == QLatin1String("dev")) {
        emit launcherVersionCheckComplete(true);
        return;
    }

    QNetworkReply *reply = sendRequest(QUrl(settings->launcherUpdateUrl, QUrl::TolerantMode),
                                       Purpose::LauncherVersion);
    launcherCheckIssued = true;
    connect(reply, &QNetworkReply::finished, this,
            [this, reply] { onLauncherVersionReply(reply); });
    // An endless body would otherwise keep the launcher from ever starting.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > maxVersionDocumentBytes)
            reply->abort();
    });
}

void Updater::onLauncherVersionReply(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        emit launcherVersionCheckComplete(false);
        MessageBox::critical(QStringLiteral("Launch Error"),
                             QStringLiteral("Unable to connect to the patching server."));
        QCoreApplication::exit(0);
        return;
    }

    const QJsonObject document = QJsonDocument::fromJson(reply->readAll()).object();
    const QString latest = stringMember(document, "version");
    const QString packageUrl = stringMember(document, "url");
    const QString current = Settings::instance->version;

    // Versions are not ordered: any published difference replaces this launcher.
    if (latest.isEmpty() || latest == current) {
        emit launcherVersionCheckComplete(true);
        reply->deleteLater();
        return;
    }

    const QMessageBox::StandardButton answer = MessageBox::question(
        QStringLiteral("Launcher Update"), QStringLiteral("Install new version now?"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes) {
        const QString program = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                                platform::executableFileName(QStringLiteral("updater.exe"));
        QProcess::startDetached(program,
                                {QStringLiteral("--path"), QCoreApplication::applicationFilePath(),
                                 QStringLiteral("--url"), packageUrl});
    } else {
        MessageBox::critical(QStringLiteral("Launcher Update"),
                             QStringLiteral("Update cancelled. Exiting now."));
    }
    emit launcherVersionCheckComplete(false);
    QCoreApplication::exit(0);
}
