#pragma once

#include <QString>

// What the game does when started without arguments, read from a file beside
// it so a published copy can be told how to behave.
struct GameConfig
{
    QString title = QStringLiteral("Sample Game");
    int seconds = 0; // how long to stay; 0 stays until closed
    bool window = true;
    int exitCode = 0;

    static QString fileName() { return QStringLiteral("samplegame.json"); }
    // Defaults for whatever the file lacks, or for all of it when it is missing or unreadable.
    static GameConfig read(const QString &path);
};
