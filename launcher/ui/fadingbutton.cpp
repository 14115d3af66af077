#include "fadingbutton.h"

#include <QEvent>
#include <QGraphicsOpacityEffect>

FadingButton::FadingButton(QWidget *parent) : QPushButton(parent) {}

bool FadingButton::event(QEvent *event)
{
    fade(event);
    if (event->type() == QEvent::MouseButtonPress)
        emit mousePressed();
    return QPushButton::event(event);
}

void FadingButton::fade(const QEvent *event)
{
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(graphicsEffect());
    switch (event->type()) {
    case QEvent::Enter: {
        auto *hover = new QGraphicsOpacityEffect(this);
        hover->setOpacity(0.9);
        setGraphicsEffect(hover);
        break;
    }
    case QEvent::Leave:
        setGraphicsEffect(nullptr);
        break;
    case QEvent::MouseButtonPress:
        if (effect)
            effect->setOpacity(0.8);
        break;
    case QEvent::MouseButtonRelease:
        if (effect)
            effect->setOpacity(0.9);
        break;
    default:
        break;
    }
}
