// The action button over the real engine, without a display: what a press
// does, how the button follows the engine's signals, and the game launch.
#include "enginefixture.h"
#include "messagebox.h"
#include "speedtext.h"
#include "windowfixture.h"

#include <QApplication>
#include <QDateTime>
#include <QFontMetrics>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class TestUiButton : public QObject
{
    Q_OBJECT

private:
    WindowFixture fixture;

    QString state() const { return fixture.button()->property("state").toString(); }

    // The window after a first check that found everything in place.
    void makePlayWindow()
    {
        fixture.makeWindow();
        emit fixture.window->engine().noUpdateAvailable();
        QCOMPARE(state(), QStringLiteral("play"));
        QVERIFY(fixture.button()->isEnabled());
    }

    bool launchTimerRuns() const
    {
        for (const QTimer *timer : fixture.window->findChildren<QTimer *>())
            if (timer->isActive() && timer->interval() == 1000)
                return true;
        return false;
    }

private slots:
    void initTestCase() { MessageBox::setTestMode(true); }
    void init() { QVERIFY(fixture.setUp()); }
    void cleanup() { fixture.tearDown(); }

    void speedText_data()
    {
        QTest::addColumn<qint64>("bytesPerSecond");
        QTest::addColumn<QString>("text");
        QTest::newRow("bytes up to 1024") << qint64(1024) << "1024 B/s";
        QTest::newRow("just above") << qint64(1025) << "1.0 KB/s";
        QTest::newRow("1 MiB still in KB") << qint64(1048576) << "1024.0 KB/s";
        QTest::newRow("above 1 MiB") << qint64(1048577) << "1.0 MB/s";
        QTest::newRow("large") << qint64(52428800) << "50.0 MB/s";
    }

    void speedText()
    {
        QFETCH(qint64, bytesPerSecond);
        QFETCH(QString, text);
        QCOMPARE(::speedText(bytesPerSecond), text);
    }

    // Ring, gap and text form one group centred in the button, measured in the
    // font the text is drawn in; the speed line starts under the text.
    void progressGroupCentred_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("checking") << "checking";
        QTest::newRow("installing") << "installing";
        QTest::newRow("updating") << "updating";
    }

    void progressGroupCentred()
    {
        QFETCH(QString, state);
        fixture.makeWindow();
        fixture.window->setButtonState(state);
        QPushButton *button = fixture.button();
        button->ensurePolished();
        QCOMPARE(QFontInfo(button->font()).pixelSize(), 14);

        const QWidget *ring = fixture.ring();
        QVERIFY(ring->isVisibleTo(fixture.window.get()));
        const int textWidth = QFontMetrics(button->font()).horizontalAdvance(button->text());
        const int left = ring->x();
        const int right = button->width() - (ring->x() + ring->width() + 10 + textWidth);
        QVERIFY2(qAbs(left - right) <= 1, qPrintable(QStringLiteral("%1 %2").arg(left).arg(right)));
        QCOMPARE(ring->y() + ring->height() / 2, button->height() / 2);

        const QLabel *speed = fixture.speedLabel();
        const bool run = state != QLatin1String("checking");
        QCOMPARE(speed->isVisibleTo(fixture.window.get()), run);
        if (run) {
            const QPoint origin = button->mapTo(fixture.window.get(), QPoint(0, 0));
            QCOMPARE(speed->x(), origin.x() + ring->x() + ring->width() + 10);
            QVERIFY(speed->y() > origin.y() + button->height() / 2);
        }
    }

    // The button does nothing until the first check has said what to do; then
    // any mouse button starts the install.
    void noPressBeforeTheFirstCheck_data()
    {
        QTest::addColumn<Qt::MouseButton>("mouseButton");
        QTest::newRow("left") << Qt::LeftButton;
        QTest::newRow("right") << Qt::RightButton;
    }

    void noPressBeforeTheFirstCheck()
    {
        QFETCH(Qt::MouseButton, mouseButton);
        QVERIFY(fixture.publish({{QStringLiteral("data/world.pak"), "world"}}));
        fixture.makeWindow();
        QSignalSpy noUpdate(&fixture.window->engine(), &Updater::noUpdateAvailable);
        QCOMPARE(state(), QStringLiteral("install"));
        QVERIFY(!fixture.button()->isEnabled());
        QTest::mouseClick(fixture.button(), mouseButton);
        QCOMPARE(noUpdate.count(), 0);
        QCOMPARE(state(), QStringLiteral("install"));

        fixture.startFirstCheck();
        QTRY_VERIFY(fixture.button()->isEnabled());
        QCOMPARE(state(), QStringLiteral("install"));
        QTest::mouseClick(fixture.button(), mouseButton);
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("play"), 30000);
        QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/data/world.pak")),
                 QByteArray("world"));
        QCOMPARE(noUpdate.count(), 0);
    }

    // An error during a run is shown, but the run keeps the button until it
    // ends; then installed or not decides between "update" and "install".
    void errorDuringARun_data()
    {
        QTest::addColumn<QString>("run");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("after");
        QTest::newRow("installing, nothing installed") << "installing" << false << "install";
        QTest::newRow("updating, installed") << "updating" << true << "update";
        QTest::newRow("updating, folder emptied meanwhile") << "updating" << false << "install";
    }

    void errorDuringARun()
    {
        QFETCH(QString, run);
        QFETCH(bool, installed);
        QFETCH(QString, after);
        if (installed)
            QVERIFY(fixture.install({{QStringLiteral(".initcomplete"), QByteArray()}}));
        fixture.makeWindow();
        Updater &engine = fixture.window->engine();
        emit engine.updateAvailable(installed ? QStringLiteral("update")
                                              : QStringLiteral("install"));
        emit engine.stateChanged(run);
        emit engine.downloadError(QStringLiteral("File verification failed"));
        emit engine.downloadError(QStringLiteral("Network error occurred"));
        QCOMPARE(fixture.errorTexts(), QStringList{QStringLiteral("File verification failed")});
        QCOMPARE(state(), run);
        QVERIFY(!fixture.button()->isEnabled());

        emit engine.stateChanged(QStringLiteral("update")); // the engine's end of a failed run
        QCOMPARE(state(), after);
        QVERIFY(fixture.button()->isEnabled());
    }

    void speedLineStartsAfreshEachRun()
    {
        fixture.makeWindow();
        Updater &engine = fixture.window->engine();
        emit engine.updateAvailable(QStringLiteral("install"));
        emit engine.stateChanged(QStringLiteral("installing"));
        QCOMPARE(fixture.speedLabel()->text(), QStringLiteral("Calculating..."));
        QTRY_VERIFY_WITH_TIMEOUT((emit engine.downloadProgress(2048),
                                  fixture.speedLabel()->text() == QLatin1String("2.0 KB/s")),
                                 10000);
        emit engine.stateChanged(QStringLiteral("update"));
        emit engine.stateChanged(QStringLiteral("installing"));
        QCOMPARE(fixture.speedLabel()->text(), QStringLiteral("Calculating..."));
    }

    // Staged files found good by the check are moved in, and the check that
    // follows must really run even when the last one is less than a second old.
    void checkAfterStagedFilesMoved()
    {
        QVERIFY(fixture.publish({{QStringLiteral("data/world.pak"), "world"}}));
        fixture.makeWindow();
        QVERIFY(writeFile(Updater::stagingPath(QStringLiteral("data/world.pak")), "world"));
        connect(&fixture.window->engine(), &Updater::verificationStarted, this, [] {
            // As if the last check had just been asked for.
            Settings::instance->lastUpdateCheck =
                QDateTime::currentDateTime().addSecs(1).toString(Qt::ISODate);
        });
        fixture.startFirstCheck();
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("play"), 20000);
        QCOMPARE(fixture.manifestRequests(), 2);
        QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/data/world.pak")),
                 QByteArray("world"));
        QVERIFY(fixture.button()->isEnabled());
    }

    // A launch that cannot start ends at once with one box and a new check.
    void launchFails_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("box");
        QTest::newRow("executable missing")
            << false << "Game executable not found. Please verify your installation.";
        QTest::newRow("executable does not start")
            << true << "Failed to launch the game. Please verify your installation.";
    }

    void launchFails()
    {
        QFETCH(bool, present);
        QFETCH(QString, box);
        QVERIFY(fixture.publish({}));
        makePlayWindow();
        if (present) // a file without execute bits cannot be started
            QVERIFY(writeFile(fixture.installDir() + QLatin1Char('/') + fixture.gameName(),
                              "not a program"));
        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QCOMPARE(fixture.errorTexts(), QStringList{box});
        // The new check has begun; nothing is left waiting for a game.
        QCOMPARE(state(), QStringLiteral("checking"));
        QVERIFY(!fixture.button()->text().startsWith(QStringLiteral("Launching")));
        QVERIFY(!launchTimerRuns());
        QTRY_COMPARE(fixture.manifestRequests(), 1);
    }

    // Without an X server to ask (Wayland without Xwayland) the game process
    // running from the game folder counts as its window being seen.
    void launchWithoutWindowLookup()
    {
        const QByteArray display = qgetenv("DISPLAY");
        qunsetenv("DISPLAY");
        const auto restore = qScopeGuard([&] {
            if (!display.isEmpty())
                qputenv("DISPLAY", display);
        });
        QVERIFY(fixture.publish({}));
        makePlayWindow();
        QVERIFY(fixture.install(fixture.sampleGame(
            {{QStringLiteral("window"), false}, {QStringLiteral("seconds"), 3}})));

        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QVERIFY(fixture.button()->text().startsWith(QStringLiteral("Launching")));
        QTest::mouseClick(fixture.button(), Qt::LeftButton); // swallowed while launching
        QTRY_COMPARE_WITH_TIMEOUT(fixture.button()->text(), QStringLiteral("Playing"), 20000);
        QCOMPARE(fixture.manifestRequests(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.button()->text(), QStringLiteral("Play"), 20000);
        QTRY_COMPARE(fixture.manifestRequests(), 1);
        QCOMPARE(state(), QStringLiteral("play"));
        QVERIFY(fixture.errorTexts().isEmpty());
    }
};

ENGINE_TEST_MAIN_APP(QApplication, TestUiButton)
#include "tst_ui_button.moc"
