#pragma once

#include <QObject>
#include <QTimer>

class QMediaPlayer;
class QVideoFrame;

// Keeps the window's background clip going. The media back end drops a clip
// now and then (GStreamer does when the GUI thread is held up while the clip
// starts); the clip is then loaded again after a pause that grows with each
// failure in a row, for as long as the window lives. It plays only while its
// owner wants it to, also once it is back.
class BackgroundClip final : public QObject
{
    Q_OBJECT

public:
    static constexpr int firstRetryPauseMs = 1000;
    static constexpr int longestRetryPauseMs = 30000;
    // Played time after which earlier failures no longer lengthen the pause.
    static constexpr qint64 steadyPlayUs = 10'000'000;

    BackgroundClip(QMediaPlayer *player, QObject *parent);

    // Plays or pauses now; while a retry is pending, decides what the clip
    // does once it is loaded again.
    void setWanted(bool play);
    // Counts the clip time a decoded frame stands for.
    void noteFrame(const QVideoFrame &frame);

    bool wantsToPlay() const { return wanted; }
    int failuresInARow() const { return failures; }
    bool retryPending() const { return retryTimer.isActive(); }
    // The pause before the next try, were the clip to fail now.
    int nextRetryPauseMs() const;
    void setRetryPauses(int firstMs, int longestMs);

signals:
    // The clip stopped with an error; a try to bring it back is scheduled.
    void failed();

private:
    void onError();
    void onMediaStatusChanged(int status);
    void retry();
    void apply();

    QMediaPlayer *player;
    QTimer retryTimer;
    bool wanted = false;
    int failures = 0;
    int firstPauseMs = firstRetryPauseMs;
    int longestPauseMs = longestRetryPauseMs;
    qint64 playedUs = 0;
    qint64 lastFrameStartUs = -1;
};
