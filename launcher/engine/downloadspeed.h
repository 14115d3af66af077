#pragma once

#include <QList>
#include <QtGlobal>

// The speed rule of the download pipeline: at most one speed sample a second,
// smoothed over the last three, and overall progress held back for 50 ms after
// each sample. Times are milliseconds on any monotonic-enough clock.
class DownloadSpeed final
{
public:
    enum class Report
    {
        None,
        Overall,
        Speed
    };

    // A run starts measuring from `nowMs`; samples of earlier runs are dropped,
    // so an idle pause never reads as a near-zero speed.
    void restart(qint64 nowMs);

    // Counts `newBytes` received at `nowMs` and says what to report.
    Report add(qint64 nowMs, qint64 newBytes);

    // Mean of the kept samples (0 when none).
    qint64 average() const;

private:
    static constexpr int keptSamples = 3;
    static constexpr qint64 sampleIntervalMs = 1000;
    static constexpr qint64 overallHoldMs = 50;

    QList<qint64> samples;
    qint64 bytesSinceLastSpeed = 0;
    qint64 lastSpeedTime = 0;
};
