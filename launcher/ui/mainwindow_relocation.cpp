// Moving an installation to the folder the player chose.
#include "mainwindow.h"

#include "messagebox.h"

bool MainWindow::moveInstallation(const QString &)
{
    // Nothing is moved until the engine can move only what the game owns.
    MessageBox::critical(tr("Error"), tr("Failed to move game files. Please try again."));
    return false;
}
