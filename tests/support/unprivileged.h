#pragma once

#include <QString>
#include <QStringList>

class QProcess;

// Tests run as root, for whom every folder is writable. Cases that need an
// unwritable folder run the program under test as the user "nobody".

// Sets `process` up to run `program` as nobody, with a HOME of its own that
// nobody can write and no runtime folder of root's.
void runAsUnprivileged(QProcess &process, const QString &program, const QStringList &arguments,
                       const QString &home);

// Makes `path` and every folder above it enterable by other users.
void openPathForOthers(const QString &path);

// Folder permissions: read and enter for all, writable only when asked.
void setFolderWritableByOthers(const QString &path, bool writable);
