#include "filekey.h"

#include <QTest>

class TestFileKey : public QObject
{
    Q_OBJECT

private slots:
    void keys_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("manifestKey");
        QTest::addColumn<bool>("archiveEntry");
        QTest::addColumn<QString>("normalized"); // of manifest keys

        QTest::newRow("plain") << "data.pak" << true << true << "/data.pak";
        QTest::newRow("leading slash") << "/bin/data 1.pak" << true << false << "/bin/data 1.pak";
        QTest::newRow("dot-file") << "/.initcomplete" << true << false << "/.initcomplete";
        QTest::newRow("dots inside names") << "a..b/..c/d.." << true << true << "/a..b/..c/d..";
        QTest::newRow("current folder") << "./a/./b" << true << true << "/a/b";
        QTest::newRow("empty") << "" << true << false << "";
        QTest::newRow("root only") << "/" << true << false << "/";
        QTest::newRow("parent") << "../evil" << false << false << QString();
        QTest::newRow("parent after slash") << "/../evil" << false << false << QString();
        QTest::newRow("parent inside") << "/bin/../../evil" << false << false << QString();
        QTest::newRow("parent at end") << "bin/.." << false << false << QString();
        QTest::newRow("backslash") << "/bin\\data.pak" << false << false << QString();
        QTest::newRow("backslash parent") << "..\\evil" << false << false << QString();
        QTest::newRow("drive") << "C:/Windows/evil.dll" << false << false << QString();
        QTest::newRow("drive after slash") << "/C:/evil" << false << false << QString();
        QTest::newRow("stream") << "/data.pak:hidden" << false << false << QString();
        QTest::newRow("unc") << "//server/share/evil" << false << false << QString();
        QTest::newRow("absolute twice") << "///etc/passwd" << false << false << QString();
        QTest::newRow("nul") << QString("/a") + QChar(0) + "b" << false << false << QString();
        QTest::newRow("newline") << "/a\nb" << false << false << QString();
        QTest::newRow("delete char") << QString("/a") + QChar(0x7f) << false << false << QString();
        QTest::newRow("separators doubled") << "sub//b.bin" << true << true << "/sub/b.bin";
        QTest::newRow("trailing separator") << "/bin/" << true << false << "/bin";
        QTest::newRow("only current folders") << "/./." << true << false << "/";
        QTest::newRow("unicode") << "/música/ñ.ogg" << true << false << "/música/ñ.ogg";
    }

    void keys()
    {
        QFETCH(QString, key);
        QTEST(isSafeFileKey(key), "manifestKey");
        QTEST(isContainedRelativePath(key), "archiveEntry");
        if (isSafeFileKey(key))
            QTEST(normalizedFileKey(key), "normalized");
        // The one-pass test agrees with normalising.
        QCOMPARE(isNormalizedFileKey(key),
                 isSafeFileKey(key) && key.size() > 1 && normalizedFileKey(key) == key);
    }
};

QTEST_GUILESS_MAIN(TestFileKey)
#include "tst_filekey.moc"
