#include "desktop.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>

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
    return xdotool({"mousemove", "--sync", QString::number(at.x()), QString::number(at.y())}) &&
           xdotool({"click", "1"});
}

bool Desktop::pressKey(qulonglong window, const QString &key) const
{
    // Without a window manager the input focus is set directly.
    return xdotool({"windowfocus", QString::number(window)}) && xdotool({"key", key});
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
