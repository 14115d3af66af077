#pragma once

#include <QString>

// Asks the top-level window titled exactly `title` on the X display to close, as
// a window manager does for the player's click on its close button
// (WM_DELETE_WINDOW). False when there is no display or no such window yet.
bool closeWindow(const QString &title);
