#include "downloadspeed.h"

void DownloadSpeed::restart(qint64 nowMs)
{
    samples.clear();
    bytesSinceLastSpeed = 0;
    lastSpeedTime = nowMs;
}

DownloadSpeed::Report DownloadSpeed::add(qint64 nowMs, qint64 newBytes)
{
    const qint64 elapsed = nowMs - lastSpeedTime;
    bytesSinceLastSpeed += qMax<qint64>(newBytes, 0);
    if (elapsed >= sampleIntervalMs) {
        samples.append(bytesSinceLastSpeed * 1000 / elapsed);
        while (samples.size() > keptSamples)
            samples.removeFirst();
        lastSpeedTime = nowMs;
        bytesSinceLastSpeed = 0;
        return Report::Speed;
    }
    if (elapsed >= overallHoldMs)
        return Report::Overall;
    return Report::None;
}

qint64 DownloadSpeed::average() const
{
    if (samples.isEmpty())
        return 0;
    qint64 sum = 0;
    for (const qint64 sample : samples)
        sum += sample;
    return sum / samples.size();
}
