#pragma once

#include <QFontMetrics>
#include <QObject>

class CircularProgressWidget;
class QLabel;
class QPushButton;

// What the action button shows while the engine works: a progress ring left
// of the button's text, centred with it as one group, and while files download
// a speed line under the text. The line belongs to the window, so it may reach
// below the button.
class ProgressDisplay final : public QObject
{
    Q_OBJECT

public:
    explicit ProgressDisplay(QPushButton *button);

    void hide();
    // The button's style with the ring shown; `lifted` makes room for the speed line.
    QString progressTextStyle(bool lifted) const;
    // Places the ring for the button's current text, at 0 %.
    void positionProgressRing(bool lifted);
    void placeSpeedLabel();
    // A new run starts without the last run's speed.
    void resetSpeed();
    void retranslate();

    void showEmptyRing();
    void updateVerificationProgress(int filesChecked, int totalFiles);
    void updateOverallProgress(qint64 bytesDownloaded, qint64 totalBytes);
    void updateSpeedLabel(qint64 bytesPerSecond);

private:
    QFontMetrics progressFontMetrics() const;

    QPushButton *button;
    CircularProgressWidget *progressRing;
    QLabel *speedLabel;
    bool speedShown = false;
};
