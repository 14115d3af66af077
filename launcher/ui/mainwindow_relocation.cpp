// Moving an installation to the folder the player chose.
#include "mainwindow.h"

#include "messagebox.h"

bool MainWindow::moveInstallation(const QString &newPath)
{
    const Result<Updater::Relocation> result = updater.relocateInstallation(newPath);
    if (!result) {
        QString text = tr("Failed to move game files. Please try again.");
        if (!result.message().isEmpty())
            text += QStringLiteral("\n\n") + result.message();
        MessageBox::critical(tr("Error"), text);
        // The files may sit partly in either folder: let the button say which.
        if (launcherVersionConfirmed)
            updater.checkForUpdates();
        return false;
    }
    if (result->leftOtherFiles)
        MessageBox::information(
            tr("Success"),
            tr("Game files moved successfully. Files that do not belong to the game were left "
               "in the old folder."));
    else
        MessageBox::information(tr("Success"), tr("Game files moved successfully."));
    return true;
}
