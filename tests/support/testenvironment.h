#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// Keeps tests away from the real user's files: a private HOME and XDG folders,
// and Qt's standard-paths test mode. Create one before anything reads paths.
class TestEnvironment final
{
public:
    TestEnvironment();
    QString home() const { return homeDir.path(); }

private:
    QTemporaryDir homeDir;
};

// Writes `content` to `path`, creating parent folders; fails the test on error.
bool writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

// Relative path → content of every file below `root`, and "name/" for folders.
QMap<QString, QByteArray> treeOf(const QString &root);
