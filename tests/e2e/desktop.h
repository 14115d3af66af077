#pragma once

#include <QImage>
#include <QPoint>
#include <QString>

// What a player does and sees on the X display: windows found by their exact
// title, clicks and keys through xdotool, and screenshots of the whole screen.
class Desktop final
{
public:
    explicit Desktop(const QString &screenshotFolder);

    // The visible top-level window titled exactly `title`; 0 when there is none.
    qulonglong findWindow(const QString &title) const;
    QPoint windowPosition(qulonglong window) const;
    bool click(qulonglong window, QPoint inside) const;
    bool pressKey(qulonglong window, const QString &key) const;
    // Keys to whichever window holds the keyboard (an open menu grabs it).
    bool pressKeys(const QStringList &keys) const;
    bool typeText(qulonglong window, const QString &text) const;
    // Asks the window to close, as a window manager's close button does.
    bool closeWindow(qulonglong window) const;
    // The visible windows of a process (its main window, menus, dialogs).
    QList<qulonglong> windowsOf(qint64 pid) const;

    QImage grab() const;
    // Saves the screen as <folder>/<name>.png and returns the path.
    QString screenshot(const QString &name) const;

private:
    QString folder;
};
