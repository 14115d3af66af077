// Driver of the download benchmark (bench/download.sh):
//   downloadbench slots                      prints the engine's download slot count
//   downloadbench install UPDATE_URL GAME_DIR
//       installs the published game into GAME_DIR through the engine (which
//       trusts the authorities SSL_CERT_FILE names besides the system's) and prints
//       "total check verify download install files bytes peak_rss_kib gui_max_stall_ms"
// The engine runs its own executable as the file mover; that start is handed on
// to the launcher after noting the time in $DOWNLOADBENCH_MOVER_STAMP.
#include "downloadengine.h"

#include "updater.h"

#include <QApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

int runMover(char **argv)
{
    if (const char *stampPath = std::getenv("DOWNLOADBENCH_MOVER_STAMP")) {
        if (FILE *stamp = std::fopen(stampPath, "w")) {
            std::fprintf(stamp, "%.6f\n", monotonicSeconds());
            std::fclose(stamp);
        }
    }
    argv[0] = const_cast<char *>(LAUNCHER_EXE);
    execv(LAUNCHER_EXE, argv);
    std::perror("downloadbench: cannot start the launcher's file mover");
    return 1;
}

qint64 peakResidentKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--source") == 0)
            return runMover(argv);
    }

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    if (arguments == QStringList{QStringLiteral("slots")}) {
        std::printf("%d\n", maxConcurrentDownloads);
        return 0;
    }
    if (arguments.size() == 3 && arguments[0] == QLatin1String("install")) {
        // The engine's library brings widgets (its message boxes) along.
        QApplication app(argc, argv);
        const QString stampPath = qEnvironmentVariable("DOWNLOADBENCH_MOVER_STAMP");
        if (stampPath.isEmpty()) {
            std::fprintf(stderr, "downloadbench: DOWNLOADBENCH_MOVER_STAMP is not set\n");
            return 2;
        }
        const EngineInstall run = runEngineInstall(arguments[1], arguments[2], stampPath);
        if (!run.error.isEmpty()) {
            std::fprintf(stderr, "downloadbench: %s\n", qPrintable(run.error));
            return 1;
        }
        std::printf("%.6f %.6f %.6f %.6f %.6f %d %lld %lld %.1f\n", run.total, run.check,
                    run.verify, run.download, run.install, run.files,
                    static_cast<long long>(run.bytes), static_cast<long long>(peakResidentKib()),
                    run.guiMaxStallMs);
        return 0;
    }
    std::fprintf(stderr, "usage: downloadbench slots\n"
                         "       downloadbench install UPDATE_URL GAME_DIR\n");
    return 2;
}
