#pragma once

#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QSize>

// The window's background for one video frame: the frame stretched to `size`,
// darkened along the top and left edges, and behind the bottom bar (`frostedRect`,
// skipped when null) a blurred, dimmed copy of the same part of the frame.
QPixmap composeWindowBackground(const QImage &frame, const QSize &size, const QRect &frostedRect);
