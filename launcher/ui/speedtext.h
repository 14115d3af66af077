#pragma once

#include <QString>

// The download speed as the line under the action button shows it.
QString speedText(qint64 bytesPerSecond);
