#include "backgroundcomposer.h"
#include "mainwindowform.h"

#include <QLabel>
#include <QMainWindow>
#include <QTest>

namespace {

QImage uniformFrame(const QColor &color)
{
    QImage frame(1366, 768, QImage::Format_RGB32);
    frame.fill(color);
    return frame;
}

// Black on the left half, white on the right: shows where blur softens an edge.
QImage splitFrame()
{
    QImage frame = uniformFrame(Qt::white);
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < 683; ++x)
            frame.setPixel(x, y, qRgb(0, 0, 0));
    return frame;
}

const QRect bottomBar(0, 678, 1360, 90);

} // namespace

class TestUiForm : public QObject
{
    Q_OBJECT

private slots:
    void widgetTree_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry"); // in the parent's coordinates

        QTest::newRow("centralwidget") << "centralwidget"
                                       << "QWidget"
                                       << "MainWindow" << QRect(0, 0, 1360, 768);
        QTest::newRow("bottomBlurPanel") << "bottomBlurPanel"
                                         << "QWidget"
                                         << "centralwidget" << QRect(0, 678, 1360, 90);
        QTest::newRow("bottomPanel") << "bottomPanel"
                                     << "QWidget"
                                     << "centralwidget" << QRect(0, 678, 1360, 90);
        QTest::newRow("companyButton") << "companyButton"
                                       << "FadingButton"
                                       << "bottomPanel" << QRect(1270, 15, 60, 60);
        QTest::newRow("manageButton") << "manageButton"
                                      << "ActionButton"
                                      << "bottomPanel" << QRect(30, 7, 390, 76);
        QTest::newRow("settingsButton") << "settingsButton"
                                        << "FadingButton"
                                        << "bottomPanel" << QRect(420, 9, 75, 75);
        // Inside the layouts only the horizontal placement is fixed: the heights
        // follow the title label's font.
        QTest::newRow("titleBar") << "titleBar"
                                  << "TitleBar"
                                  << "centralwidget" << QRect(0, -1, 1360, -1);
        // Right margin 20, the two 20 px buttons 10 apart.
        QTest::newRow("minimizeButton") << "minimizeButton"
                                        << "FadingButton"
                                        << "titleBar" << QRect(1290, -1, 20, 20);
        QTest::newRow("closeButton") << "closeButton"
                                     << "FadingButton"
                                     << "titleBar" << QRect(1320, -1, 20, 20);
        QTest::newRow("logoWidget") << "logoWidget"
                                    << "QWidget"
                                    << "centralwidget" << QRect(0, -1, 1360, 138);
        QTest::newRow("logoLabel centred") << "logoLabel"
                                           << "QLabel"
                                           << "logoWidget" << QRect(529, 0, 302, 138);
        QTest::newRow("backgroundWidget") << "backgroundWidget"
                                          << "QWidget"
                                          << "centralwidget" << QRect(0, -1, 1360, -1);
        QTest::newRow("categoriesPanel") << "categoriesPanel"
                                         << "LinkColumn"
                                         << "backgroundWidget" << QRect(0, 0, 280, -1);
        QTest::newRow("contentArea") << "contentArea"
                                     << "QWidget"
                                     << "backgroundWidget" << QRect(280, 0, 1080, -1);
    }

    void widgetTree()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);

        QMainWindow window;
        MainWindowForm form;
        form.setupUi(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.size(), QSize(1360, 768));
        auto *widget = window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        QCOMPARE(widget->parentWidget()->objectName(), parentName);
        const QRect actual = widget->geometry();
        QCOMPARE(actual.x(), geometry.x());
        QCOMPARE(actual.width(), geometry.width());
        if (geometry.y() >= 0)
            QCOMPARE(actual.y(), geometry.y());
        if (geometry.height() >= 0)
            QCOMPARE(actual.height(), geometry.height());
    }

    void verticalStacking()
    {
        QMainWindow window;
        MainWindowForm form;
        form.setupUi(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QRect title = form.titleBar->geometry();
        const QRect logo = form.logoWidget->geometry();
        const QRect background = form.backgroundWidget->geometry();
        QCOMPARE(title.top(), 0);
        QVERIFY(title.height() >= 30); // top margin 10 over the 20 px buttons
        QCOMPARE(logo.top(), title.bottom() + 1);
        QCOMPARE(background.top(), logo.bottom() + 1);
        QCOMPARE(background.bottom(), 767);
        QCOMPARE(form.categoriesPanel->height(), background.height());
        QCOMPARE(form.contentArea->height(), background.height());
        // The window buttons sit below the top margin, centred in what is left.
        const QRect close = form.closeButton->geometry();
        QCOMPARE(form.minimizeButton->y(), close.y());
        QVERIFY(close.top() >= 10);
        QVERIFY(qAbs(close.center().y() - (10 + title.height()) / 2) <= 1);
    }

    void formTextsLeaveTheTitle()
    {
        QMainWindow window;
        window.setObjectName(QStringLiteral("kept"));
        MainWindowForm form;
        form.setupUi(&window);
        QCOMPARE(window.objectName(), QStringLiteral("kept"));

        form.titleLabel->setText(QStringLiteral("stale"));
        window.setWindowTitle(QStringLiteral("Kept Title"));
        form.retranslateUi(&window);
        QCOMPARE(form.titleLabel->text(), QString());
        QCOMPARE(form.logoLabel->text(), QString());
        QCOMPARE(window.windowTitle(), QStringLiteral("Kept Title"));
    }

    void background_data()
    {
        QTest::addColumn<QImage>("frame");
        QTest::addColumn<QRect>("frosted");
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high"); // red channel bounds

        const QImage white = uniformFrame(Qt::white);
        QTest::newRow("middle untouched") << white << bottomBar << QPoint(700, 400) << 255 << 255;
        QTest::newRow("top edge shaded") << white << bottomBar << QPoint(700, 0) << 65 << 85;
        QTest::newRow("below the top shade")
            << white << bottomBar << QPoint(700, 120) << 255 << 255;
        QTest::newRow("left edge shaded") << white << bottomBar << QPoint(0, 400) << 65 << 85;
        QTest::newRow("right of the left shade")
            << white << bottomBar << QPoint(200, 400) << 255 << 255;
        QTest::newRow("bottom bar dimmed") << white << bottomBar << QPoint(700, 720) << 200 << 210;
        QTest::newRow("no bar, no dimming") << white << QRect() << QPoint(700, 720) << 255 << 255;

        const QImage split = splitFrame();
        QTest::newRow("edge stays sharp above the bar")
            << split << bottomBar << QPoint(676, 400) << 0 << 0;
        QTest::newRow("edge blurred in the bar, dark side")
            << split << bottomBar << QPoint(681, 720) << 10 << 150;
        QTest::newRow("edge blurred in the bar, light side")
            << split << bottomBar << QPoint(685, 720) << 50 << 199;
        QTest::newRow("far from the edge in the bar")
            << split << bottomBar << QPoint(800, 720) << 200 << 210;
    }

    void background()
    {
        QFETCH(QImage, frame);
        QFETCH(QRect, frosted);
        QFETCH(QPoint, point);
        QFETCH(int, low);
        QFETCH(int, high);

        const QImage composed = composeWindowBackground(frame, QSize(1360, 768), frosted).toImage();
        QCOMPARE(composed.size(), QSize(1360, 768));
        const int red = qRed(composed.pixel(point));
        QVERIFY2(red >= low && red <= high, qPrintable(QString::number(red)));
    }
};

QTEST_MAIN(TestUiForm)
#include "tst_ui_form.moc"
