// Where the game lives: the location dialog, moving an installation, the
// first-run choice and the legacy offer that run before the launcher check.
#include "mainwindow.h"

#include "installfolderpolicy.h"
#include "installlocationdialog.h"
#include "messagebox.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>

QString MainWindow::folderRefusal(int verdict) const
{
    switch (static_cast<FolderVerdict>(verdict)) {
    case FolderVerdict::NotAFolder:
        return tr("Please choose a folder.");
    case FolderVerdict::DriveRoot:
        return tr("The game cannot be installed to the top of a drive. Please choose or create a "
                  "folder for it.");
    case FolderVerdict::LauncherFolder:
        return tr("Game files cannot be installed to the same directory as the launcher.");
    case FolderVerdict::AboveLauncher:
        return tr("Game files cannot be installed to a folder that contains the launcher.");
    case FolderVerdict::UserFolder:
        return tr("This folder holds your own files. Please choose or create a folder of its own "
                  "for the game.");
    case FolderVerdict::TemporaryFolder:
        return tr("This folder is for temporary files. Please choose another folder.");
    case FolderVerdict::LegacyFolder:
        return tr("This folder belongs to the old installation. Please choose another folder.");
    case FolderVerdict::InsideOrAboveInstall:
        return tr("The new location cannot be inside the current game folder or contain it.");
    case FolderVerdict::Acceptable:
    case FolderVerdict::Unchanged:
        break;
    }
    return {};
}

bool MainWindow::refuseWhileGameBusy()
{
    // The button stays enabled while the game plays, so its guard does not cover this.
    if (!isLaunching() && !updater.isGameRunning())
        return false;
    MessageBox::warning(tr("Game Running"),
                        tr("Please close the game before moving or uninstalling it."));
    return true;
}

bool MainWindow::showInstallLocationDialog(bool firstRun)
{
    if (!firstRun && !manageButtonEnabled())
        return true;

    InstallLocationDialog dialog(firstRun, Settings::installPath(), this);
    connect(&dialog, &InstallLocationDialog::browseRequested, this,
            [this, &dialog] { browseInstallLocation(&dialog); });
    connect(&dialog, &InstallLocationDialog::confirmRequested, this,
            [this, &dialog] { confirmInstallLocation(&dialog); });
    dialog.exec();

    if (!firstRun)
        return true;
    if (dialog.isConfirmed()) {
        settings->setHasSelectedInstallPath(true);
        return true;
    }
    // Left without a choice: there is nowhere to install to.
    QCoreApplication::quit();
    return false;
}

void MainWindow::browseInstallLocation(InstallLocationDialog *dialog)
{
    QString start = dialog->pathEdit->text();
    if (start.isEmpty())
        start = nearestExistingFolder(settings->defaultInstallPath());
    const QString chosen = QFileDialog::getExistingDirectory(
        dialog, tr("Select Game Files Directory"), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!chosen.isEmpty())
        dialog->setChosenPath(chosen);
}

void MainWindow::confirmInstallLocation(InstallLocationDialog *dialog)
{
    const QString newPath = dialog->chosenPath();
    if (newPath.isEmpty()) {
        dialog->reject();
        return;
    }

    const auto verdict = judgeInstallFolder(newPath, currentInstallFolderContext());
    if (verdict == FolderVerdict::Unchanged) {
        dialog->markConfirmed();
        dialog->reject();
        return;
    }
    // A refused folder keeps the dialog open for another choice.
    if (verdict != FolderVerdict::Acceptable) {
        MessageBox::warning(tr("Error"), folderRefusal(int(verdict)));
        return;
    }
    if (holdsForeignFiles(newPath) &&
        MessageBox::question(tr("Folder Not Empty"),
                             tr("This folder already holds other files. Do you want to install "
                                "the game into it anyway?")) != QMessageBox::Yes)
        return;

    if (!dialog->isFirstRun() && updater.isInstalled()) {
        const auto answer =
            MessageBox::question(tr("Confirm Location Change"),
                                 tr("Would you like to move your current game files to the new "
                                    "location?"));
        if (answer == QMessageBox::Yes) {
            if (refuseWhileGameBusy())
                return;
            if (!moveInstallation(newPath)) {
                dialog->reject();
                return;
            }
        } else if (answer != QMessageBox::No) {
            return;
        }
    }

    dialog->markConfirmed();
    settings->setInstallPath(newPath);
    dialog->accept();
}

void MainWindow::offerLegacyMigration()
{
    if (!updater.hasLegacyInstallation() || settings->ignoreLegacyInstallationMigration())
        return;
    // Enabled again by the next state change.
    if (auto *manage = findChild<QPushButton *>(QStringLiteral("manageButton")))
        manage->setEnabled(false);
    const auto answer = MessageBox::question(
        tr("Legacy Installation Detected"),
        tr("We have detected a legacy installation. Would you like to migrate old files to the "
           "new installation path?"));
    if (answer != QMessageBox::Yes) {
        settings->setIgnoreLegacyInstallationMigration(true);
        return;
    }
    if (updater.migrateLegacyInstallation())
        MessageBox::information(
            tr("Migration Complete"),
            tr("Old files have been migrated to the new installation path successfully!"));
    else
        MessageBox::critical(tr("Migration Failed"),
                             tr("Failed to migrate old files to the new installation path."));
}

void MainWindow::onBackgroundSetupComplete()
{
    if (!settings->hasSelectedInstallPath() && !showInstallLocationDialog(true))
        return;
    offerLegacyMigration();
    updater.checkLauncherVersion();
}

void MainWindow::onInstallPathChanged(const QString &)
{
    // Nothing is checked before the launcher itself is known to be current.
    if (launcherVersionConfirmed)
        updater.checkForUpdates();
}
