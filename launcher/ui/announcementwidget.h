#pragma once

#include <QPixmap>
#include <QRect>
#include <QUrl>
#include <QWidget>

class QGraphicsDropShadowEffect;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;

// A news card: a rounded 356 × 200 picture with a date badge and a centred
// title and subtitle. Clicking opens the dynamic property "url". The picture is
// downloaded once per URL and kept in the per-user cache folder.
class AnnouncementWidget final : public QWidget
{
    Q_OBJECT

public:
    explicit AnnouncementWidget(QWidget *parent = nullptr);
    ~AnnouncementWidget() override;

    void setImageUrl(const QUrl &url);
    // Sizes and places the labels from their current texts.
    void updateLayout();
    // Creates the cache folder when missing.
    static QString cachePathForUrl(const QUrl &url);

    bool hasPicture() const { return !image.isNull(); }

    // Filled in directly by the news feed.
    QLabel *dateLabel = nullptr;
    QLabel *titleLabel = nullptr;
    QLabel *subtitleLabel = nullptr;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void handleImageReply(QNetworkReply *reply, const QString &path);

    QPixmap image;
    QRect dateRect;
    QNetworkAccessManager *imageManager = nullptr;
    bool hovered = false;
    QGraphicsDropShadowEffect *hoverGlow = nullptr;
};
