#pragma once

#include <QList>
#include <QString>

// Two builds of a generated game, the second made like a real patch. Each file
// is a list of pieces (assets inside an archive, or a whole small file); a piece
// is made from its seed alone, so a piece both builds name has the same bytes.
struct Piece
{
    quint64 seed = 0;
    qint64 size = 0;
    bool compressible = false; // text-like bytes (about 2:1 for zstd) or random ones
};

struct PlannedFile
{
    QString key;
    QList<Piece> pieces;
    qint64 size() const;
};

// Build 1 (about 2.5 GiB: archives of 128 MiB to 1 GiB made of 256 KiB-4 MiB
// assets, textures, scripts, half the bytes compressible) or build 2 (assets
// replaced and inserted inside the archives, textures replaced, scripts
// rewritten, files added, removed and renamed).
QList<PlannedFile> plannedBuild(int build);

// Writes the piece's bytes into `out` (resized to the piece's size).
void makePiece(const Piece &piece, QByteArray &out);

// Writes every file of the build below `folder`; false on a write error.
bool writeBuild(const QList<PlannedFile> &files, const QString &folder);
