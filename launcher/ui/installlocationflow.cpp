#include "installlocationflow.h"

#include "actionbutton.h"
#include "installfolderpolicy.h"
#include "installlocationdialog.h"
#include "messagebox.h"
#include "settings.h"
#include "updater.h"
#include "windowtext.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>

namespace {

QString folderRefusal(FolderVerdict verdict)
{
    switch (verdict) {
    case FolderVerdict::NotAFolder:
        return WindowText::tr("Please choose a folder.");
    case FolderVerdict::DriveRoot:
        return WindowText::tr("The game cannot be installed to the top of a drive. Please choose "
                              "or create a folder for it.");
    case FolderVerdict::LauncherFolder:
        return WindowText::tr(
            "Game files cannot be installed to the same directory as the launcher.");
    case FolderVerdict::AboveLauncher:
        return WindowText::tr(
            "Game files cannot be installed to a folder that contains the launcher.");
    case FolderVerdict::UserFolder:
        return WindowText::tr("This folder holds your own files. Please choose or create a "
                              "folder of its own for the game.");
    case FolderVerdict::TemporaryFolder:
        return WindowText::tr("This folder is for temporary files. Please choose another folder.");
    case FolderVerdict::LegacyFolder:
        return WindowText::tr(
            "This folder belongs to the old installation. Please choose another folder.");
    case FolderVerdict::InsideOrAboveInstall:
        return WindowText::tr(
            "The new location cannot be inside the current game folder or contain it.");
    case FolderVerdict::Acceptable:
    case FolderVerdict::Unchanged:
        break;
    }
    return {};
}

} // namespace

InstallLocationFlow::InstallLocationFlow(Updater &engine, Settings &settings, ActionButton &button,
                                         QWidget *window)
    : QObject(window), engine(engine), settings(settings), button(button), window(window)
{
}

bool InstallLocationFlow::refuseWhileGameBusy()
{
    // The button stays enabled while the game plays, so its guard does not cover this.
    if (!button.isLaunching() && !engine.isGameRunning())
        return false;
    MessageBox::warning(WindowText::tr("Game Running"),
                        WindowText::tr("Please close the game before moving or uninstalling it."));
    return true;
}

bool InstallLocationFlow::showInstallLocationDialog(bool firstRun)
{
    if (!firstRun && !button.isEnabled())
        return true;

    InstallLocationDialog dialog(firstRun, Settings::installPath(), window);
    connect(&dialog, &InstallLocationDialog::browseRequested, this,
            [this, &dialog] { browseInstallLocation(&dialog); });
    connect(&dialog, &InstallLocationDialog::confirmRequested, this,
            [this, &dialog] { confirmInstallLocation(&dialog); });
    dialog.exec();

    if (!firstRun)
        return true;
    if (dialog.isConfirmed()) {
        settings.setHasSelectedInstallPath(true);
        return true;
    }
    // Left without a choice: there is nowhere to install to.
    QCoreApplication::quit();
    return false;
}

void InstallLocationFlow::browseInstallLocation(InstallLocationDialog *dialog)
{
    QString start = dialog->pathEdit->text();
    if (start.isEmpty())
        start = nearestExistingFolder(settings.defaultInstallPath());
    const QString chosen = QFileDialog::getExistingDirectory(
        dialog, WindowText::tr("Select Game Files Directory"), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!chosen.isEmpty())
        dialog->setChosenPath(chosen);
}

void InstallLocationFlow::confirmInstallLocation(InstallLocationDialog *dialog)
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
        MessageBox::warning(WindowText::tr("Error"), folderRefusal(verdict));
        return;
    }
    if (holdsForeignFiles(newPath) &&
        MessageBox::question(WindowText::tr("Folder Not Empty"),
                             WindowText::tr("This folder already holds other files. Do you want "
                                            "to install the game into it anyway?")) !=
            QMessageBox::Yes)
        return;

    if (!dialog->isFirstRun() && engine.isInstalled()) {
        const auto answer = MessageBox::question(
            WindowText::tr("Confirm Location Change"),
            WindowText::tr("Would you like to move your current game files to the new location?"));
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
    settings.setInstallPath(newPath);
    dialog->accept();
}

bool InstallLocationFlow::moveInstallation(const QString &newPath)
{
    const Result<Updater::Relocation> result = engine.relocateInstallation(newPath);
    if (!result) {
        QString text = WindowText::tr("Failed to move game files. Please try again.");
        if (!result.message().isEmpty())
            text += QStringLiteral("\n\n") + result.message();
        MessageBox::critical(WindowText::tr("Error"), text);
        emit moveFailed();
        return false;
    }
    if (result->leftOtherFiles)
        MessageBox::information(
            WindowText::tr("Success"),
            WindowText::tr("Game files moved successfully. Files that do not belong to the game "
                           "were left in the old folder."));
    else
        MessageBox::information(WindowText::tr("Success"),
                                WindowText::tr("Game files moved successfully."));
    return true;
}

void InstallLocationFlow::offerLegacyMigration()
{
    if (!engine.hasLegacyInstallation() || settings.ignoreLegacyInstallationMigration())
        return;
    // Enabled again by the next state change.
    button.setEnabled(false);
    const auto answer = MessageBox::question(
        WindowText::tr("Legacy Installation Detected"),
        WindowText::tr("We have detected a legacy installation. Would you like to migrate old "
                       "files to the new installation path?"));
    if (answer != QMessageBox::Yes) {
        settings.setIgnoreLegacyInstallationMigration(true);
        return;
    }
    if (engine.migrateLegacyInstallation())
        MessageBox::information(
            WindowText::tr("Migration Complete"),
            WindowText::tr("Old files have been migrated to the new installation path "
                           "successfully!"));
    else
        MessageBox::critical(
            WindowText::tr("Migration Failed"),
            WindowText::tr("Failed to migrate old files to the new installation path."));
}
