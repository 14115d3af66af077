// Pointer handling of the window: button feedback, the company link and
// dragging the frameless window by its title bar.
#include "mainwindow.h"

#include "settings.h"

#include <QDesktopServices>
#include <QGraphicsOpacityEffect>
#include <QMouseEvent>
#include <QPushButton>

namespace {

// Where in the window the pointer grabbed the title bar.
QPoint dragOffset;

bool isUnderMouse(const QWidget *window, const char *name)
{
    const auto *button = window->findChild<QPushButton *>(QLatin1String(name));
    return button && button->underMouse();
}

} // namespace

bool MainWindow::isOverWindowButtons() const
{
    return isUnderMouse(this, "minimizeButton") || isUnderMouse(this, "closeButton");
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (auto *button = qobject_cast<QPushButton *>(watched))
        filterButtonEvent(button, event);

    if (watched->objectName() == QLatin1String("titleBar"))
        return handleTitleBarDrag(event);
    if (watched->property("class").toString() == QLatin1String("CategoryButton"))
        return handleCategoryRowEvent(watched, event);

    if (watched->objectName() == QLatin1String("manageButton") &&
        qobject_cast<QPushButton *>(watched)) {
        if (event->type() == QEvent::Paint)
            flushButtonReports();
        return handleManageButtonPress(event);
    }

    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::filterButtonEvent(QPushButton *button, QEvent *event)
{
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(button->graphicsEffect());
    switch (event->type()) {
    case QEvent::Enter: {
        auto *hover = new QGraphicsOpacityEffect(button);
        hover->setOpacity(0.9);
        button->setGraphicsEffect(hover);
        break;
    }
    case QEvent::Leave:
        button->setGraphicsEffect(nullptr);
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

    // The company logo has no click handler: a press is enough to open the site.
    if (event->type() == QEvent::MouseButtonPress &&
        button->objectName() == QLatin1String("companyButton"))
        QDesktopServices::openUrl(QUrl(settings->companyUrl));
}

bool MainWindow::handleTitleBarDrag(QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton || isOverWindowButtons())
            return false;
        dragOffset = mouse->globalPosition().toPoint() - frameGeometry().topLeft();
        return true;
    }
    case QEvent::MouseMove: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (isOverWindowButtons() || !(mouse->buttons() & Qt::LeftButton))
            return false;
        move(mouse->globalPosition().toPoint() - dragOffset);
        return true;
    }
    default:
        return false;
    }
}
