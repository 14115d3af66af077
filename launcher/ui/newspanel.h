#pragma once

#include <QObject>

class AnnouncementWidget;
class QJsonObject;
class QNetworkAccessManager;
class QNetworkReply;
class Settings;

// The two news cards along the window's bottom edge, filled from the first two
// items of the product's news feed. A card without an item stays hidden.
class NewsPanel final : public QObject
{
    Q_OBJECT

public:
    // The cards are the window's children, placed in it and hidden.
    NewsPanel(const Settings &settings, QWidget *window);

    // The window asks once, when it is built.
    void requestNews();

private:
    void handleNewsReply(QNetworkReply *reply);
    void fillNewsCard(AnnouncementWidget *card, const QJsonObject &item);

    const Settings &settings;
    QNetworkAccessManager *newsManager;
    AnnouncementWidget *firstCard;
    AnnouncementWidget *secondCard;
};
