#pragma once

#include <QObject>
#include <QVideoSink>

// Counts the frames a video sink is given, on the thread that made the counter.
// Media back ends may hand frames over on a render thread of their own: a
// QSignalSpy there is written while the test reads it, and is still called
// after it is gone when it dies before the window.
class FrameCounter final : public QObject
{
public:
    explicit FrameCounter(QVideoSink *sink)
    {
        connect(sink, &QVideoSink::videoFrameChanged, this, [this] { ++frames; });
    }

    int count() const { return frames; }
    void clear() { frames = 0; }

private:
    int frames = 0;
};
