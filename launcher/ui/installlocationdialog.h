#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

// The game-folder chooser: a read-only path, Browse, a note, Cancel and Confirm.
// The window decides what Browse and Confirm do; the dialog only shows.
class InstallLocationDialog final : public QDialog
{
    Q_OBJECT

public:
    InstallLocationDialog(bool firstRun, const QString &currentPath, QWidget *parent);

    bool isFirstRun() const { return firstRun; }
    // The text of the path field, or in first-run mode the proposed default.
    QString chosenPath() const;
    void setChosenPath(const QString &path);
    // Set when Confirm settled the location (even unchanged), unlike Escape.
    bool isConfirmed() const { return confirmed; }
    void markConfirmed() { confirmed = true; }

    QLineEdit *pathEdit = nullptr;
    QPushButton *cancelButton = nullptr;
    QPushButton *confirmButton = nullptr;

signals:
    void browseRequested();
    void confirmRequested();

private:
    bool firstRun = false;
    bool confirmed = false;
};
