#include "enginefixture.h"
#include "manifestcodec.h"
#include "updater.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

// What patchtool publishes, served by a plain static web server, installs a
// game through the launcher's engine: the layout matches its per-key requests.
class TestPatchtoolServed : public QObject
{
    Q_OBJECT

    EngineFixture fixture;
    QProcess webServer;

    // python3's http.server on an ephemeral port; 0 when it did not come up.
    quint16 startWebServer(const QString &folder)
    {
        webServer.setProgram(QStringLiteral("python3"));
        webServer.setArguments(
            {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", folder});
        webServer.start();
        const QRegularExpression portLine(QStringLiteral("port (\\d+)"));
        QByteArray output;
        while (webServer.waitForReadyRead(20000)) {
            output += webServer.readAllStandardOutput();
            const QRegularExpressionMatch match = portLine.match(QString::fromUtf8(output));
            if (match.hasMatch())
                return quint16(match.captured(1).toUInt());
        }
        return 0;
    }

private slots:
    void init() { QVERIFY(fixture.setUp()); }

    void cleanup()
    {
        webServer.kill();
        webServer.waitForFinished();
        fixture.tearDown();
    }

    void publishedFolderInstalls()
    {
        QByteArray large(2 * 1024 * 1024 + 5, Qt::Uninitialized);
        for (char &c : large)
            c = char(QRandomGenerator::global()->generate());
        const QMap<QString, QByteArray> files{{"/game.exe", large},
                                              {"/bin/data 1.pak", "pak"},
                                              {"/.config/settings.ini", "[a]"},
                                              {"/música/ñ 100%.ogg", "ogg"},
                                              {"/empty.txt", ""}};
        const QString source = fixture.workDir() + QStringLiteral("/source");
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(source + it.key(), it.value()));

        QProcess publish;
        publish.start(QStringLiteral(PATCHTOOL_EXE), {"publish", source, fixture.patchDir()});
        QVERIFY(publish.waitForFinished(60000));
        QVERIFY2(publish.exitCode() == 0, publish.readAllStandardError().constData());
        // The chunk store beside the whole files: an engine that does not know it is unaffected.
        QVERIFY(QFileInfo(fixture.patchDir() + QStringLiteral("/.chunkstore/builds")).isDir());

        const quint16 port = startWebServer(fixture.workDir() + QStringLiteral("/www"));
        QVERIFY(port != 0);
        fixture.settings->updateUrl = QStringLiteral("http://127.0.0.1:%1/patch").arg(port);

        Updater updater;
        SignalLog log(&updater);
        checkNow(fixture, updater);
        QTRY_VERIFY_WITH_TIMEOUT(log.hasClosingSignal(), 30000);
        QCOMPARE(log.named(QStringLiteral("updateAvailable")),
                 QStringList{QStringLiteral("updateAvailable(install)")});

        updater.startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("updateComplete()")) > 0 ||
                                     !log.named(QStringLiteral("downloadError")).isEmpty(),
                                 60000);
        QCOMPARE(log.named(QStringLiteral("downloadError")), QStringList());
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QCOMPARE(readFile(fixture.installDir() + it.key()), it.value());
        QVERIFY(updater.isInstalled());
        QVERIFY(!QFileInfo::exists(fixture.installDir() + QStringLiteral("/.chunkstore")));

        log.events.clear();
        checkNow(fixture, updater);
        QTRY_VERIFY_WITH_TIMEOUT(log.hasClosingSignal(), 30000);
        QCOMPARE(log.named(QStringLiteral("noUpdateAvailable")).size(), 1);
    }
};

ENGINE_TEST_MAIN(TestPatchtoolServed)
#include "tst_patchtool_served.moc"
