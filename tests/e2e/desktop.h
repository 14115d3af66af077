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

    QImage grab() const;
    // Saves the screen as <folder>/<name>.png and returns the path.
    QString screenshot(const QString &name) const;

private:
    QString folder;
};
