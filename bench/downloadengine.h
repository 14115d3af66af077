#pragma once

#include <QString>

struct EngineInstall
{
    // Seconds from the start of each step to the start of the next.
    double check = 0;    // manifest request and decoding
    double verify = 0;   // verification of the (empty) game folder
    double download = 0; // first request to the file mover's start
    double install = 0;  // file mover
    double total = 0;
    double guiMaxStallMs = 0; // longest the GUI thread's timer was held up past its due time
    int files = 0;
    qint64 bytes = 0;
    QString error;
};

// Installs the game published at `updateUrl` into `gameDir` through the
// launcher's update engine, as the player's first "Install" does. The file
// mover's start time is read from `moverStampPath` (see downloadbench.cpp).
EngineInstall runEngineInstall(const QString &updateUrl, const QString &gameDir,
                               const QString &moverStampPath);

// Monotonic clock shared by every process of the machine, in seconds.
double monotonicSeconds();
