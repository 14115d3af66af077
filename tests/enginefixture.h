#pragma once

#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class Updater;

// One engine test's world: a private HOME and TMPDIR (the staging folder lives
// below it), a game folder, a real loopback server serving a patch folder, and
// the one Settings object pointed at that server.
class EngineFixture final
{
public:
    EngineFixture();
    ~EngineFixture();

    // Fresh folders and server state for one test function.
    bool setUp();
    void tearDown();

    QString installDir() const;
    QString patchDir() const; // served at settings->updateUrl
    QString tempDir() const;
    QString workDir() const;

    // Manifest entry for these bytes: { checksum, size }.
    static QJsonObject entryFor(const QByteArray &content);
    static QString checksumOf(const QByteArray &content);

    // Writes each key's file below the patch folder and a manifest listing them
    // (plus `extraEntries`, which may override or add entries).
    bool publish(const QMap<QString, QByteArray> &files, const QJsonObject &extraEntries = {});
    bool publishManifestBody(const QByteArray &body);
    bool install(const QString &key, const QByteArray &content);
    bool stage(const QString &key, const QByteArray &content);
    QString manifestPath() const; // request path of the manifest on the server

    TestEnvironment environment;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<TestHttpServer> server;

private:
    QByteArray savedTempDir; // null when TMPDIR was not set
    std::unique_ptr<QTemporaryDir> work;
};

// Records every signal of an Updater, in emission order, as "name(arg,arg)".
class SignalLog final : public QObject
{
    Q_OBJECT

public:
    explicit SignalLog(Updater *updater);

    QStringList events;
    int count(const QString &event) const { return static_cast<int>(events.count(event)); }
    // Events whose name (text before "(") is `name`.
    QStringList named(const QString &name) const;
    bool hasClosingSignal() const; // updateAvailable or noUpdateAvailable

private:
    template <typename... Args>
    void track(Updater *updater, void (Updater::*signal)(Args...), const char *name);
};

// A check that is not held back by the once-a-second rule.
void checkNow(EngineFixture &fixture, Updater &updater);

// The engine starts its own executable as the file mover; in the suites that
// is the test itself, which hands such a start over to the real launcher.
int runAsFileMover(int argc, char **argv); // -1 when not started as the mover

#define ENGINE_TEST_MAIN_APP(Application, TestClass)                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        const int moverExit = runAsFileMover(argc, argv);                                          \
        if (moverExit >= 0)                                                                        \
            return moverExit;                                                                      \
        Application app(argc, argv);                                                               \
        TestClass test;                                                                            \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
#define ENGINE_TEST_MAIN(TestClass) ENGINE_TEST_MAIN_APP(QCoreApplication, TestClass)
