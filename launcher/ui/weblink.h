#pragma once

#include <QString>
#include <QUrl>

// Addresses from the product profile and the news feed reach the desktop's
// handler or the network only when they are web pages: a file, share or
// script address could run or expose something on the player's machine.
bool isWebLink(const QUrl &url);
bool isWebLink(const QString &text);
