#include "announcementwidget.h"
#include "circularprogresswidget.h"
#include "testenvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEnterEvent>
#include <QFileInfo>
#include <QGraphicsEffect>
#include <QLabel>
#include <QStandardPaths>
#include <QTest>

namespace {

bool isRingColor(QRgb pixel)
{
    return qRed(pixel) < 150 && qGreen(pixel) > 170 && qBlue(pixel) > 200;
}

// Counts the paint events a widget receives.
class PaintCounter final : public QObject
{
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// Delivers pending repaint requests now, so a test can count them without waiting.
void flushRepaints()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
}

int colourDistance(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
}

} // namespace

class TestUiWidgets : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;

private slots:
    void arcSpan_data()
    {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<int>("span");
        QTest::newRow("one rounds 57.6 up by half and truncates") << qint64(1) << -58;
        QTest::newRow("quarter") << qint64(25) << -1440;
        QTest::newRow("third rounds to nearest") << qint64(33) << -1901;
        QTest::newRow("full circle") << qint64(100) << -5760;
    }

    void arcSpan()
    {
        QFETCH(qint64, value);
        QFETCH(int, span);
        QCOMPARE(CircularProgressWidget::arcSpan(value), span);
    }

    void ringPainting_data()
    {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QList<bool>>("arcAt"); // 12, 1:30, 4:30, 7:30, 10:30 o'clock
        QTest::addColumn<bool>("number");
        QTest::newRow("0: track only")
            << qint64(0) << QList<bool>{false, false, false, false, false} << false;
        QTest::newRow("1: a dot at twelve")
            << qint64(1) << QList<bool>{true, false, false, false, false} << true;
        QTest::newRow("25: twelve to three")
            << qint64(25) << QList<bool>{true, true, false, false, false} << true;
        QTest::newRow("60: past the bottom")
            << qint64(60) << QList<bool>{true, true, true, false, false} << true;
        QTest::newRow("100: closed")
            << qint64(100) << QList<bool>{true, true, true, true, true} << true;
    }

    void ringPainting()
    {
        QFETCH(qint64, value);
        QFETCH(QList<bool>, arcAt);
        QFETCH(bool, number);

        CircularProgressWidget ring;
        QCOMPARE(ring.size(), QSize(40, 40));
        ring.setProgress(value);
        const QImage image = ring.grab().toImage();

        // Centre (20, 20), radius 15: points on the arc, clockwise from twelve.
        const QList<QPoint> points{{20, 5}, {30, 9}, {30, 30}, {9, 30}, {9, 9}};
        for (int i = 0; i < points.size(); ++i)
            QVERIFY2(isRingColor(image.pixel(points[i])) == arcAt[i],
                     qPrintable(QStringLiteral("point %1").arg(i)));

        int numberPixels = 0;
        for (int y = 12; y < 28; ++y)
            for (int x = 10; x < 30; ++x)
                numberPixels += isRingColor(image.pixel(x, y)) ? 1 : 0;
        QCOMPARE(numberPixels > 0, number);
    }

    void ringRepaintsOnlyOnChange()
    {
        CircularProgressWidget ring;
        ring.show();
        QVERIFY(QTest::qWaitForWindowExposed(&ring));
        flushRepaints();
        PaintCounter counter(&ring);

        ring.setProgress(5);
        flushRepaints();
        QCOMPARE(counter.paints, 1);
        ring.setProgress(5);
        flushRepaints();
        QCOMPARE(counter.paints, 1);
        ring.setProgress(6);
        flushRepaints();
        QCOMPARE(counter.paints, 2);
        QCOMPARE(ring.progress(), qint64(6));
    }

    void cardLayout_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("subtitle");
        QTest::newRow("short texts") << "2024-05-01"
                                     << "Patch 1.2"
                                     << "New dungeon";
        QTest::newRow("empty title and subtitle") << "May 1"
                                                  << ""
                                                  << "";
        QTest::newRow("long title wraps")
            << "Today"
            << "The autumn festival returns to the valley with new quests, new rewards and a "
               "travelling merchant who sells far more than lanterns"
            << "Read all about it";
        QTest::newRow("empty date") << ""
                                    << "Only a title"
                                    << "";
    }

    void cardLayout()
    {
        QFETCH(QString, date);
        QFETCH(QString, title);
        QFETCH(QString, subtitle);

        AnnouncementWidget card;
        QCOMPARE(card.size(), QSize(356, 200));
        card.dateLabel->setText(date);
        card.titleLabel->setText(title);
        card.subtitleLabel->setText(subtitle);
        card.updateLayout();

        const int dateAdvance = card.dateLabel->fontMetrics().horizontalAdvance(date);
        QCOMPARE(card.dateLabel->geometry(), QRect(10, 7, dateAdvance + 26, 20));

        const QRect t = card.titleLabel->geometry();
        const QRect s = card.subtitleLabel->geometry();
        QCOMPARE(t.x(), 20);
        QCOMPARE(s.x(), 20);
        QCOMPARE(t.width(), 316);
        QCOMPARE(s.width(), 316);
        QCOMPARE(s.top(), t.top() + t.height() + 10);
        // The block from the title's top to the subtitle's bottom is centred on y 120.
        QVERIFY2(qAbs(t.top() + (t.height() + 10 + s.height()) / 2 - 120) <= 1,
                 qPrintable(QStringLiteral("title %1+%2, subtitle %3")
                                .arg(t.top())
                                .arg(t.height())
                                .arg(s.height())));

        const int titleLine = card.titleLabel->fontMetrics().height() + 5;
        if (title.isEmpty())
            QCOMPARE(t.height(), 25);
        if (subtitle.isEmpty())
            QCOMPARE(s.height(), 20);
        if (title.size() > 100)
            QVERIFY(t.height() >= 2 * card.titleLabel->fontMetrics().height());
        else if (!title.isEmpty())
            QCOMPARE(t.height(), qMax(25, titleLine));
    }

    void cardCacheNaming_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("digest");
        QTest::newRow("plain") << "https://news.example/pictures/one.png"
                               << "7da241cc62f5c3de7b04c946377ce214";
    }

    void cardCacheNaming()
    {
        QFETCH(QString, url);
        QFETCH(QString, digest);
        const QString directory = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        QDir(directory).removeRecursively();

        const QString path = AnnouncementWidget::cachePathForUrl(QUrl(url));
        QCOMPARE(path,
                 directory + QStringLiteral("/announcement_") + digest + QStringLiteral(".png"));
        QVERIFY(QFileInfo(directory).isDir());
        // Two cards asking for the same picture share one file.
        QCOMPARE(AnnouncementWidget::cachePathForUrl(QUrl(url)), path);
        QVERIFY(AnnouncementWidget::cachePathForUrl(QUrl(url + QStringLiteral("?v=2"))) != path);
    }

    void cardHover()
    {
        AnnouncementWidget card;
        const QColor normal(0xA6, 0xAA, 0xB2);
        const QColor lit(0xFE, 0xFE, 0xC6);
        // Inner half of the border stroke on the top edge, away from the badge.
        const QPoint edge(250, 0);

        auto borderAt = [&] { return card.grab().toImage().pixel(edge); };
        QVERIFY(card.graphicsEffect());
        QVERIFY(!card.graphicsEffect()->isEnabled());
        const QRgb before = borderAt();
        QVERIFY(colourDistance(before, normal.rgb()) < colourDistance(before, lit.rgb()));

        QEnterEvent enter(QPointF(50, 50), QPointF(50, 50), card.mapToGlobal(QPointF(50, 50)));
        QCoreApplication::sendEvent(&card, &enter);
        QVERIFY(card.graphicsEffect()->isEnabled());
        const QRgb hovered = borderAt();
        QVERIFY(colourDistance(hovered, lit.rgb()) < colourDistance(hovered, normal.rgb()));

        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&card, &leave);
        QVERIFY(!card.graphicsEffect()->isEnabled());
        QCOMPARE(borderAt(), before);
    }
};

QTEST_MAIN(TestUiWidgets)
#include "tst_ui_widgets.moc"
