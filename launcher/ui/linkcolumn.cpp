#include "linkcolumn.h"

#include "linkrow.h"
#include "windowtext.h"

#include <QFontMetrics>
#include <QJsonObject>
#include <QVBoxLayout>

namespace {

QString stringOf(const QJsonObject &entry, const char *key)
{
    const QJsonValue value = entry.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString();
}

QString translatedName(const QJsonObject &entry)
{
    const QString name = stringOf(entry, "name");
    return name.isEmpty() ? name : WindowText::tr(name.toUtf8().constData());
}

QWidget *makeSeparator(QWidget *parent)
{
    auto *separator = new QWidget(parent);
    separator->setFixedSize(80, 1);
    separator->setStyleSheet(
        QStringLiteral("margin-left: 30px; background-color: rgba(255, 255, 255, 75%);"));
    return separator;
}

} // namespace

LinkColumn::LinkColumn(QWidget *parent) : QWidget(parent) {}

void LinkColumn::setupCategoryButtons(const QJsonArray &categories)
{
    auto *rows = qobject_cast<QVBoxLayout *>(layout());
    if (!rows)
        return;
    rows->setSpacing(8);
    while (QLayoutItem *item = rows->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }

    const QFontMetrics metrics(LinkRow::nameFont());
    int widest = 0;
    for (const QJsonValue &value : categories)
        widest = qMax(widest, metrics.horizontalAdvance(translatedName(value.toObject())));
    setFixedWidth(widest + LinkRow::widthBesideName());
    const QMargins margins = contentsMargins();
    setContentsMargins(0, margins.top(), 0, margins.bottom());

    for (const QJsonValue &value : categories) {
        const QJsonObject entry = value.toObject();
        const QString name = translatedName(entry);
        if (name.isEmpty())
            rows->addWidget(makeSeparator(this));
        else
            rows->addWidget(new LinkRow(name, stringOf(entry, "icon"), stringOf(entry, "color"),
                                        stringOf(entry, "url"), this));
    }
    rows->addStretch();
}
