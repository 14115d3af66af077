#include "newspanel.h"

#include "announcementwidget.h"
#include "inactivityguard.h"
#include "launcherrequest.h"
#include "settings.h"
#include "weblink.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// The feed is a short list of headlines; anything larger is not one.
constexpr qint64 maxNewsBytes = 1024 * 1024;
constexpr int maxDateLength = 40;
constexpr int maxTitleLength = 120;
constexpr int maxSubtitleLength = 300;
constexpr int maxUrlLength = 2048;

QString cappedString(const QJsonObject &item, const char *key, int maxLength)
{
    const QJsonValue value = item.value(QLatin1String(key));
    return value.isString() ? value.toString().left(maxLength) : QString();
}

QString webLinkOf(const QJsonObject &item, const char *key)
{
    const QJsonValue value = item.value(QLatin1String(key));
    const QString text = value.isString() ? value.toString().trimmed() : QString();
    return text.size() <= maxUrlLength && isWebLink(text) ? text : QString();
}

void setPlainText(QLabel *label, const QString &text)
{
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
}

} // namespace

NewsPanel::NewsPanel(const Settings &settings, QWidget *window)
    : QObject(window), settings(settings), newsManager(new QNetworkAccessManager(this)),
      firstCard(new AnnouncementWidget(window)), secondCard(new AnnouncementWidget(window))
{
    const int cardY = window->height() - firstCard->height() - 26;
    firstCard->move(509, cardY);
    secondCard->move(888, cardY);
    firstCard->hide();
    secondCard->hide();
    requestNews();
}

void NewsPanel::requestNews()
{
    const QUrl url(settings.newsUrl);
    if (!isWebLink(url))
        return;
    QNetworkRequest request = launcherRequest(url, settings.applicationName);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = newsManager->get(request);
    connect(InactivityGuard::watch(reply, InactivityGuard::defaultLimitMs),
            &InactivityGuard::stalled, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > maxNewsBytes || total > maxNewsBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleNewsReply(reply); });
}

void NewsPanel::handleNewsReply(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        return;
    const QByteArray body = reply->read(maxNewsBytes + 1);
    if (body.size() > maxNewsBytes)
        return;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isArray())
        return;
    const QJsonArray items = document.array();
    const QList<AnnouncementWidget *> cards{firstCard, secondCard};
    for (qsizetype i = 0; i < cards.size() && i < items.size(); ++i)
        fillNewsCard(cards[i], items.at(i).toObject());
}

void NewsPanel::fillNewsCard(AnnouncementWidget *card, const QJsonObject &item)
{
    setPlainText(card->dateLabel, cappedString(item, "date", maxDateLength));
    setPlainText(card->titleLabel, cappedString(item, "title", maxTitleLength));
    setPlainText(card->subtitleLabel, cappedString(item, "subtitle", maxSubtitleLength));
    const QString image = webLinkOf(item, "image");
    if (!image.isEmpty())
        card->setImageUrl(QUrl(image));
    card->setProperty("url", webLinkOf(item, "url"));
    card->show();
    card->updateLayout();
    card->raise();
}
