#pragma once

#include <QPushButton>

// A button of the window's bars: 90 % opaque under the pointer, 80 % while
// pressed, and fully opaque again once the pointer has left.
class FadingButton : public QPushButton
{
    Q_OBJECT

public:
    explicit FadingButton(QWidget *parent = nullptr);

signals:
    // Any mouse button, where pressed() reports only the left one.
    void mousePressed();

protected:
    bool event(QEvent *event) override;
    void fade(const QEvent *event);
};
