#include "console.h"

#include <cstdio>

namespace {

void printTo(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

void printOut(const QString &line)
{
    printTo(stdout, line);
}

void printError(const QString &line)
{
    printTo(stderr, line);
}

Progress::Progress(const QString &label, qint64 totalFiles, qint64 totalBytes)
    : label(label), totalFiles(totalFiles), totalBytes(totalBytes),
      large(totalFiles >= 2000 || totalBytes >= 256LL * 1024 * 1024)
{
}

void Progress::print() const
{
    if (!large)
        return;
    printError(
        QStringLiteral("%1: %2 of %3 files, %4 of %5 MiB")
            .arg(label)
            .arg(doneFiles.load(std::memory_order_relaxed))
            .arg(totalFiles)
            .arg(mebibytes(doneBytes.load(std::memory_order_relaxed)), mebibytes(totalBytes)));
}

QString mebibytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}
