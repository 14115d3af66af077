#include "patience.h"
#include "platform/platform.h"
#include "testenvironment.h"

#include <QProcess>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Sets a 32-bit property the way a window manager would on a client window.
bool setWindowProperty(xcb_window_t window, const char *name, const char *type,
                       const std::vector<uint32_t> &values)
{
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    auto atom = [c](const char *atomName) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, uint16_t(strlen(atomName)), atomName), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return result;
    };
    std::vector<uint32_t> data = values;
    if (strcmp(type, "ATOM") == 0) {
        // Values name atoms here; callers pass indices into the names below.
        const char *states[] = {"_NET_WM_STATE_HIDDEN"};
        for (uint32_t &value : data)
            value = atom(states[value]);
    }
    xcb_void_cookie_t cookie =
        xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, window, atom(name), atom(type), 32,
                                    uint32_t(data.size()), data.data());
    xcb_generic_error_t *error = xcb_request_check(c, cookie);
    free(error);
    xcb_disconnect(c);
    return !error;
}

} // namespace

// Runs against the test run's X server: the stand-in game shows a real window.
class TestPlatformWindow : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QProcess game;
    const QString title = QStringLiteral("Ashgrove PTR Window Test");

    quint32 windowId = 0;

    // Returns the game's answer; it echoes each command once it has acted on it.
    QByteArray tell(const QByteArray &command)
    {
        game.write(command + '\n');
        QByteArray answer;
        const bool answered = QTest::qWaitFor(
            [&] {
                while (game.canReadLine()) {
                    answer = game.readLine().trimmed();
                    if (answer.startsWith(command))
                        return true;
                }
                return false;
            },
            busyMachinePatienceMs);
        return answered ? answer : QByteArray();
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X server (run through ./run test)");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        game.setProcessEnvironment(env);
        game.start(QStringLiteral(TEST_GAME_EXE), {"--title", title, "--commands"});
        QVERIFY(game.waitForStarted(busyMachinePatienceMs));
        QTRY_VERIFY_WITH_TIMEOUT(game.canReadLine(), busyMachinePatienceMs);
        QCOMPARE(game.readLine().trimmed(), QByteArray("ready"));
        windowId = tell("id").mid(3).toUInt();
        QVERIFY(windowId != 0);
    }

    void cleanupTestCase()
    {
        if (game.state() == QProcess::Running) {
            game.kill();
            game.waitForFinished(10000);
        }
    }

    void shownWindowFoundByExactTitle_data()
    {
        QTest::addColumn<QString>("lookFor");
        QTest::addColumn<bool>("found");
        QTest::newRow("exact") << title << true;
        QTest::newRow("prefix") << title.left(8) << false;
        QTest::newRow("trailing space") << title + " " << false;
        QTest::newRow("other case") << title.toUpper() << false;
        QTest::newRow("empty") << QString() << false;
    }

    void shownWindowFoundByExactTitle()
    {
        QTRY_VERIFY_WITH_TIMEOUT(platform::isTopLevelWindowVisible(title), busyMachinePatienceMs);
        QFETCH(QString, lookFor);
        QTEST(platform::isTopLevelWindowVisible(lookFor), "found");
    }

    void visibilityFollowsTheWindow_data()
    {
        QTest::addColumn<QByteArray>("action");
        QTest::addColumn<bool>("visible");
        QTest::newRow("hidden") << QByteArray("hide") << false;
        QTest::newRow("shown again") << QByteArray("show") << true;
        // Without a window manager nothing minimises a window, so the test
        // marks it as a manager would.
        QTest::newRow("state hidden") << QByteArray("wm-hidden") << false;
        QTest::newRow("state cleared") << QByteArray("wm-clear") << true;
        QTest::newRow("iconic") << QByteArray("wm-iconic") << false;
        QTest::newRow("normal") << QByteArray("wm-normal") << true;
    }

    void visibilityFollowsTheWindow()
    {
        QFETCH(QByteArray, action);
        QFETCH(bool, visible);
        if (action == "wm-hidden")
            QVERIFY(setWindowProperty(windowId, "_NET_WM_STATE", "ATOM", {0}));
        else if (action == "wm-clear")
            QVERIFY(setWindowProperty(windowId, "_NET_WM_STATE", "ATOM", {}));
        else if (action == "wm-iconic")
            QVERIFY(setWindowProperty(windowId, "WM_STATE", "WM_STATE", {3, 0}));
        else if (action == "wm-normal")
            QVERIFY(setWindowProperty(windowId, "WM_STATE", "WM_STATE", {1, 0}));
        else
            QCOMPARE(tell(action), action);
        QTRY_COMPARE_WITH_TIMEOUT(platform::isTopLevelWindowVisible(title), visible,
                                  busyMachinePatienceMs);
    }

    void noDisplayMeansNotFound()
    {
        QTRY_VERIFY_WITH_TIMEOUT(platform::isTopLevelWindowVisible(title), busyMachinePatienceMs);
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", ":4242");
        const bool unreachable = platform::isTopLevelWindowVisible(title);
        qunsetenv("DISPLAY");
        const bool unset = platform::isTopLevelWindowVisible(title);
        qputenv("DISPLAY", display);
        QVERIFY(!unreachable);
        QVERIFY(!unset);
    }

    void gameGoneMeansNotFound()
    {
        QCOMPARE(tell("quit"), QByteArray("quit"));
        QTRY_COMPARE_WITH_TIMEOUT(game.state(), QProcess::NotRunning, busyMachinePatienceMs);
        QVERIFY(!platform::isTopLevelWindowVisible(title));
    }
};

QTEST_GUILESS_MAIN(TestPlatformWindow)
#include "tst_platform_window.moc"
