#include "datagen.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr qint64 mebibyte = 1024 * 1024;

// Incompressible and cheap to make: checksum speed must not depend on content,
// and the generator should not dominate the first run.
void fillRandom(QByteArray &buffer, quint64 &state)
{
    auto *words = reinterpret_cast<quint64 *>(buffer.data());
    for (qsizetype i = 0; i < buffer.size() / 8; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        words[i] = state;
    }
}

bool writeRandomFile(const QString &path, qint64 size, quint64 &state, QByteArray &buffer)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (qint64 left = size; left > 0;) {
        fillRandom(buffer, state);
        const qint64 piece = qMin<qint64>(left, buffer.size());
        if (file.write(buffer.constData(), piece) != piece)
            return false;
        left -= piece;
    }
    return true;
}

} // namespace

qint64 generateInstallation(const QString &folder)
{
    QRandomGenerator sizes(20240601);
    quint64 state = 0x9e3779b97f4a7c15ULL;
    QByteArray buffer(4 * mebibyte, Qt::Uninitialized);
    qint64 total = 0;
    const auto make = [&](const QString &key, qint64 size) {
        if (!writeRandomFile(folder + key, size, state, buffer))
            return false;
        total += size;
        return true;
    };

    for (int i = 0; i < 6; ++i) {
        if (!make(QStringLiteral("/data/archive%1.pak").arg(i, 2, 10, QLatin1Char('0')),
                  256 * mebibyte))
            return -1;
    }
    for (int i = 0; i < 400; ++i) {
        const qint64 size = sizes.bounded(1 * mebibyte, 4 * mebibyte + 1);
        if (!make(QStringLiteral("/textures/set%1/texture%2.dds").arg(i % 20).arg(i), size))
            return -1;
    }
    for (int i = 0; i < 5000; ++i) {
        const qint64 size = sizes.bounded(1024, 64 * 1024 + 1);
        const QString name = i % 50 == 0 ? QStringLiteral("/scripts/mod%1/.config%2")
                                         : QStringLiteral("/scripts/mod%1/script%2.lua");
        if (!make(name.arg(i % 100).arg(i), size))
            return -1;
    }
    if (!make(QStringLiteral("/.initcomplete"), 0))
        return -1;
    std::fprintf(stderr, "verifybench: generated %.2f GiB in %s\n",
                 double(total) / (1024.0 * mebibyte), qPrintable(folder));
    return total;
}
