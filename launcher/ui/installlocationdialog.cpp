#include "installlocationdialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

// The window's catalogue holds every text it shows, under one context.
InstallLocationDialog::InstallLocationDialog(bool firstRun, const QString &currentPath,
                                             QWidget *parent)
    : QDialog(parent), firstRun(firstRun)
{
    setWindowTitle(QCoreApplication::translate("MainWindow", "Game Files Location"));
    setFixedSize(500, 150);
    Qt::WindowFlags flags = Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint;
    if (firstRun)
        flags &= ~Qt::WindowCloseButtonHint;
    setWindowFlags(flags);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(10);

    auto *pathRow = new QHBoxLayout;
    pathEdit = new QLineEdit(this);
    pathEdit->setReadOnly(true);
    auto *browseButton = new QPushButton(QCoreApplication::translate("MainWindow", "Browse"), this);
    pathRow->addWidget(pathEdit);
    pathRow->addWidget(browseButton);
    layout->addLayout(pathRow);

    QLabel *noteLabel = nullptr;
    if (firstRun) {
        noteLabel =
            new QLabel(QCoreApplication::translate(
                           "MainWindow", "Please select where you would like to install the game."),
                       this);
    } else {
        noteLabel = new QLabel(
            QCoreApplication::translate(
                "MainWindow",
                "Warning: Changing the location might require a full reinstallation of the game."),
            this);
        noteLabel->setStyleSheet(QStringLiteral("color: #FFA500;"));
    }
    noteLabel->setWordWrap(true);
    layout->addWidget(noteLabel);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    cancelButton = new QPushButton(QCoreApplication::translate("MainWindow", "Cancel"), this);
    confirmButton = new QPushButton(QCoreApplication::translate("MainWindow", "Confirm"), this);
    buttonRow->addWidget(cancelButton);
    buttonRow->addWidget(confirmButton);
    layout->addLayout(buttonRow);

    const QString native = QDir::toNativeSeparators(currentPath);
    if (firstRun) {
        pathEdit->setPlaceholderText(native);
        cancelButton->setEnabled(false);
    } else {
        pathEdit->setText(native);
    }

    confirmButton->setDefault(true);

    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(browseButton, &QPushButton::clicked, this, &InstallLocationDialog::browseRequested);
    connect(confirmButton, &QPushButton::clicked, this, &InstallLocationDialog::confirmRequested);
}

QString InstallLocationDialog::chosenPath() const
{
    if (firstRun && pathEdit->text().isEmpty())
        return pathEdit->placeholderText();
    return pathEdit->text();
}

void InstallLocationDialog::setChosenPath(const QString &path)
{
    pathEdit->setText(QDir::toNativeSeparators(path));
}
