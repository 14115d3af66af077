#pragma once

#include <QCoreApplication>

// Every text the window shows sits in the catalogue's "MainWindow" context,
// whichever of the window's classes shows it.
class WindowText final
{
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
};
