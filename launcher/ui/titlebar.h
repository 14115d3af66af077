#pragma once

#include <QPoint>
#include <QWidget>

// The strip along the window's top. Dragging it with the left button moves the
// frameless window, except over the minimise and close buttons it holds.
class TitleBar final : public QWidget
{
    Q_OBJECT

public:
    explicit TitleBar(QWidget *parent = nullptr);

    bool isOverWindowButtons() const;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    // Where in the window the pointer grabbed the bar.
    QPoint dragOffset;
};
