#include "announcementwidget.h"

#include "inactivityguard.h"

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QPainterPath>
#include <QSslConfiguration>
#include <QStandardPaths>

#include <algorithm>
#include <limits>

namespace {

constexpr QSize cardSize(356, 200);
constexpr qreal cardRadius = 8;
constexpr qreal badgeRadius = 10;
const QColor normalBorder(0xA6, 0xAA, 0xB2);
const QColor hoveredBorder(0xFE, 0xFE, 0xC6);

QGraphicsDropShadowEffect *makeShadow(QObject *parent, const QColor &color, const QPointF &offset,
                                      qreal blurRadius)
{
    auto *effect = new QGraphicsDropShadowEffect(parent);
    effect->setColor(color);
    effect->setOffset(offset);
    effect->setBlurRadius(blurRadius);
    return effect;
}

void setUpTextLabel(QLabel *label, QObject *effectParent)
{
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Minimum);
    label->setGraphicsEffect(
        makeShadow(effectParent, QColor(0, 0, 0, 255), QPointF(1.0, 1.0), 1.0));
}

int wrappedTextHeight(const QLabel *label, int width)
{
    const QRect bounds =
        label->fontMetrics().boundingRect(QRect(0, 0, width, std::numeric_limits<int>::max()),
                                          Qt::TextWordWrap | Qt::AlignHCenter, label->text());
    return bounds.height() + 5;
}

} // namespace

AnnouncementWidget::AnnouncementWidget(QWidget *parent) : QWidget(parent)
{
    setFixedSize(cardSize);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_TranslucentBackground);

    hoverGlow = makeShadow(this, QColor(254, 254, 198, 191), QPointF(2.0, 2.0), 10.0);
    hoverGlow->setEnabled(false);
    setGraphicsEffect(hoverGlow);

    imageManager = new QNetworkAccessManager(this);

    dateLabel = new QLabel(this);
    dateLabel->setObjectName(QStringLiteral("announcementDateLabel"));
    titleLabel = new QLabel(this);
    titleLabel->setObjectName(QStringLiteral("announcementTitleLabel"));
    subtitleLabel = new QLabel(this);
    subtitleLabel->setObjectName(QStringLiteral("announcementSubtitleLabel"));

    dateLabel->setContentsMargins(0, 0, 0, 0);
    dateLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    setUpTextLabel(titleLabel, this);
    setUpTextLabel(subtitleLabel, this);

    updateLayout();
}

AnnouncementWidget::~AnnouncementWidget() = default;

QString AnnouncementWidget::cachePathForUrl(const QUrl &url)
{
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QDir().mkpath(directory);
    const QByteArray digest =
        QCryptographicHash::hash(url.toString().toUtf8(), QCryptographicHash::Md5).toHex();
    return directory + QDir::separator() + QStringLiteral("announcement_") +
           QString::fromLatin1(digest) + QStringLiteral(".png");
}

void AnnouncementWidget::setImageUrl(const QUrl &url)
{
    const QString path = cachePathForUrl(url);
    if (QFile::exists(path)) {
        image = QPixmap(path);
        update();
        return;
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setProtocol(QSsl::TlsV1_2OrLater);
    request.setSslConfiguration(ssl);
    // Certificate errors are left to fail the reply: a picture from an
    // unverified host is not worth showing.
    QNetworkReply *reply = imageManager->get(request);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, path] { handleImageReply(reply, path); });
    // A silent server would otherwise hold the reply (and its socket) for good.
    connect(InactivityGuard::watch(reply, InactivityGuard::defaultLimitMs),
            &InactivityGuard::stalled, reply, &QNetworkReply::abort);
}

void AnnouncementWidget::handleImageReply(QNetworkReply *reply, const QString &path)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        return;

    QPixmap picture;
    if (!picture.loadFromData(reply->readAll())) {
        setVisible(false);
        return;
    }
    picture.save(path, "PNG");
    image = picture.scaled(size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    update();
}

void AnnouncementWidget::updateLayout()
{
    const int w = width();
    const int h = height();

    dateLabel->adjustSize();
    const int advance = dateLabel->fontMetrics().horizontalAdvance(dateLabel->text());
    dateLabel->setFixedSize(advance + 26, 20);
    dateLabel->setAlignment(Qt::AlignCenter);
    dateLabel->move(10, 7);
    dateRect = dateLabel->geometry().translated(0, 1);

    const int textWidth = w - 40;
    const int titleHeight = std::max(wrappedTextHeight(titleLabel, textWidth), 25);
    const int subtitleHeight = std::max(wrappedTextHeight(subtitleLabel, textWidth), 20);

    const int centre = h / 2 + 20;
    const int top = centre - (titleHeight + 10 + subtitleHeight) / 2;
    const int left = (w - textWidth) / 2;
    titleLabel->setGeometry(left, top, textWidth, titleHeight);
    subtitleLabel->setGeometry(left, top + titleHeight + 10, textWidth, subtitleHeight);
}

void AnnouncementWidget::paintEvent(QPaintEvent *event)
{
    // Painted at twice the size so the rounded clip and strokes stay smooth on dense screens.
    QPixmap canvas(qRound(width() * 2.0), qRound(height() * 2.0));
    canvas.setDevicePixelRatio(2.0);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);

        QPainterPath card;
        card.addRoundedRect(QRectF(rect()), cardRadius, cardRadius, Qt::AbsoluteSize);
        painter.setClipPath(card, Qt::ReplaceClip);

        if (!image.isNull()) {
            painter.drawPixmap(QRectF(rect()), image, QRectF(image.rect()));
        } else {
            painter.setBrush(QColor(0, 0, 0, 120));
            painter.drawPath(card);
        }

        painter.setPen(QPen(hovered ? hoveredBorder : normalBorder, 2.0));
        painter.drawPath(card);

        QPainterPath badge;
        badge.addRoundedRect(QRectF(dateRect), badgeRadius, badgeRadius, Qt::AbsoluteSize);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 191));
        painter.drawPath(badge);
        QPen outline(hoveredBorder, 1.0);
        outline.setCosmetic(true);
        painter.setPen(outline);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(badge);
    }

    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(0, 0, canvas);
    QWidget::paintEvent(event);
}

void AnnouncementWidget::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateLayout();
}

void AnnouncementWidget::enterEvent(QEnterEvent *event)
{
    hovered = true;
    hoverGlow->setEnabled(true);
    QWidget::enterEvent(event);
}

void AnnouncementWidget::leaveEvent(QEvent *event)
{
    hovered = false;
    hoverGlow->setEnabled(false);
    QWidget::leaveEvent(event);
}

void AnnouncementWidget::mousePressEvent(QMouseEvent *event)
{
    const QString target = property("url").toString();
    if (!target.isEmpty())
        QDesktopServices::openUrl(QUrl(target));
    QWidget::mousePressEvent(event);
}
