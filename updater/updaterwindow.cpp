#include "updaterwindow.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>

UpdaterWindow::UpdaterWindow(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Launcher Update"));
    setFixedSize(300, 100);
    auto *layout = new QVBoxLayout(this);
    statusLabel = new QLabel(QStringLiteral("Downloading update..."), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    layout->addWidget(statusLabel);
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setMinimum(0);
    progressBar->setMaximum(100);
    layout->addWidget(progressBar);
    setLayout(layout);
}

void UpdaterWindow::setProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal <= 0)
        return;
    // A server that sends more than it announced must not push the bar past full.
    const int percent =
        static_cast<int>(std::clamp<qint64>(bytesReceived * 100 / bytesTotal, 0, 100));
    progressBar->setValue(percent);
    statusLabel->setText(QStringLiteral("Downloading update... %1%").arg(percent));
}

void UpdaterWindow::setError(QString error)
{
    statusLabel->setText(QStringLiteral("Error: ") + error);
}

void UpdaterWindow::setStatus(QString status)
{
    statusLabel->setText(status);
}
