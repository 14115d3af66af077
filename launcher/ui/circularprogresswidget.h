#pragma once

#include <QWidget>

// A 40 × 40 ring with a cyan arc and the percentage in its middle; the action
// button carries one while the engine verifies or downloads.
class CircularProgressWidget final : public QWidget
{
    Q_OBJECT

public:
    explicit CircularProgressWidget(QWidget *parent = nullptr);

    // Repaints only when the value changes: the window forwards every progress report.
    void setProgress(qint64 value);
    qint64 progress() const { return progressValue; }

    // Span of the arc in sixteenths of a degree; negative runs clockwise from 12 o'clock.
    static int arcSpan(qint64 value);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    qint64 progressValue = 0;
};
