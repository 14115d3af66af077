// The column of link rows built from the profile's categories.
#include "mainwindow.h"

#include "settings.h"
#include "weblink.h"

#include <QColor>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSvgRenderer>
#include <QVBoxLayout>

namespace {

constexpr int rowHeight = 30;
constexpr int rowMargin = 30;
constexpr int linkIconSize = 30;
constexpr int iconSpacing = 8;

QFont linkFont()
{
    QFont font(QStringLiteral("Poppins"));
    font.setPointSize(14);
    font.setWeight(QFont::DemiBold);
    font.setKerning(true);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

QPixmap renderIcon(const QString &resource)
{
    QPixmap pixmap(linkIconSize, linkIconSize);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        renderer.render(&painter);
    }
    return pixmap;
}

QString stringOf(const QJsonObject &entry, const char *key)
{
    const QJsonValue value = entry.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString();
}

} // namespace

void MainWindow::setupCategoryButtons()
{
    auto *layout = findChild<QVBoxLayout *>(QStringLiteral("categoriesLayout"));
    if (!layout)
        return;
    layout->setSpacing(8);
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }

    const QFont font = linkFont();
    const QFontMetrics metrics(font);
    int widest = 0;
    for (const QJsonValue &value : std::as_const(settings->categories)) {
        const QString name = stringOf(value.toObject(), "name");
        if (!name.isEmpty())
            widest = qMax(widest, metrics.horizontalAdvance(tr(name.toUtf8().constData())));
    }
    if (auto *panel = findChild<QWidget *>(QStringLiteral("categoriesPanel"))) {
        panel->setFixedWidth(widest + 2 * rowMargin + linkIconSize + iconSpacing);
        const QMargins margins = panel->contentsMargins();
        panel->setContentsMargins(0, margins.top(), 0, margins.bottom());
    }

    for (const QJsonValue &value : std::as_const(settings->categories)) {
        const QJsonObject entry = value.toObject();
        const QString name = stringOf(entry, "name");
        if (name.isEmpty()) {
            auto *separator = new QWidget(this);
            separator->setObjectName(QStringLiteral("categorySeparator"));
            separator->setFixedSize(80, 1);
            separator->setStyleSheet(
                QStringLiteral("margin-left: 30px; background-color: rgba(255, 255, 255, 75%);"));
            layout->addWidget(separator);
            continue;
        }

        auto *row = new QWidget(this);
        row->setProperty("class", QStringLiteral("CategoryButton"));
        row->setFixedHeight(rowHeight);
        row->setCursor(Qt::PointingHandCursor);
        // An address the desktop must not open never reaches the row.
        const QString url = stringOf(entry, "url");
        if (isWebLink(url))
            row->setProperty("url", url.trimmed());
        row->installEventFilter(this);

        auto *rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(rowMargin, 0, rowMargin, 0);
        rowLayout->setSpacing(iconSpacing);

        auto *icon = new QLabel(row);
        icon->setPixmap(renderIcon(stringOf(entry, "icon")));
        rowLayout->addWidget(icon);

        auto *label = new QLabel(tr(name.toUtf8().constData()), row);
        label->setTextFormat(Qt::PlainText);
        label->setFont(font);
        auto *shadow = new QGraphicsDropShadowEffect(label);
        shadow->setBlurRadius(5);
        shadow->setColor(QColor(0, 0, 0, 255));
        shadow->setOffset(0, 1);
        label->setGraphicsEffect(shadow);
        // Only a real colour reaches the style sheet, never other declarations.
        const QString colour = stringOf(entry, "color");
        label->setStyleSheet(QStringLiteral("color: %1;")
                                 .arg(QColor::isValidColorName(colour) ? colour : QString()));
        rowLayout->addWidget(label);
        rowLayout->addStretch();

        layout->addWidget(row);
    }
    layout->addStretch();
}

bool MainWindow::handleCategoryRowEvent(QObject *row, QEvent *event)
{
    if (event->type() != QEvent::MouseButtonRelease ||
        static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
        return false;
    const QString url = row->property("url").toString();
    if (url.isEmpty() || !isWebLink(url))
        return false;
    QDesktopServices::openUrl(QUrl(url));
    return true;
}
