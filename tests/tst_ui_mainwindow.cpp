#include "backgroundclip.h"
#include "backgroundcomposer.h"
#include "framecounter.h"
#include "mainwindow.h"
#include "mainwindowform.h"
#include "messagebox.h"
#include "missingfile.h"
#include "patience.h"
#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEnterEvent>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QJsonObject>
#include <QLabel>
#include <QMediaPlayer>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QVideoFrame>
#include <QVideoSink>

#include <memory>

namespace {

QVideoFrame solidFrame(const QColor &color)
{
    QVideoFrame frame(QVideoFrameFormat(QSize(1366, 768), QVideoFrameFormat::Format_BGRA8888));
    if (!frame.map(QVideoFrame::WriteOnly))
        return {};
    for (int y = 0; y < frame.height(); ++y) {
        auto *row = reinterpret_cast<quint32 *>(frame.bits(0) + y * frame.bytesPerLine(0));
        std::fill(row, row + frame.width(), color.rgba());
    }
    frame.unmap();
    return frame;
}

int colourDistance(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
}

// Receives what the window hands to the desktop's URL handler.
class UrlCatcher final : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }
};

void sendMouse(QWidget *target, QEvent::Type type, const QPoint &local, Qt::MouseButton button,
               Qt::MouseButtons held)
{
    QMouseEvent event(type, QPointF(local), QPointF(target->mapToGlobal(local)), button, held,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

} // namespace

class TestUiMainWindow : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir serverRoot;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<MainWindow> window;

    QMediaPlayer *player() const { return window->findChild<QMediaPlayer *>(); }
    QVideoSink *sink() const { return window->findChild<QVideoSink *>(); }
    BackgroundClip *clip() const { return window->findChild<BackgroundClip *>(); }

    // Hands a frame over as the media back end does and lets the window take it in.
    void deliver(const QVideoFrame &frame)
    {
        sink()->setVideoFrame(frame);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    }

    // A window whose servers are local, with the clip still attached or not.
    void makeWindow(bool withVideo)
    {
        window = std::make_unique<MainWindow>();
        Settings *settings = Settings::instance;
        settings->launcherUpdateUrl = server->baseUrl() + QStringLiteral("/launcher.json");
        settings->updateUrl = server->baseUrl() + QStringLiteral("/patch");
        settings->newsUrl = server->baseUrl() + QStringLiteral("/news.json");
        settings->setHasSelectedInstallPath(true); // the first-run dialog has its own suite
        if (!withVideo) {
            // Frames then come only from the test.
            player()->setVideoOutput(static_cast<QObject *>(nullptr));
            player()->setSource(QUrl());
        }
    }

private slots:
    void initTestCase()
    {
        MessageBox::setTestMode(true);
        QVERIFY(writeFile(serverRoot.filePath(QStringLiteral("launcher.json")),
                          R"({"version": "0.0.1", "url": ""})"));
        QVERIFY(publishMissingFile(serverRoot.path()));
        server = std::make_unique<TestHttpServer>(serverRoot.path());
        QVERIFY(server->start());
    }

    void init()
    {
        server->resetCounters();
        MessageBox::clearRecord();
    }

    void cleanup() { window.reset(); }

    void construction()
    {
        makeWindow(false);
        QVERIFY(Settings::instance);
        QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(window->testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(window->testAttribute(Qt::WA_QuitOnClose));
        QVERIFY(window->testAttribute(Qt::WA_OpaquePaintEvent));
        QVERIFY(!window->testAttribute(Qt::WA_TransparentForMouseEvents));
        QVERIFY(window->isHidden());
        QCOMPARE(window->size(), QSize(1360, 768));
        QCOMPARE(window->windowTitle(), QStringLiteral("Ashgrove PTR Launcher"));
        QCOMPARE(player()->loops(), int(QMediaPlayer::Infinite));

        auto *logo = window->findChild<QWidget *>(QStringLiteral("logoWidget"));
        QVERIFY(logo->styleSheet().contains(QStringLiteral("url(:/resources/ag_logo.png)")));

        auto *manage = window->findChild<ActionButton *>();
        QCOMPARE(manage->property("state").toString(), QStringLiteral("install"));
        QCOMPARE(manage->text(), QStringLiteral("Install"));
        QVERIFY(!manage->isEnabled()); // until the first check has answered
        auto *speed = window->findChild<QLabel *>(QStringLiteral("speedLabel"));
        QCOMPARE(speed->parentWidget(), window.get());
        QVERIFY(speed->isHidden());

        // The bar with the buttons lies over the blurred strip.
        auto *central = window->findChild<QWidget *>(QStringLiteral("centralwidget"));
        const QObjectList order = central->children();
        QVERIFY(order.indexOf(window->findChild<QWidget *>(QStringLiteral("bottomPanel"))) >
                order.indexOf(window->findChild<QWidget *>(QStringLiteral("bottomBlurPanel"))));
    }

    void newsCardsPlacedAndHidden()
    {
        makeWindow(false);
        QList<QWidget *> cards;
        for (QWidget *child :
             window->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            if (child->inherits("AnnouncementWidget"))
                cards << child;
        QCOMPARE(cards.size(), 2);
        QCOMPARE(cards[0]->geometry(), QRect(509, 542, 356, 200));
        QCOMPARE(cards[1]->geometry(), QRect(888, 542, 356, 200));
        QVERIFY(cards[0]->isHidden() && cards[1]->isHidden());
    }

    void styleSheetApplied_data()
    {
        using State = ActionButton::State;
        QTest::addColumn<State>("state");
        QTest::addColumn<bool>("hovered");
        QTest::addColumn<QString>("frame");
        QTest::newRow("install") << State::Install << false << "frame_install.png";
        QTest::newRow("install hovered") << State::Install << true << "frame_install_on.png";
        QTest::newRow("update") << State::Update << false << "frame_update.png";
        QTest::newRow("update hovered") << State::Update << true << "frame_update_on.png";
        QTest::newRow("play hovered") << State::Play << true << "frame_play_on.png";
        QTest::newRow("checking: no hover frame") << State::Checking << true << "frame_update.png";
        QTest::newRow("installing: no hover frame")
            << State::Installing << true << "frame_install.png";
    }

    void styleSheetApplied()
    {
        QFETCH(ActionButton::State, state);
        QFETCH(bool, hovered);
        QFETCH(QString, frame);

        makeWindow(false);
        QFile qss(QStringLiteral(":/resources/style.qss"));
        QVERIFY(qss.open(QIODevice::ReadOnly | QIODevice::Text));
        QCOMPARE(window->styleSheet(), QString::fromUtf8(qss.readAll()));

        auto *manage = window->findChild<ActionButton *>();
        // A disabled button has no hover frame; it is enabled once a check has answered.
        emit window->engine().updateAvailable(QStringLiteral("update"));
        manage->setButtonState(state);
        manage->setText(QString());
        manage->setIcon(QIcon());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), busyMachinePatienceMs));
        // A real pointer move: the style's hover state follows the pointer, not a flag.
        QTest::mouseMove(window.get(), QPoint(700, 300));
        if (hovered)
            QTest::mouseMove(manage, QPoint(100, 30));
        QTRY_COMPARE(manage->underMouse(), hovered);
        manage->setGraphicsEffect(nullptr); // the hover dimming is tested on its own

        const QImage shown = manage->grab().toImage();
        const QImage expected(QStringLiteral(":/resources/") + frame);
        QCOMPARE(expected.size(), QSize(390, 76));
        int worst = 0;
        for (const QPoint &p : {QPoint(40, 38), QPoint(195, 10), QPoint(195, 60), QPoint(350, 38)})
            if (qAlpha(expected.pixel(p)) == 255)
                worst = qMax(worst, colourDistance(shown.pixel(p), expected.pixel(p)));
        QVERIFY2(worst <= 6, qPrintable(QString::number(worst)));

        // Off the button again, so the next window does not open under the pointer.
        QTest::mouseMove(window.get(), QPoint(700, 300));
        QTRY_VERIFY(!manage->underMouse());
    }

    void opacityEffects_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name :
             {"companyButton", "minimizeButton", "closeButton", "manageButton", "settingsButton"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void opacityEffects()
    {
        QFETCH(QString, name);
        makeWindow(false);
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        auto *button = window->findChild<FadingButton *>(name);
        QVERIFY(button);
        auto opacity = [button]() -> qreal {
            auto *effect = qobject_cast<QGraphicsOpacityEffect *>(button->graphicsEffect());
            return effect ? effect->opacity() : 1.0;
        };

        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(button->mapToGlobal(QPoint(5, 5))));
        QCoreApplication::sendEvent(button, &enter);
        QCOMPARE(opacity(), 0.9);
        sendMouse(button, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(opacity(), 0.8);
        // Released outside, so the button does not click (close or minimise the window).
        sendMouse(button, QEvent::MouseButtonRelease, QPoint(-50, -50), Qt::LeftButton,
                  Qt::NoButton);
        QCOMPARE(opacity(), 0.9);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(button, &leave);
        QVERIFY(!button->graphicsEffect());

        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        if (name == QLatin1String("companyButton"))
            QCOMPARE(catcher.opened, QList<QUrl>{QUrl(Settings::instance->companyUrl)});
        else
            QVERIFY(catcher.opened.isEmpty());
    }

    void titleBarDrag_data()
    {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<bool>("overWindowButtons");
        QTest::addColumn<bool>("moves");
        QTest::newRow("left button drags") << Qt::LeftButton << false << true;
        QTest::newRow("right button does not") << Qt::RightButton << false << false;
        QTest::newRow("not over the window buttons") << Qt::LeftButton << true << false;
    }

    void titleBarDrag()
    {
        QFETCH(Qt::MouseButton, button);
        QFETCH(bool, overWindowButtons);
        QFETCH(bool, moves);

        makeWindow(false);
        window->move(100, 80);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), busyMachinePatienceMs));
        const QPoint start = window->pos();
        auto *titleBar = window->findChild<TitleBar *>();
        window->findChild<QWidget *>(QStringLiteral("closeButton"))
            ->setAttribute(Qt::WA_UnderMouse, overWindowButtons);
        QCOMPARE(titleBar->isOverWindowButtons(), overWindowButtons);

        const QPoint grab(600, 15);
        sendMouse(titleBar, QEvent::MouseButtonPress, grab, button, button);
        sendMouse(titleBar, QEvent::MouseMove, grab + QPoint(40, 25), Qt::NoButton, button);
        QCOMPARE(window->pos(), moves ? start + QPoint(40, 25) : start);
    }

    void startUpSequenceFollowsFirstFrame()
    {
        makeWindow(false);
        QSignalSpy ready(window.get(), &MainWindow::backgroundSetupComplete);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), busyMachinePatienceMs));
        QCOMPARE(server->totalRequests(), 0);

        deliver(QVideoFrame()); // invalid frames are ignored
        QCOMPARE(ready.count(), 0);
        deliver(solidFrame(Qt::red));
        QCOMPARE(ready.count(), 1);

        // The launcher version first; the game's manifest only once it has answered.
        const QStringList expected{QStringLiteral("/launcher.json"),
                                   QStringLiteral("/patch/checksums.txt.gz")};
        QTRY_COMPARE_WITH_TIMEOUT(server->requestedPaths(), expected, busyMachinePatienceMs);
        QVERIFY(window->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), busyMachinePatienceMs);

        deliver(solidFrame(Qt::blue));
        QCOMPARE(ready.count(), 1);
        QVERIFY(MessageBox::shownBoxes().isEmpty());
    }

    void framesWithAnimations_data()
    {
        QTest::addColumn<bool>("animations");
        QTest::newRow("animations on: the picture follows the video") << true;
        QTest::newRow("animations off: the first frame stays") << false;
    }

    void framesWithAnimations()
    {
        QFETCH(bool, animations);
        makeWindow(false);
        Settings::instance->setAnimationsEnabled(animations);
        QSignalSpy ready(window.get(), &MainWindow::backgroundSetupComplete);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), busyMachinePatienceMs));

        const QPoint probe(1100, 300); // clear of the logo and the side shade
        deliver(solidFrame(Qt::red));
        QCOMPARE(ready.count(), 1);
        QRgb shown = window->grab().toImage().pixel(probe);
        QVERIFY(qRed(shown) > 100 && qBlue(shown) < 30);

        deliver(solidFrame(Qt::blue));
        shown = window->grab().toImage().pixel(probe);
        QCOMPARE(qBlue(shown) > 100, animations);
        QCOMPARE(qRed(shown) > 100, !animations);
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/launcher.json")), 1,
                                  busyMachinePatienceMs);
    }

    void stillPictureWhenTheVideoFails_data()
    {
        QTest::addColumn<bool>("mediaError");
        QTest::newRow("media error") << true;
        QTest::newRow("no frame in time") << false;
    }

    void stillPictureWhenTheVideoFails()
    {
        QFETCH(bool, mediaError);
        makeWindow(false);
        QSignalSpy ready(window.get(), &MainWindow::backgroundSetupComplete);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), busyMachinePatienceMs));
        const QPoint probe(1100, 100);
        QCOMPARE(qAlpha(window->grab().toImage().pixel(probe)), 0); // nothing painted yet

        QSignalSpy errors(player(), &QMediaPlayer::errorOccurred);
        const QUrl badClip(QStringLiteral("qrc:/resources/no_such_clip.mp4"));
        if (mediaError) {
            clip()->setRetryPauses(10, 40);
            player()->setSource(badClip);
        }
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() == 1, busyMachinePatienceMs);
        if (mediaError) {
            // The dropped clip is tried again for as long as it fails, the pause
            // growing to its cap.
            QTRY_VERIFY_WITH_TIMEOUT(clip()->failuresInARow() >= 5, busyMachinePatienceMs);
            QCOMPARE(clip()->nextRetryPauseMs(), 40);
            QCOMPARE(player()->source(), badClip);
        }
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/patch/checksums.txt.gz")),
                                  1, busyMachinePatienceMs);
        QCOMPARE(server->requestCount(QStringLiteral("/launcher.json")), 1);

        const QImage still(QStringLiteral(":/resources/background_still.jpg"));
        QVERIFY(!still.isNull());
        const auto *blurPanel = window->findChild<QWidget *>(QStringLiteral("bottomBlurPanel"));
        const QRgb expected = composeWindowBackground(still, window->size(), blurPanel->geometry())
                                  .toImage()
                                  .pixel(probe);
        QVERIFY(colourDistance(window->grab().toImage().pixel(probe), expected) <= 6);

        // Exactly once: a late frame or error changes the picture, not the sequence.
        deliver(solidFrame(Qt::green));
        player()->setSource(QUrl(QStringLiteral("qrc:/resources/no_such_clip_either.mp4")));
        QTRY_COMPARE_WITH_TIMEOUT(player()->error(), QMediaPlayer::ResourceError,
                                  busyMachinePatienceMs);
        QCOMPARE(ready.count(), 1);
        QCOMPARE(server->requestCount(QStringLiteral("/launcher.json")), 1);
    }

    void clipFollowsTheWindow_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("animations");
        QTest::addColumn<bool>("plays");
        QTest::newRow("shown and active") << "" << true << true;
        QTest::newRow("animations off") << "" << false << false;
        QTest::newRow("another window active") << "other" << true << false;
        QTest::newRow("active again") << "other, back" << true << true;
        QTest::newRow("active again, animations off") << "other, back" << false << false;
        QTest::newRow("hidden") << "hide" << true << false;
        // The offscreen platform activates a window shown again only through another.
        QTest::newRow("shown again") << "hide, show, other, back" << true << true;
        QTest::newRow("minimised") << "minimise" << true << false;
        QTest::newRow("engine installing") << "installing" << true << false;
        QTest::newRow("engine updating") << "updating" << true << false;
        QTest::newRow("engine done") << "updating, play" << true << true;
    }

    void clipFollowsTheWindow()
    {
        QFETCH(QString, change);
        QFETCH(bool, animations);
        QFETCH(bool, plays);

        makeWindow(false);
        Settings::instance->setAnimationsEnabled(animations);
        // Until a first picture is up the clip runs, shown or not.
        QVERIFY(clip()->wantsToPlay());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), busyMachinePatienceMs));
        deliver(solidFrame(Qt::red));
        // Once the start-up checks are through nothing else moves the focus.
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/patch/checksums.txt.gz")),
                                  1, busyMachinePatienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), busyMachinePatienceMs);

        QWidget other;
        for (const QString &step : change.split(QStringLiteral(", "), Qt::SkipEmptyParts)) {
            if (step == QLatin1String("other")) {
                other.show();
                other.activateWindow();
                QTRY_VERIFY_WITH_TIMEOUT(other.isActiveWindow(), busyMachinePatienceMs);
            } else if (step == QLatin1String("back")) {
                window->activateWindow();
                QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), busyMachinePatienceMs);
            } else if (step == QLatin1String("hide")) {
                window->hide();
            } else if (step == QLatin1String("show")) {
                window->show();
            } else if (step == QLatin1String("minimise")) {
                window->showMinimized();
                QTRY_VERIFY_WITH_TIMEOUT(window->isMinimized(), busyMachinePatienceMs);
            } else {
                emit window->engine().stateChanged(step);
            }
        }
        QCOMPARE(clip()->wantsToPlay(), plays);
    }

    void clipComesBackOnceTheWindowIsActive()
    {
        makeWindow(true);
        Settings::instance->setAnimationsEnabled(true);
        clip()->setRetryPauses(20, 200);
        QSignalSpy ready(window.get(), &MainWindow::backgroundSetupComplete);
        FrameCounter frames(sink());
        window->show();
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, busyMachinePatienceMs);
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(QStringLiteral("/patch/checksums.txt.gz")),
                                  1, busyMachinePatienceMs);

        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(other.isActiveWindow(), busyMachinePatienceMs);

        // The clip fails while the window is inactive; its source is fine again
        // by the time it is retried.
        const QUrl goodClip = player()->source();
        const int failures = clip()->failuresInARow();
        player()->setSource(QUrl(QStringLiteral("qrc:/resources/no_such_clip.mp4")));
        QTRY_VERIFY_WITH_TIMEOUT(clip()->failuresInARow() > failures, busyMachinePatienceMs);
        player()->setSource(goodClip);
        QTRY_VERIFY_WITH_TIMEOUT(!clip()->retryPending() &&
                                     player()->mediaStatus() == QMediaPlayer::LoadedMedia,
                                 busyMachinePatienceMs);
        QVERIFY(player()->playbackState() != QMediaPlayer::PlayingState);

        frames.clear();
        window->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), busyMachinePatienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 5, busyMachinePatienceMs);
        QCOMPARE(ready.count(), 1);
    }

    // The window retries a clip the back end dropped, so on a busy machine
    // frames come, late; a clip that cannot play at all never gets there.
    void realClipReachesTheWindow()
    {
        makeWindow(true);
        QSignalSpy ready(window.get(), &MainWindow::backgroundSetupComplete);
        FrameCounter frames(sink());
        window->show();
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() > 0, busyMachinePatienceMs);
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, busyMachinePatienceMs);
    }
};

QTEST_MAIN(TestUiMainWindow)
#include "tst_ui_mainwindow.moc"
