#include "placeholderwindow.h"

#include "settings.h"

#include <QLabel>
#include <QVBoxLayout>

PlaceholderWindow::PlaceholderWindow(QWidget *parent) : QWidget(parent)
{
    settings = new Settings(this);
    Settings::instance = settings;
    setWindowTitle(settings->applicationName + QStringLiteral(" Launcher"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(settings->applicationName, this));
    resize(480, 270);
}

PlaceholderWindow::~PlaceholderWindow()
{
    Settings::instance = nullptr;
}
