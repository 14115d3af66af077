#include "backgroundclip.h"

#include <QDebug>
#include <QMediaPlayer>
#include <QUrl>
#include <QVideoFrame>

#include <algorithm>

namespace {
// Frames without timestamps count as one frame of a 25 fps clip.
constexpr qint64 untimedFrameUs = 40'000;
} // namespace

BackgroundClip::BackgroundClip(QMediaPlayer *player, QObject *parent)
    : QObject(parent), player(player)
{
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &BackgroundClip::retry);
    // Queued: a back end that fails inside setSource must not reload the
    // source from within that call.
    connect(player, &QMediaPlayer::errorOccurred, this, &BackgroundClip::onError,
            Qt::QueuedConnection);
    connect(player, &QMediaPlayer::mediaStatusChanged, this,
            [this](QMediaPlayer::MediaStatus status) { onMediaStatusChanged(status); });
}

void BackgroundClip::setWanted(bool play)
{
    wanted = play;
    apply();
}

void BackgroundClip::noteFrame(const QVideoFrame &frame)
{
    const qint64 start = frame.startTime();
    const qint64 end = frame.endTime();
    if (start >= 0 && end > start) {
        // The back end hands the first frame over twice.
        if (start != lastFrameStartUs)
            playedUs += end - start;
        lastFrameStartUs = start;
    } else {
        playedUs += untimedFrameUs;
    }
    if (playedUs >= steadyPlayUs)
        failures = 0;
}

int BackgroundClip::nextRetryPauseMs() const
{
    const qint64 pause = qint64(firstPauseMs) << std::min(failures, 20);
    return int(std::min<qint64>(pause, longestPauseMs));
}

void BackgroundClip::setRetryPauses(int firstMs, int longestMs)
{
    firstPauseMs = std::max(firstMs, 1);
    longestPauseMs = std::max(longestMs, firstPauseMs);
}

void BackgroundClip::onError()
{
    // One failure can raise more than one error.
    if (player->source().isEmpty() || retryTimer.isActive())
        return;
    const int pause = nextRetryPauseMs();
    ++failures;
    playedUs = 0;
    lastFrameStartUs = -1;
    qWarning().noquote() << "Background clip stopped:" << player->errorString()
                         << QStringLiteral("(trying again in %1 ms)").arg(pause);
    player->stop();
    retryTimer.start(pause);
    emit failed();
}

void BackgroundClip::onMediaStatusChanged(int status)
{
    // Some back ends stop at the end although the clip loops for ever.
    if (status == QMediaPlayer::EndOfMedia && player->loops() == QMediaPlayer::Infinite) {
        player->setPosition(0);
        apply();
    }
}

void BackgroundClip::retry()
{
    // A fresh load: the back end does not recover a pipeline that failed.
    const QUrl clip = player->source();
    player->setSource(QUrl());
    player->setSource(clip);
    apply();
}

void BackgroundClip::apply()
{
    if (retryTimer.isActive())
        return;
    const bool playing = player->playbackState() == QMediaPlayer::PlayingState;
    if (wanted && !playing)
        player->play();
    else if (!wanted && playing)
        player->pause();
}
