#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// When the next update check runs: at most one a second, one asked for while
// the engine is busy runs once it is idle, and after a failed install or an
// uninstall the next start of a run checks first.
class CheckSchedule final : public QObject
{
    Q_OBJECT

public:
    explicit CheckSchedule(QObject *parent = nullptr);

    // Asked for while busy: due() once the engine is idle again.
    void wantWhenIdle() { wanted = true; }
    // At most one check a second: true when the last one (ISO date text) was
    // within the second; due() once it is over.
    bool holdsBack(const QString &lastCheck);
    // The engine became idle: a wanted check runs now, unless other work starts first.
    void engineIdle();
    // A check is being sent: nothing is owed any more.
    void checkSent();
    bool isWanted() const { return wanted; }

    // The fetch list no longer describes the folder: the next run checks first.
    void markStale() { stale = true; }
    bool isStale() const { return stale; }

signals:
    void due();

private:
    QTimer timer;
    bool wanted = false;
    bool stale = false;
};
