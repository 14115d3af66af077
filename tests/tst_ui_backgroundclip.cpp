// The clip keeper on its own: how long it waits between tries, when it
// forgets earlier failures and that a failed clip plays only when wanted.
#include "backgroundclip.h"
#include "patience.h"
#include "testenvironment.h"

#include <QGuiApplication>
#include <QMediaPlayer>
#include <QSignalSpy>
#include <QTest>
#include <QVideoFrame>
#include <QVideoFrameFormat>

namespace {

const QUrl badClip(QStringLiteral("qrc:/resources/no_such_clip.mp4"));

QVideoFrame timedFrame(qint64 startUs, qint64 endUs)
{
    QVideoFrame frame(QVideoFrameFormat(QSize(4, 4), QVideoFrameFormat::Format_BGRA8888));
    frame.setStartTime(startUs);
    frame.setEndTime(endUs);
    return frame;
}

using Span = QPair<qint64, qint64>; // frame start and end in µs; -1 for none

} // namespace

class TestUiBackgroundClip : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;

private slots:
    void pausesDoubleUpToTheirCap()
    {
        QMediaPlayer player;
        BackgroundClip clip(&player, nullptr);
        QCOMPARE(clip.nextRetryPauseMs(), 1000);
        clip.setRetryPauses(10, 45);

        // A clip that never loads keeps being tried, well past a handful of times.
        QList<int> pauses;
        connect(&clip, &BackgroundClip::failed, this, [&] { pauses << clip.nextRetryPauseMs(); });
        player.setSource(badClip);
        QTRY_VERIFY_WITH_TIMEOUT(pauses.size() >= 6, busyMachinePatienceMs);
        QCOMPARE(pauses.mid(0, 6), (QList<int>{20, 40, 45, 45, 45, 45}));
        QCOMPARE(player.source(), badClip);
    }

    void failedClipPlaysOnlyOnceRetried()
    {
        QMediaPlayer player;
        BackgroundClip clip(&player, nullptr);
        clip.setRetryPauses(busyMachinePatienceMs * 10, busyMachinePatienceMs * 10);
        QSignalSpy failed(&clip, &BackgroundClip::failed);
        player.setSource(badClip);
        QVERIFY(failed.wait(busyMachinePatienceMs));
        QVERIFY(clip.retryPending());

        // Wanting it now must not restart the broken pipeline before its pause is over.
        clip.setWanted(true);
        QCOMPARE(player.playbackState(), QMediaPlayer::StoppedState);
        QVERIFY(clip.wantsToPlay());
        // A second error report of the same failure does not lengthen the pause.
        emit player.errorOccurred(QMediaPlayer::ResourceError, QStringLiteral("again"));
        QCoreApplication::processEvents();
        QCOMPARE(clip.failuresInARow(), 1);
    }

    void steadyPlayForgetsFailures_data()
    {
        QTest::addColumn<QList<Span>>("frames");
        QTest::addColumn<bool>("forgotten");
        const qint64 s = 1'000'000;
        QTest::newRow("ten seconds of clip") << QList<Span>{{0, 5 * s}, {5 * s, 10 * s}} << true;
        QTest::newRow("a little less") << QList<Span>{{0, 5 * s}, {5 * s, 9 * s}} << false;
        QTest::newRow("a frame handed over twice counts once")
            << QList<Span>{{0, 5 * s}, {0, 5 * s}, {5 * s, 9 * s}} << false;
        QTest::newRow("across the loop")
            << QList<Span>{{0, 4 * s}, {4 * s, 8 * s}, {0, 4 * s}} << true;
        QTest::newRow("untimed frames count as 40 ms") << QList<Span>(250, {-1, -1}) << true;
        QTest::newRow("too few untimed frames") << QList<Span>(249, {-1, -1}) << false;
    }

    void steadyPlayForgetsFailures()
    {
        QFETCH(QList<Span>, frames);
        QFETCH(bool, forgotten);
        QMediaPlayer player;
        BackgroundClip clip(&player, nullptr);
        clip.setRetryPauses(busyMachinePatienceMs * 10, busyMachinePatienceMs * 10);

        // Play before the failure does not count towards forgetting it.
        clip.noteFrame(timedFrame(0, 9'000'000));
        QSignalSpy failed(&clip, &BackgroundClip::failed);
        player.setSource(badClip);
        QVERIFY(failed.wait(busyMachinePatienceMs));
        QCOMPARE(clip.failuresInARow(), 1);

        for (const Span &span : frames)
            clip.noteFrame(timedFrame(span.first, span.second));
        QCOMPARE(clip.failuresInARow(), forgotten ? 0 : 1);
    }
};

QTEST_MAIN(TestUiBackgroundClip)
#include "tst_ui_backgroundclip.moc"
