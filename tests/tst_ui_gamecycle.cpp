// The whole life of the action button on a real X server, with the real
// engine, file mover and sample game: install, play until the game exits,
// update to a second published version, play again. Screenshots of the
// button's states stay in the build folder for people to look at.
#include "enginefixture.h"
#include "installlocationdialog.h"
#include "messagebox.h"
#include "platform/platform.h"
#include "settings.h"
#include "windowfixture.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

namespace {

QString artifact(const QString &name)
{
    const QString folder = QStringLiteral(TEST_BINARY_DIR "/artifacts");
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + name;
}

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7 % 251);
    return bytes;
}

} // namespace

class TestUiGameCycle : public QObject
{
    Q_OBJECT

private:
    WindowFixture fixture;

    QString state() const { return fixture.button()->property("state").toString(); }
    QString text() const { return fixture.button()->text(); }

    void shoot(const QString &name) { QVERIFY(fixture.window->grab().save(artifact(name))); }

    // Shown over the still background that stands in for the detached clip.
    MainWindow &showWindow()
    {
        MainWindow &window = fixture.makeWindow();
        QSignalSpy ready(&window, &MainWindow::backgroundSetupComplete);
        window.show();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(ready.count() == 1, 30000); }();
        return window;
    }

    QAction *menuEntry(MainWindow &window, const QString &text)
    {
        QMetaObject::invokeMethod(&window, "showSettingsMenu");
        const auto menus = window.findChildren<QMenu *>(QStringLiteral("settingsMenu"));
        if (!menus.isEmpty())
            for (QAction *action : menus.last()->actions())
                if (action->text() == text)
                    return action;
        qFatal("no menu entry %s", qPrintable(text));
    }

    // The big file arrives slowly, so the ring and the speed line can be seen.
    void slowDownload(const QString &key)
    {
        TestHttpServer::Fault drip;
        drip.dripBytes = 32 * 1024;
        drip.dripIntervalMs = 100;
        fixture.server->setFault(QStringLiteral("/patch/") + key, drip);
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        MessageBox::setTestMode(true);
    }
    void init() { QVERIFY(fixture.setUp()); }
    void cleanup() { fixture.tearDown(); }

    void installPlayUpdatePlay()
    {
        const QString title = QStringLiteral("Ashgrove PTR");
        const QJsonObject game{{QStringLiteral("title"), title}, {QStringLiteral("seconds"), 8}};
        FileMap first = fixture.sampleGame(game);
        first.insert(QStringLiteral("data/world.pak"), pattern(1024 * 1024, 'a'));
        QVERIFY(fixture.publish(first));
        MainWindow &window = showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        fixture.startFirstCheck();
        QTRY_VERIFY_WITH_TIMEOUT(
            state() == QLatin1String("install") && fixture.button()->isEnabled(), 20000);
        QCOMPARE(text(), QStringLiteral("Install"));
        shoot(QStringLiteral("button_install.png"));

        // Install: ring and speed line while the files arrive, then "Play".
        slowDownload(QStringLiteral("data/world.pak"));
        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QTRY_COMPARE(state(), QStringLiteral("installing"));
        QVERIFY(fixture.ring()->isVisible());
        QVERIFY(fixture.speedLabel()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(fixture.speedLabel()->text().endsWith(QLatin1String("/s")) ||
                                     state() != QLatin1String("installing"),
                                 20000);
        QCOMPARE(state(), QStringLiteral("installing"));
        shoot(QStringLiteral("button_installing.png"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("play"), 60000);
        QVERIFY(!fixture.speedLabel()->isVisible());
        const QFileInfo installed(fixture.installDir() + QLatin1Char('/') + fixture.gameName());
        QVERIFY(installed.isExecutable());

        // Play: the game starts from the game folder and shows its window.
        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QVERIFY(text().startsWith(QStringLiteral("Launching")));
        QTRY_COMPARE_WITH_TIMEOUT(text(), QStringLiteral("Playing"), 30000);
        QVERIFY(platform::isTopLevelWindowVisible(title));
        QVERIFY(window.engine().isGameRunning());
        shoot(QStringLiteral("button_playing.png"));
        QVERIFY(window.screen()->grabWindow(0).save(artifact(QStringLiteral("game_playing.png"))));
        QCOMPARE(state(), QStringLiteral("play"));

        // A second version is published while the game runs; the check after
        // the game has ended finds it (slowly, so "Checking" can be seen).
        const int checks = fixture.manifestRequests();
        FileMap second = first;
        second.insert(QStringLiteral("data/world.pak"), pattern(1024 * 1024, 'b'));
        QVERIFY(fixture.publish(second));
        TestHttpServer::Fault slowManifest;
        slowManifest.dripBytes = 16;
        slowManifest.dripIntervalMs = 150;
        fixture.server->setFault(QStringLiteral("/patch/checksums.txt.gz"), slowManifest);
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("checking"), 30000);
        QTRY_VERIFY(text().endsWith(QLatin1String("..")));
        shoot(QStringLiteral("button_checking.png"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("update"), 30000);
        QCOMPARE(fixture.manifestRequests(), checks + 1);
        QVERIFY(!window.engine().isGameRunning());

        // Update, then play the new version.
        fixture.server->clearFaults();
        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QTRY_COMPARE(state(), QStringLiteral("updating"));
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("play"), 60000);
        QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/data/world.pak")),
                 second.value(QStringLiteral("data/world.pak")));
        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(text(), QStringLiteral("Playing"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(text(), QStringLiteral("Play"), 30000);
        QVERIFY(fixture.errorTexts().isEmpty());
    }

    // Moving or uninstalling pulls files from under a game that is starting or
    // running, and the button stays enabled meanwhile: the menu refuses both.
    void gameBusyRefusesMoveAndUninstall_data()
    {
        QTest::addColumn<QJsonObject>("game");
        QTest::addColumn<QString>("waitFor");
        // Exits within a second without a window: the window still watches for it.
        QTest::newRow("launching")
            << QJsonObject{{"window", false}, {"seconds", 1}} << QStringLiteral("Launching");
        QTest::newRow("playing") << QJsonObject{{"title", "Ashgrove PTR"}, {"seconds", 120}}
                                 << QStringLiteral("Playing");
    }

    void gameBusyRefusesMoveAndUninstall()
    {
        QFETCH(QJsonObject, game);
        QFETCH(QString, waitFor);
        const FileMap files = fixture.sampleGame(game);
        QVERIFY(fixture.publish(files));
        QVERIFY(fixture.install(files));
        MainWindow &window = showWindow();
        window.setLaunchWatchPeriod(10 * 60 * 1000);
        fixture.startFirstCheck();
        QTRY_COMPARE_WITH_TIMEOUT(state(), QStringLiteral("play"), 30000);
        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(text().startsWith(waitFor), 30000);
        if (waitFor == QLatin1String("Launching"))
            QTRY_VERIFY_WITH_TIMEOUT(!window.engine().isGameRunning(), 30000);

        MessageBox::clearRecord();
        // Yes to every question: only the refusal keeps the files where they are.
        for (int i = 0; i < 3; ++i)
            MessageBox::presetAnswer(QMessageBox::Yes);
        const QString oldFolder = Settings::installPath();
        const QString newFolder = fixture.installDir() + QStringLiteral("-moved");
        QTimer::singleShot(0, this, [newFolder] {
            auto *dialog = qobject_cast<InstallLocationDialog *>(QApplication::activeModalWidget());
            QVERIFY2(dialog, "no location dialog");
            dialog->setChosenPath(newFolder);
            QTest::mouseClick(dialog->confirmButton, Qt::LeftButton);
            dialog->reject();
        });
        menuEntry(window, QStringLiteral("Modify Install"))->trigger();
        menuEntry(window, QStringLiteral("Uninstall"))->trigger();

        const QString refusal =
            QStringLiteral("Please close the game before moving or uninstalling it.");
        QStringList texts;
        for (const MessageBox::Shown &box : MessageBox::shownBoxes())
            texts << box.text;
        QCOMPARE(texts.count(refusal), 2);
        QCOMPARE(Settings::installPath(), oldFolder);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(QFile::exists(oldFolder + QLatin1Char('/') + it.key()), qPrintable(it.key()));
        QVERIFY(!QFile::exists(newFolder));
    }

    // The game runs, but no window carries the product's name: after the
    // watch period the launch counts as failed.
    void windowWithAnotherTitleFails()
    {
        FileMap files = fixture.sampleGame({{QStringLiteral("title"), QStringLiteral("Other")}});
        QVERIFY(fixture.publish(files));
        QVERIFY(fixture.install(files));
        MainWindow &window = showWindow();
        window.setLaunchWatchPeriod(3000);
        emit window.engine().noUpdateAvailable();
        QCOMPARE(state(), QStringLiteral("play"));

        QTest::mouseClick(fixture.button(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(platform::isTopLevelWindowVisible(QStringLiteral("Other")), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(
            fixture.errorTexts(),
            QStringList{
                QStringLiteral("Failed to launch the game. Please verify your installation.")},
            30000);
        QVERIFY(window.engine().isGameRunning());
        QTRY_COMPARE(fixture.manifestRequests(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(text(), QStringLiteral("Play"), 20000);
        QCOMPARE(state(), QStringLiteral("play"));
    }
};

ENGINE_TEST_MAIN_APP(QApplication, TestUiGameCycle)
#include "tst_ui_gamecycle.moc"
