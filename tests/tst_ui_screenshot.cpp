// The real window on a real X server: styled, translucent, with a moving
// background, after its start-up checks ran against a local server. The
// screenshots stay in the build folder for people to look at.
#include "announcementwidget.h"
#include "framecounter.h"
#include "installlocationdialog.h"
#include "installlocationflow.h"
#include "mainwindow.h"
#include "mainwindowform.h"
#include "messagebox.h"
#include "missingfile.h"
#include "newspanel.h"
#include "patience.h"
#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLayout>
#include <QMenu>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
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
        QVERIFY(publishMissingFile(root.path()));
        TestHttpServer server(root.path());
        QVERIFY(server.start());

        MainWindow window;
        Settings *settings = Settings::instance;
        settings->launcherUpdateUrl = server.baseUrl() + QStringLiteral("/launcher.json");
        settings->updateUrl = server.baseUrl() + QStringLiteral("/patch");
        settings->setAnimationsEnabled(true);
        settings->setHasSelectedInstallPath(true); // no first-run dialog
        QSignalSpy ready(&window, &MainWindow::backgroundSetupComplete);
        FrameCounter frames(window.findChild<QVideoSink *>());
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
        const auto *manage = window.findChild<ActionButton *>();
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

    // The settings menu, the location dialog and filled news cards, in both languages.
    void menuDialogAndNews()
    {
        MessageBox::setTestMode(true);
        QTemporaryDir root;
        QVERIFY(writeFile(root.filePath(QStringLiteral("launcher.json")),
                          R"({"version": "0.0.1", "url": ""})"));
        for (const char *picture : {"news_1.jpg", "news_2.jpg"})
            QVERIFY(QFile::copy(QStringLiteral(TEST_SOURCE_DIR "/../resources/news/") + picture,
                                root.filePath(QLatin1String(picture))));
        QVERIFY(publishMissingFile(root.path()));
        TestHttpServer server(root.path());
        QVERIFY(server.start());
        const auto item = [&server](const char *date, const char *title, const char *subtitle,
                                    int number) {
            return QJsonObject{
                {"date", date},
                {"title", title},
                {"subtitle", subtitle},
                {"image", server.baseUrl() + QStringLiteral("/news_%1.jpg").arg(number)},
                {"url", QStringLiteral("https://www.ashgrove.example/news/%1").arg(number)}};
        };
        const QJsonArray news{
            item("2024-05-01", "Embers of the Old Wood", "The spring festival returns to Ashgrove",
                 1),
            item("2024-04-18", "Patch 0.9.4", "New quests in the Hollow Vale", 2)};
        QVERIFY(
            writeFile(root.filePath(QStringLiteral("news.json")), QJsonDocument(news).toJson()));

        MainWindow window;
        Settings *settings = Settings::instance;
        settings->launcherUpdateUrl = server.baseUrl() + QStringLiteral("/launcher.json");
        settings->updateUrl = server.baseUrl() + QStringLiteral("/patch");
        settings->newsUrl = server.baseUrl() + QStringLiteral("/news.json");
        settings->setHasSelectedInstallPath(true);
        QVERIFY(QDir().mkpath(Settings::installPath())); // so the menu lists every entry
        QSignalSpy ready(&window, &MainWindow::backgroundSetupComplete);
        window.show();
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 20000);
        QTRY_VERIFY(window.isActiveWindow());
        // The guarded menu entries wait, as the button does, for the first check.
        const auto *manage = window.findChild<ActionButton *>();
        QTRY_VERIFY_WITH_TIMEOUT(manage->isEnabled(), 20000);
        window.findChild<NewsPanel *>()->requestNews();
        const auto cards = window.findChildren<AnnouncementWidget *>();
        QTRY_VERIFY_WITH_TIMEOUT(cards[0]->isVisible() && cards[1]->isVisible(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(cards[0]->hasPicture() && cards[1]->hasPicture(), 20000);

        QScreen *screen = window.screen();
        // Waits until the screen shows what the widget paints, then keeps the picture.
        auto shoot = [&](QWidget *shown, const QString &name) {
            const QImage own = shown->grab().toImage();
            const QPoint centre = own.rect().center();
            const QPoint onScreen = shown->mapToGlobal(centre);
            QImage image;
            QTRY_VERIFY_WITH_TIMEOUT(
                colourDistance((image = screen->grabWindow(0).toImage()).pixel(onScreen),
                               own.pixel(centre)) <= 12,
                20000);
            QVERIFY(image.save(artifact(name)));
        };
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt")}) {
            settings->setLanguage(language);
            window.applyLanguage(language);
            // Rebuilt rows show once the event loop has run.
            QLayout *rows = window.findChild<LinkColumn *>()->layout();
            const auto rowsShown = [rows] {
                for (int i = 0; i < rows->count(); ++i)
                    if (rows->itemAt(i)->widget() && !rows->itemAt(i)->widget()->isVisible())
                        return false;
                return rows->count() > 1;
            };
            QTRY_VERIFY(rowsShown());
            QMetaObject::invokeMethod(&window, "showSettingsMenu");
            auto *menu = window.findChild<QMenu *>(QStringLiteral("settingsMenu"));
            QVERIFY(menu);
            QVERIFY(QTest::qWaitForWindowExposed(menu));
            // Above the settings button, opening upwards.
            const auto *button = window.findChild<QWidget *>(QStringLiteral("settingsButton"));
            QCOMPARE(menu->geometry().bottomLeft() + QPoint(0, 1),
                     button->mapToGlobal(QPoint(0, 0)));
            shoot(menu, QStringLiteral("menu_%1.png").arg(language));
            menu->hide();
            QTRY_VERIFY(!window.findChild<QMenu *>(QStringLiteral("settingsMenu")));

            QTimer::singleShot(0, this, [&] {
                auto *dialog =
                    qobject_cast<InstallLocationDialog *>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                if (QTest::qWaitForWindowExposed(dialog))
                    shoot(dialog, QStringLiteral("location_%1.png").arg(language));
                dialog->reject();
            });
            window.findChild<InstallLocationFlow *>()->showInstallLocationDialog(false);
        }
    }
};

QTEST_MAIN(TestUiScreenshot)
#include "tst_ui_screenshot.moc"
