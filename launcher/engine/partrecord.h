#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>

// What a staged part was downloaded from: the server's validator (a strong ETag
// or Last-Modified) and the address, recorded before the part's first byte
// reaches the disk. A part is continued only under the same validator (If-Range),
// so two builds of a file are never joined. The records live in a folder of
// their own, outside the staging tree the file mover carries into the game.
class PartRecord final
{
public:
    PartRecord(const QString &folder, const QString &key);

    // The validator recorded for `url`; empty when there is none or it was for another address.
    QByteArray read(const QByteArray &url) const;
    Status write(const QByteArray &url, const QByteArray &validator) const;
    void remove() const;

private:
    QString path; // empty when records are not kept
};
