#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Builds zip archives for the tests, including entries a careful unpacker
// must refuse (names leading outside, links).
struct ZipEntry
{
    QString name;
    QByteArray content;
    QFile::Permissions permissions =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    bool symlink = false; // content is the link target
};

bool writeZip(const QString &path, const QList<ZipEntry> &entries);

// Entry names and contents of an archive, in archive order; empty when unreadable.
QList<ZipEntry> readZip(const QString &path);
