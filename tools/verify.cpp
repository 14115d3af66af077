// patchtool verify: which files of a game folder a manifest would have the launcher fetch.
#include "checksum.h"
#include "commands.h"
#include "console.h"
#include "gamefolder.h"
#include "manifestcodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtConcurrent>

namespace {

struct Check
{
    QString key;
    QString expected;
    qint64 size = 0;
};

enum class Verdict
{
    Good,
    Missing,
    Differs
};

int fail(const QString &message)
{
    printError(QStringLiteral("patchtool verify: ") + message);
    return ExitBadInput;
}

// The launcher's own test of a file: a readable regular file whose checksum
// matches exactly (case included).
Verdict verdictFor(const QString &gameDir, const Check &check)
{
    const QString path = QDir::cleanPath(gameDir + QLatin1Char('/') + check.key);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return Verdict::Missing;
    if (info.isFile() && info.isReadable() && fileChecksum(path) == check.expected)
        return Verdict::Good;
    return Verdict::Differs;
}

int verify(const QStringList &arguments)
{
    if (arguments.size() != 2 || arguments[0].startsWith(QLatin1Char('-')) ||
        arguments[1].startsWith(QLatin1Char('-')))
        return usageError(verifySubcommand);
    const QString manifestPath = arguments[0];
    const QString gameDir = arguments[1];

    QFile manifestFile(manifestPath);
    if (!QFileInfo(manifestPath).isFile() || !manifestFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read the manifest %1").arg(manifestPath));
    // Read one byte past the bound so an oversized file is refused, not truncated.
    const QByteArray body = manifestFile.read(maxManifestBodyBytes + 1);
    const DecodedManifest manifest = decodeManifest(body);
    if (!manifest.ok())
        return fail(
            QStringLiteral("%1 is not a valid manifest: %2").arg(manifestPath, manifest.detail));
    if (!QFileInfo(gameDir).isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(gameDir));

    // Entries the launcher skips: no usable key or no checksum.
    QList<Check> checks;
    qint64 totalBytes = 0;
    for (auto it = manifest.files.constBegin(); it != manifest.files.constEnd(); ++it) {
        const QString expected = it.value().toObject().value(QLatin1String("checksum")).toString();
        if (it.key().isEmpty() || it.key() == QLatin1String("/") || expected.isEmpty())
            continue;
        const qint64 size = it.value().toObject().value(QLatin1String("size")).toInteger(0);
        checks.append({it.key(), expected, size});
        totalBytes += size;
    }

    Progress progress(QStringLiteral("verify"), checks.size(), totalBytes);
    const QList<Verdict> verdicts =
        resultsWithProgress(QtConcurrent::mapped(checks,
                                                 [&gameDir, &progress](const Check &check) {
                                                     const Verdict verdict =
                                                         verdictFor(gameDir, check);
                                                     progress.fileDone(check.size);
                                                     return verdict;
                                                 }),
                            progress);

    int missing = 0;
    int differing = 0;
    for (qsizetype i = 0; i < checks.size(); ++i) {
        if (verdicts[i] == Verdict::Missing) {
            ++missing;
            printOut(QStringLiteral("missing %1").arg(checks[i].key));
        } else if (verdicts[i] == Verdict::Differs) {
            ++differing;
            printOut(QStringLiteral("differs %1").arg(checks[i].key));
        }
    }
    printError(QStringLiteral("patchtool verify: %1 files checked, %2 missing, %3 differ")
                   .arg(checks.size())
                   .arg(missing)
                   .arg(differing));
    return missing + differing == 0 ? ExitOk : ExitFailed;
}

} // namespace

const Subcommand verifySubcommand{
    "verify", "MANIFEST GAME_DIR",
    "lists the files of GAME_DIR that are missing or differ from MANIFEST\n"
    "      (exit 0: none, 1: some, 2: bad input)",
    verify};
