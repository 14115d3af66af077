#include "linkrow.h"

#include "weblink.h"

#include <QColor>
#include <QDesktopServices>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSvgRenderer>

namespace {

constexpr int rowHeight = 30;
constexpr int rowMargin = 30;
constexpr int iconSize = 30;
constexpr int iconSpacing = 8;

QPixmap renderIcon(const QString &resource)
{
    QPixmap pixmap(iconSize, iconSize);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        renderer.render(&painter);
    }
    return pixmap;
}

} // namespace

int LinkRow::widthBesideName()
{
    return 2 * rowMargin + iconSize + iconSpacing;
}

QFont LinkRow::nameFont()
{
    QFont font(QStringLiteral("Poppins"));
    font.setPointSize(14);
    font.setWeight(QFont::DemiBold);
    font.setKerning(true);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

LinkRow::LinkRow(const QString &name, const QString &iconPath, const QString &colour,
                 const QString &url, QWidget *parent)
    : QWidget(parent)
{
    setProperty("class", QStringLiteral("CategoryButton"));
    setFixedHeight(rowHeight);
    setCursor(Qt::PointingHandCursor);
    // An address the desktop must not open never reaches the row.
    if (isWebLink(url))
        setProperty("url", url.trimmed());

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(rowMargin, 0, rowMargin, 0);
    layout->setSpacing(iconSpacing);

    auto *icon = new QLabel(this);
    icon->setPixmap(renderIcon(iconPath));
    layout->addWidget(icon);

    auto *label = new QLabel(name, this);
    label->setTextFormat(Qt::PlainText);
    label->setFont(nameFont());
    auto *shadow = new QGraphicsDropShadowEffect(label);
    shadow->setBlurRadius(5);
    shadow->setColor(QColor(0, 0, 0, 255));
    shadow->setOffset(0, 1);
    label->setGraphicsEffect(shadow);
    // Only a real colour reaches the style sheet, never other declarations.
    label->setStyleSheet(
        QStringLiteral("color: %1;").arg(QColor::isValidColorName(colour) ? colour : QString()));
    layout->addWidget(label);
    layout->addStretch();
}

void LinkRow::mouseReleaseEvent(QMouseEvent *event)
{
    const QString url = property("url").toString();
    if (event->button() != Qt::LeftButton || url.isEmpty() || !isWebLink(url)) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    QDesktopServices::openUrl(QUrl(url));
    event->accept();
}
