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

        QTest::newRow("plain") << "data.pak" << true << true;
        QTest::newRow("leading slash") << "/bin/data 1.pak" << true << false;
        QTest::newRow("dot-file") << "/.initcomplete" << true << false;
        QTest::newRow("dots inside names") << "a..b/..c/d.." << true << true;
        QTest::newRow("current folder") << "./a/./b" << true << true;
        QTest::newRow("empty") << "" << true << false;
        QTest::newRow("root only") << "/" << true << false;
        QTest::newRow("parent") << "../evil" << false << false;
        QTest::newRow("parent after slash") << "/../evil" << false << false;
        QTest::newRow("parent inside") << "/bin/../../evil" << false << false;
        QTest::newRow("parent at end") << "bin/.." << false << false;
        QTest::newRow("backslash") << "/bin\\data.pak" << false << false;
        QTest::newRow("backslash parent") << "..\\evil" << false << false;
        QTest::newRow("drive") << "C:/Windows/evil.dll" << false << false;
        QTest::newRow("drive after slash") << "/C:/evil" << false << false;
        QTest::newRow("stream") << "/data.pak:hidden" << false << false;
        QTest::newRow("unc") << "//server/share/evil" << false << false;
        QTest::newRow("absolute twice") << "///etc/passwd" << false << false;
        QTest::newRow("nul") << QString("/a") + QChar(0) + "b" << false << false;
        QTest::newRow("newline") << "/a\nb" << false << false;
        QTest::newRow("delete char") << QString("/a") + QChar(0x7f) << false << false;
        QTest::newRow("unicode") << "/música/ñ.ogg" << true << false;
    }

    void keys()
    {
        QFETCH(QString, key);
        QTEST(isSafeFileKey(key), "manifestKey");
        QTEST(isContainedRelativePath(key), "archiveEntry");
    }
};

QTEST_GUILESS_MAIN(TestFileKey)
#include "tst_filekey.moc"
