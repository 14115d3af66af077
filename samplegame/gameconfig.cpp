#include "gameconfig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

GameConfig GameConfig::read(const QString &path)
{
    GameConfig config;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return config;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    if (object.value(QStringLiteral("title")).isString())
        config.title = object.value(QStringLiteral("title")).toString();
    config.seconds = qMax(0, object.value(QStringLiteral("seconds")).toInt(config.seconds));
    config.window = object.value(QStringLiteral("window")).toBool(config.window);
    config.exitCode = object.value(QStringLiteral("exitCode")).toInt(config.exitCode);
    return config;
}
