#include "desktop.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

bool xdotool(const QStringList &arguments, QString *out = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return false;
    if (out)
        *out = QString::fromLocal8Bit(process.readAllStandardOutput());
    return process.exitCode() == 0;
}

} // namespace

Desktop::Desktop(const QString &screenshotFolder) : folder(screenshotFolder)
{
    QDir().mkpath(folder);
}

qulonglong Desktop::findWindow(const QString &title) const
{
    QString out;
    const QString pattern = QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$');
    if (!xdotool({"search", "--onlyvisible", "--name", pattern}, &out))
        return 0;
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).value(0).toULongLong();
}

QPoint Desktop::windowPosition(qulonglong window) const
{
    QString out;
    if (!xdotool({"getwindowgeometry", "--shell", QString::number(window)}, &out))
        return {-1, -1};
    QPoint position;
    for (const QString &line : out.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("X=")))
            position.setX(line.mid(2).toInt());
        else if (line.startsWith(QLatin1String("Y=")))
            position.setY(line.mid(2).toInt());
    }
    return position;
}

bool Desktop::click(qulonglong window, QPoint inside) const
{
    const QPoint at = windowPosition(window) + inside;
    // One command keeps the move before the press; "--sync" would wait for a
    // motion that never comes when the pointer is already there.
    return xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
}

bool Desktop::pressKey(qulonglong window, const QString &key) const
{
    // Without a window manager the input focus is set directly.
    return xdotool({"windowfocus", QString::number(window)}) && xdotool({"key", key});
}

bool Desktop::pressKeys(const QStringList &keys) const
{
    return xdotool(QStringList{"key"} + keys);
}

bool Desktop::typeText(qulonglong window, const QString &text) const
{
    return xdotool({"windowfocus", QString::number(window)}) &&
           xdotool({"type", "--delay", "20", text});
}

bool Desktop::closeWindow(qulonglong window) const
{
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    const auto disconnect = qScopeGuard([c] { xcb_disconnect(c); });
    if (xcb_connection_has_error(c))
        return false;
    auto atom = [c](const char *name) {
        xcb_intern_atom_reply_t *reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return value;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window);
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    if (event.type == XCB_ATOM_NONE || event.data.data32[0] == XCB_ATOM_NONE)
        return false;
    const xcb_void_cookie_t sent = xcb_send_event_checked(
        c, 0, event.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event));
    xcb_generic_error_t *error = xcb_request_check(c, sent);
    const bool delivered = error == nullptr;
    std::free(error);
    return delivered;
}

QList<qulonglong> Desktop::windowsOf(qint64 pid) const
{
    QString out;
    QList<qulonglong> windows;
    if (!xdotool({"search", "--onlyvisible", "--pid", QString::number(pid)}, &out))
        return windows;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        windows << line.toULongLong();
    return windows;
}

QImage Desktop::grab() const
{
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

QString Desktop::screenshot(const QString &name) const
{
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    grab().save(path);
    return path;
}
