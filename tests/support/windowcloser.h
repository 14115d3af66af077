#pragma once

#include <QString>
#include <QtGlobal>

// Asks the top-level window of process `pid` titled exactly `title` on the X
// display to close, as a window manager does for the player's click on its
// close button (WM_DELETE_WINDOW). False when there is no such window (yet).
bool closeWindow(const QString &title, qint64 pid);
