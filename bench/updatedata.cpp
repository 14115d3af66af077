#include "updatedata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr qint64 kib = 1024;
constexpr qint64 mib = 1024 * kib;

quint64 splitmix(quint64 &state)
{
    quint64 z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Deterministic choices for the plan; one stream per purpose.
class Dice
{
public:
    explicit Dice(quint64 seed) : state(seed) {}
    qint64 between(qint64 low, qint64 high)
    {
        return low + qint64(splitmix(state) % quint64(high - low + 1));
    }
    bool chance(int percent) { return between(0, 99) < percent; }
    quint64 seed() { return splitmix(state) | 1; }

private:
    quint64 state;
};

struct ArchiveShape
{
    const char *key;
    qint64 size;
    int compressiblePercent;
    int replaced; // assets replaced in build 2 (new bytes, new length)
    int inserted; // assets inserted in build 2
};

const ArchiveShape archives[] = {
    {"/data/world.pak", 1024 * mib, 50, 6, 4},
    {"/data/levels.pak", 512 * mib, 100, 4, 2},
    {"/data/audio.pak", 384 * mib, 0, 2, 0},
    {"/data/ui.pak", 128 * mib, 50, 0, 2},
};

Piece asset(Dice &dice, int compressiblePercent)
{
    return Piece{dice.seed(), dice.between(256 * kib, 4 * mib), dice.chance(compressiblePercent)};
}

} // namespace

qint64 PlannedFile::size() const
{
    qint64 total = 0;
    for (const Piece &piece : pieces)
        total += piece.size;
    return total;
}

QList<PlannedFile> plannedBuild(int build)
{
    QList<PlannedFile> files;
    Dice base(20261207);
    Dice patch(77);
    for (const ArchiveShape &shape : archives) {
        PlannedFile file{QString::fromLatin1(shape.key), {}};
        while (file.size() < shape.size)
            file.pieces.append(asset(base, shape.compressiblePercent));
        if (build == 2) {
            for (int i = 0; i < shape.replaced; ++i)
                file.pieces[patch.between(0, file.pieces.size() - 1)] =
                    asset(patch, shape.compressiblePercent);
            for (int i = 0; i < shape.inserted; ++i)
                file.pieces.insert(patch.between(0, file.pieces.size()),
                                   asset(patch, shape.compressiblePercent));
        }
        files.append(file);
    }
    for (int i = 0; i < 150; ++i) {
        const Piece texture{base.seed(), base.between(1 * mib, 4 * mib), false};
        files.append(
            {QStringLiteral("/textures/t%1.dds").arg(i, 3, 10, QLatin1Char('0')), {texture}});
    }
    for (int i = 0; i < 2000; ++i) {
        const Piece script{base.seed(), base.between(4 * kib, 64 * kib), true};
        files.append({QStringLiteral("/scripts/m%1/s%2.lua").arg(i % 40).arg(i), {script}});
    }
    files.append({QStringLiteral("/game.cfg"), {Piece{base.seed(), 3 * kib, true}}});
    if (build == 2) {
        for (int i = 0; i < 5; ++i)
            files[4 + patch.between(0, 149)].pieces = {
                Piece{patch.seed(), patch.between(1 * mib, 4 * mib), false}};
        for (int i = 0; i < 40; ++i) // rewritten
            files[154 + patch.between(0, 1999)].pieces = {
                Piece{patch.seed(), patch.between(4 * kib, 64 * kib), true}};
        for (int i = 0; i < 25; ++i) { // renamed: the same bytes under a new name
            PlannedFile &file = files[154 + patch.between(0, 1999)];
            file.key.replace(QLatin1String(".lua"), QLatin1String("_v2.lua"));
        }
        for (int i = 0; i < 15; ++i) // removed
            files.removeAt(154 + patch.between(0, 1900));
        for (int i = 0; i < 20; ++i)
            files.append({QStringLiteral("/scripts/new/n%1.lua").arg(i),
                          {Piece{patch.seed(), patch.between(4 * kib, 64 * kib), true}}});
        files.append({QStringLiteral("/textures/new.dds"), {Piece{patch.seed(), 3 * mib, false}}});
    }
    std::sort(files.begin(), files.end(),
              [](const PlannedFile &a, const PlannedFile &b) { return a.key < b.key; });
    return files;
}

void makePiece(const Piece &piece, QByteArray &out)
{
    out.resize(piece.size);
    quint64 state = piece.seed;
    auto *bytes = reinterpret_cast<uchar *>(out.data());
    qint64 i = 0;
    if (piece.compressible) {
        // Sixteen symbols, evenly drawn: four bits of entropy per byte.
        for (; i + 16 <= piece.size; i += 16) {
            quint64 word = splitmix(state);
            for (int n = 0; n < 16; ++n, word >>= 4)
                bytes[i + n] = uchar('a' + (word & 15));
        }
    } else {
        for (; i + 8 <= piece.size; i += 8) {
            const quint64 word = splitmix(state);
            memcpy(bytes + i, &word, 8);
        }
    }
    for (; i < piece.size; ++i)
        bytes[i] = uchar('a' + (splitmix(state) & 15));
}

bool writeBuild(const QList<PlannedFile> &files, const QString &folder)
{
    QByteArray bytes;
    for (const PlannedFile &file : files) {
        const QString path = folder + file.key;
        QDir().mkpath(QFileInfo(path).path());
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        for (const Piece &piece : file.pieces) {
            makePiece(piece, bytes);
            if (out.write(bytes) != bytes.size())
                return false;
        }
    }
    return true;
}
