// The alternative media back end stops at the end of the clip although it
// should loop for ever; the window must start it again.
#include "framecounter.h"
#include "mainwindow.h"
#include "messagebox.h"
#include "missingfile.h"
#include "patience.h"
#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMediaPlayer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVideoSink>

class TestUiVideoLoop : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;

private slots:
    void restartsAtTheEnd()
    {
        MessageBox::setTestMode(true);
        MainWindow window;
        // A development build asks no launcher server. The game check gets an
        // answer: an error box would take the focus, and the clip pauses then.
        Settings::instance->version = QStringLiteral("dev");
        QTemporaryDir serverRoot;
        QVERIFY(publishMissingFile(serverRoot.path()));
        TestHttpServer server(serverRoot.path());
        QVERIFY(server.start());
        Settings::instance->updateUrl = server.baseUrl() + QStringLiteral("/patch");
        Settings::instance->setAnimationsEnabled(true);
        Settings::instance->setHasSelectedInstallPath(true); // no first-run dialog
        auto *player = window.findChild<QMediaPlayer *>();
        auto *sink = window.findChild<QVideoSink *>();
        QSignalSpy statuses(player, &QMediaPlayer::mediaStatusChanged);
        FrameCounter frames(sink);
        window.show();
        // The clip plays only in the active window.
        window.activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(window.isActiveWindow(), busyMachinePatienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() > 0, busyMachinePatienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(player->duration() > 1000, busyMachinePatienceMs);

        player->setPosition(player->duration() - 300);
        QTRY_VERIFY_WITH_TIMEOUT(
            statuses.contains(QVariantList{QVariant::fromValue(QMediaPlayer::EndOfMedia)}),
            busyMachinePatienceMs);
        const qsizetype framesAtEnd = frames.count();
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() > framesAtEnd + 5, busyMachinePatienceMs);
        QCOMPARE(player->playbackState(), QMediaPlayer::PlayingState);
        QVERIFY(player->position() < player->duration() / 2);
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    QLoggingCategory::setFilterRules(QStringLiteral("qt.multimedia.ffmpeg.*=false"));
    QApplication app(argc, argv);
    TestUiVideoLoop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ui_videoloop.moc"
