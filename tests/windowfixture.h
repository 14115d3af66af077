#pragma once

#include "actionbutton.h"
#include "mainwindow.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>

#include <memory>

class QLabel;

using FileMap = QMap<QString, QByteArray>;

// The real window over the real engine: a private HOME and TMPDIR, a game
// folder, a loopback server serving the patch folder, and the window's
// settings pointed at both. The start-up sequence is left to the test.
class WindowFixture final
{
public:
    WindowFixture();

    bool setUp();
    void tearDown();

    // A window whose background clip is detached (frames come only from tests).
    MainWindow &makeWindow();
    // What the start-up sequence ends with: the first update check.
    void startFirstCheck();

    QString installDir() const;
    QString patchDir() const;
    QString gameName() const; // the profile's executable name on this system

    // Writes the files (keys relative to the game folder) below the patch folder and a
    // manifest listing them.
    bool publish(const FileMap &files);
    // The sample game under the profile's executable name, told what to do, with the
    // installation marker.
    FileMap sampleGame(const QJsonObject &config) const;
    // Puts files straight into the game folder, programs with execute bits.
    bool install(const FileMap &files);
    // Ends sample games left running from the game folder.
    void stopGames();

    ActionButton *button() const;
    QLabel *speedLabel() const;
    QWidget *ring() const;
    // Texts of the error boxes the window shows.
    QStringList errorTexts() const;
    int manifestRequests() const;

    TestEnvironment environment;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<MainWindow> window;

private:
    std::unique_ptr<QTemporaryDir> work;
    QString game;
};
