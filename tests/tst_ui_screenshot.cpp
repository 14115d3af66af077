// The real window on a real X server: styled, translucent, with a moving
// background, after its start-up checks ran against a local server. The
// screenshots stay in the build folder for people to look at.
#include "mainwindow.h"
#include "manifestcodec.h"
#include "messagebox.h"
#include "patience.h"
#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QDir>
#include <QGuiApplication>
#include <QJsonObject>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVideoSink>

namespace {

int colourDistance(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
}

// Largest colour difference over the opaque pixels of `art` drawn at `origin`.
int worstDifference(const QImage &screen, const QImage &art, const QPoint &origin)
{
    int worst = 0;
    for (int y = 0; y < art.height(); y += 3)
        for (int x = 0; x < art.width(); x += 3)
            if (qAlpha(art.pixel(x, y)) == 255)
                worst = qMax(worst,
                             colourDistance(screen.pixel(origin + QPoint(x, y)), art.pixel(x, y)));
    return worst;
}

} // namespace

class TestUiScreenshot : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;

    static QString artifact(const QString &name)
    {
        const QString folder = QStringLiteral(TEST_BINARY_DIR "/artifacts");
        QDir().mkpath(folder);
        return folder + QLatin1Char('/') + name;
    }

private slots:
    void realWindow()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        MessageBox::setTestMode(true);

        QTemporaryDir root;
        QVERIFY(writeFile(root.filePath(QStringLiteral("launcher.json")),
                          R"({"version": "0.0.1", "url": ""})"));
        // One file the game folder lacks: the engine then verifies and offers an install.
        QVERIFY(writeFile(
            root.filePath(QStringLiteral("patch/checksums.txt.gz")),
            encodeManifest({{QStringLiteral("data/world.pak"),
                             QJsonObject{{QStringLiteral("checksum"), QStringLiteral("0badc0de")},
                                         {QStringLiteral("size"), 4}}}})));
        TestHttpServer server(root.path());
        QVERIFY(server.start());

        MainWindow window;
        Settings *settings = Settings::instance;
        settings->launcherUpdateUrl = server.baseUrl() + QStringLiteral("/launcher.json");
        settings->updateUrl = server.baseUrl() + QStringLiteral("/patch");
        settings->setAnimationsEnabled(true);
        QSignalSpy ready(&window, &MainWindow::backgroundSetupComplete);
        QSignalSpy frames(window.findChild<QVideoSink *>(), &QVideoSink::videoFrameChanged);
        window.show();

        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, busyMachinePatienceMs);
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(QStringLiteral("/patch/checksums.txt.gz")), 1,
                                  busyMachinePatienceMs);
        QVERIFY(window.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(window.isActiveWindow(), busyMachinePatienceMs);
        QVERIFY(MessageBox::shownBoxes().isEmpty());
        // A full-screen grab blocks this thread for a while, and the media back
        // end drops a clip whose start is held up, so grab only once the clip
        // runs. The look does not depend on the clip: on a machine too busy to
        // start it the still picture stands in, and the clip's own tests catch
        // a clip that never plays.
        const bool clipRuns =
            QTest::qWaitFor([&] { return frames.count() >= 12; }, busyMachinePatienceMs);
        if (!clipRuns)
            qInfo("The clip did not start in time: checking the look over the still picture.");

        QScreen *screen = window.screen();
        const QRect area = window.frameGeometry();
        auto shoot = [&] {
            return screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        };
        const QImage first = shoot();
        QVERIFY(first.save(artifact(QStringLiteral("mainwindow.png"))));

        // The style sheet's frame for the button's state and the product logo are on
        // screen, pixel for pixel (the frame's left end: the text sits in the middle).
        const auto *manage = window.findChild<QPushButton *>(QStringLiteral("manageButton"));
        const QString frame =
            QStringLiteral(":/resources/frame_%1.png").arg(manage->property("state").toString());
        const QPoint buttonAt = manage->mapTo(&window, QPoint(0, 0)) + area.topLeft();
        QVERIFY2(worstDifference(first, QImage(frame).copy(0, 0, 60, 76), buttonAt) <= 8,
                 qPrintable(frame));
        const auto *logo = window.findChild<QWidget *>(QStringLiteral("logoLabel"));
        const QPoint logoAt = logo->mapTo(&window, QPoint(0, 0)) + area.topLeft();
        QVERIFY(worstDifference(first, QImage(QStringLiteral(":/resources/ag_logo.png")), logoAt) <=
                8);

        if (!clipRuns)
            return;
        // The background moves: the same part of the screen changes as the clip
        // plays. Grab only after fresh frames, so grabbing does not starve the clip.
        const QRect sky = QRect(area.topLeft() + QPoint(900, 200), QSize(300, 200));
        const QImage before = first.copy(sky);
        QImage later;
        for (int tries = 0; tries < 20 && (later.isNull() || later.copy(sky) == before); ++tries) {
            const qsizetype seen = frames.count();
            QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= seen + 12, busyMachinePatienceMs);
            later = shoot();
        }
        QVERIFY(later.copy(sky) != before);
        QVERIFY(later.save(artifact(QStringLiteral("mainwindow_later.png"))));
    }
};

QTEST_MAIN(TestUiScreenshot)
#include "tst_ui_screenshot.moc"
