// Driver of the verification benchmark (bench/verify.sh):
//   verifybench generate FOLDER
//   verifybench engine GAME_DIR MANIFEST_DIR RUNS   prints the best time in seconds
//   verifybench startup|full GAME_DIR MANIFEST_DIR  one check from the manifest to the verdict
#include "datagen.h"

#if defined(VERIFYBENCH_HAVE_ENGINE)
#include "engineverify.h"
#include <QApplication>
#endif

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    if (arguments.size() == 2 && arguments[0] == QLatin1String("generate")) {
        QCoreApplication app(argc, argv);
        return generateInstallation(arguments[1]) < 0 ? 1 : 0;
    }
    if (arguments.size() == 4 && arguments[0] == QLatin1String("engine")) {
#if defined(VERIFYBENCH_HAVE_ENGINE)
        // The engine's library brings widgets (its message boxes) along.
        QApplication app(argc, argv);
        const EngineTimes times =
            timeEngineVerification(arguments[1], arguments[2], qMax(1, arguments[3].toInt()));
        if (!times.error.isEmpty()) {
            std::fprintf(stderr, "verifybench: %s\n", qPrintable(times.error));
            return 1;
        }
        std::printf("%.6f %d\n", *std::min_element(times.seconds.begin(), times.seconds.end()),
                    times.files);
        return 0;
#else
        std::fprintf(stderr, "verifybench: built without the update engine\n");
        return 3;
#endif
    }
    if (arguments.size() == 3 &&
        (arguments[0] == QLatin1String("startup") || arguments[0] == QLatin1String("full"))) {
#if defined(VERIFYBENCH_HAVE_ENGINE)
        QApplication app(argc, argv);
        const EngineTimes times = timeEngineCheck(
            arguments[1], arguments[2],
            arguments[0] == QLatin1String("full") ? CheckKind::Full : CheckKind::Startup);
        if (!times.error.isEmpty() || times.seconds.isEmpty()) {
            std::fprintf(stderr, "verifybench: %s\n", qPrintable(times.error));
            return 1;
        }
        std::printf("%.6f %d\n", times.seconds.first(), times.files);
        return 0;
#else
        std::fprintf(stderr, "verifybench: built without the update engine\n");
        return 3;
#endif
    }
    std::fprintf(stderr, "usage: verifybench generate FOLDER\n"
                         "       verifybench engine GAME_DIR MANIFEST_DIR RUNS\n"
                         "       verifybench startup|full GAME_DIR MANIFEST_DIR\n");
    return 2;
}
