#include "titlebar.h"

#include <QMouseEvent>
#include <QPushButton>

#include <algorithm>

TitleBar::TitleBar(QWidget *parent) : QWidget(parent) {}

bool TitleBar::isOverWindowButtons() const
{
    const auto buttons = findChildren<QPushButton *>(QString(), Qt::FindDirectChildrenOnly);
    return std::any_of(buttons.cbegin(), buttons.cend(),
                       [](const QPushButton *button) { return button->underMouse(); });
}

void TitleBar::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || isOverWindowButtons()) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragOffset = event->globalPosition().toPoint() - window()->frameGeometry().topLeft();
    event->accept();
}

void TitleBar::mouseMoveEvent(QMouseEvent *event)
{
    if (isOverWindowButtons() || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    window()->move(event->globalPosition().toPoint() - dragOffset);
    event->accept();
}
