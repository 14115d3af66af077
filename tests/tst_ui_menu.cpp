// The window's settings menu, language, link rows, news cards and the
// install-location flows, driven through the real window offscreen.
#include "announcementwidget.h"
#include "enginefixture.h"
#include "installlocationdialog.h"
#include "installlocationflow.h"
#include "mainwindow.h"
#include "mainwindowform.h"
#include "messagebox.h"
#include "missingfile.h"
#include "newspanel.h"
#include "platform/platform.h"
#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QMenu>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

// Receives what the window hands to the desktop's URL handler.
class UrlCatcher final : public QObject
{
    Q_OBJECT

public:
    explicit UrlCatcher(const QStringList &schemes) : schemes(schemes)
    {
        for (const QString &scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlCatcher() override
    {
        for (const QString &scheme : std::as_const(schemes))
            QDesktopServices::unsetUrlHandler(scheme);
    }
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }

private:
    QStringList schemes;
};

void release(QWidget *target, Qt::MouseButton button)
{
    QMouseEvent event(QEvent::MouseButtonRelease, QPointF(5, 5),
                      QPointF(target->mapToGlobal(QPoint(5, 5))), button, Qt::NoButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

// Entry texts of a menu; "-" for a separator.
QStringList entries(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

QAction *entry(const QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

QList<QMessageBox::Icon> shownIcons()
{
    QList<QMessageBox::Icon> icons;
    for (const MessageBox::Shown &box : MessageBox::shownBoxes())
        icons << box.icon;
    return icons;
}

QStringList shownTexts()
{
    QStringList texts;
    for (const MessageBox::Shown &box : MessageBox::shownBoxes())
        texts << box.text;
    return texts;
}

} // namespace

class TestUiMenu : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir serverRoot;
    QTemporaryDir games;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<MainWindow> window;

    void makeWindow(bool firstRun = false)
    {
        window = std::make_unique<MainWindow>();
        Settings *settings = Settings::instance;
        // A development build answers its launcher check at once, so the start-up runs in step.
        settings->version = QStringLiteral("dev");
        settings->updateUrl = server->baseUrl() + QStringLiteral("/patch");
        settings->newsUrl = server->baseUrl() + QStringLiteral("/news.json");
        if (!firstRun)
            settings->setHasSelectedInstallPath(true);
        auto *player = window->findChild<QMediaPlayer *>();
        player->setVideoOutput(static_cast<QObject *>(nullptr));
        player->setSource(QUrl());
    }

    ActionButton *manageButton() const { return window->findChild<ActionButton *>(); }

    QMenu *openMenu() const
    {
        QMetaObject::invokeMethod(window.get(), "showSettingsMenu");
        const auto menus = window->findChildren<QMenu *>(QStringLiteral("settingsMenu"));
        return menus.isEmpty() ? nullptr : menus.last();
    }

    QStringList linkTexts() const
    {
        QStringList texts;
        QLayout *layout = window->findChild<LinkColumn *>()->layout();
        for (int i = 0; i < layout->count(); ++i) {
            QWidget *widget = layout->itemAt(i)->widget();
            if (!widget)
                texts << QStringLiteral("stretch");
            else if (widget->property("class").toString() == QLatin1String("CategoryButton"))
                texts << widget->findChildren<QLabel *>().last()->text();
            else
                texts << QStringLiteral("-");
        }
        return texts;
    }

    QWidget *linkRow(const QString &text) const
    {
        QLayout *layout = window->findChild<LinkColumn *>()->layout();
        for (int i = 0; i < layout->count(); ++i)
            if (QWidget *widget = layout->itemAt(i)->widget())
                for (QLabel *label : widget->findChildren<QLabel *>())
                    if (label->text() == text)
                        return widget;
        return nullptr;
    }

    // Acts on the location dialog once its modal loop runs; a dialog the action
    // left open is closed, so a failing check cannot hang the suite.
    void whenDialogOpens(std::function<void(InstallLocationDialog *)> act)
    {
        QTimer::singleShot(0, this, [act] {
            auto *dialog = qobject_cast<InstallLocationDialog *>(QApplication::activeModalWidget());
            QVERIFY2(dialog, "no location dialog");
            act(dialog);
            if (dialog->isVisible()) {
                dialog->reject();
                QFAIL("the dialog was left open");
            }
        });
    }

    // Sets the field as Browse would, then presses Confirm.
    static void confirm(InstallLocationDialog *dialog, const QString &path)
    {
        dialog->setChosenPath(path);
        QTest::mouseClick(dialog->confirmButton, Qt::LeftButton);
    }

    // Asks the local server for the news and waits until its answer was handled
    // (the constructor's request to the profile's own address may end first).
    void fetchNews()
    {
        auto *news = window->findChild<NewsPanel *>();
        auto *manager = news->findChild<QNetworkAccessManager *>();
        auto answered = std::make_shared<bool>(false);
        const QString host = server->url(QStringLiteral("/")).host();
        connect(manager, &QNetworkAccessManager::finished, this,
                [answered, host](QNetworkReply *reply) {
                    *answered = *answered || reply->url().host() == host;
                });
        news->requestNews();
        QTRY_VERIFY_WITH_TIMEOUT(*answered, 60000);
    }

    // The button, and with it the guarded menu entries, waits for a first check.
    void answerFirstCheck()
    {
        window->onLauncherVersionCheckComplete(true);
        QTRY_VERIFY_WITH_TIMEOUT(manageButton()->isEnabled(), 30000);
        Settings::instance->lastUpdateCheck.clear(); // not held back by the once-a-second rule
        MessageBox::clearRecord();
    }

    int locationDialogs() const { return window->findChildren<InstallLocationDialog *>().size(); }

private slots:
    void initTestCase()
    {
        MessageBox::setTestMode(true);
        QVERIFY(publishMissingFile(serverRoot.path()));
        server = std::make_unique<TestHttpServer>(serverRoot.path());
        QVERIFY(server->start());
    }

    void init()
    {
        MessageBox::clearRecord();
        server->resetCounters();
        server->clearFaults();
    }

    void cleanup()
    {
        window.reset();
        QSettings store;
        store.clear();
        store.sync();
    }

    void menuEntries_data()
    {
        QTest::addColumn<bool>("folderExists");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no install folder")
            << false << QStringList{"Language", "Enable Animations", "-", "Modify Install"};
        QTest::newRow("install folder")
            << true
            << QStringList{"Language", "Show in Explorer", "Check for Updates", "Enable Animations",
                           "-",        "Modify Install",   "Uninstall"};
    }

    void menuEntries()
    {
        QFETCH(bool, folderExists);
        QFETCH(QStringList, expected);
        makeWindow();
        const QString folder = games.filePath(QStringLiteral("menu"));
        QVERIFY(QDir(folder).removeRecursively());
        if (folderExists)
            QVERIFY(QDir().mkpath(folder));
        Settings::instance->setInstallPath(folder);

        QMenu *menu = openMenu();
        QVERIFY(menu);
        QCOMPARE(entries(menu), expected);
        QMenu *languages = menu->actions().first()->menu();
        QCOMPARE(entries(languages),
                 (QStringList{"English", QStringLiteral("Português (Brasil)")}));
        QVERIFY(languages->actions().first()->isChecked());
        // The language names are drawn light on the menu's dark background.
        languages->adjustSize();
        const QImage shown = languages->grab().toImage();
        int brightest = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                brightest = qMax(brightest, qGray(shown.pixel(x, y)));
        QVERIFY2(brightest > 200, qPrintable(QString::number(brightest)));

        // The animations entry flips the stored preference and names the next step.
        entry(menu, QStringLiteral("Enable Animations"))->trigger();
        QVERIFY(Settings::animationsEnabled());
        QVERIFY(entry(menu, QStringLiteral("Disable Animations")));

        if (folderExists) {
            UrlCatcher catcher({QStringLiteral("file")});
            entry(menu, QStringLiteral("Show in Explorer"))->trigger();
            QCOMPARE(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(folder)});
        }
        // Rebuilt on every opening, and gone once closed.
        menu->hide();
        QTRY_VERIFY(!window->findChild<QMenu *>(QStringLiteral("settingsMenu")));
        QCOMPARE(entries(openMenu()).at(folderExists ? 3 : 1),
                 QStringLiteral("Disable Animations"));
    }

    void guardedEntries_data()
    {
        QTest::addColumn<ActionButton::State>("state");
        QTest::addColumn<bool>("acts");
        QTest::newRow("play") << ActionButton::State::Play << true;
        QTest::newRow("checking") << ActionButton::State::Checking << false;
        QTest::newRow("updating") << ActionButton::State::Updating << false;
        QTest::newRow("installing") << ActionButton::State::Installing << false;
    }

    void guardedEntries()
    {
        QFETCH(ActionButton::State, state);
        QFETCH(bool, acts);
        makeWindow();
        Settings::instance->setInstallPath(games.path());
        answerFirstCheck();
        manageButton()->setButtonState(state);

        entry(openMenu(), QStringLiteral("Uninstall"))->trigger(); // the engine asks first
        QCOMPARE(MessageBox::shownBoxes().size(), acts ? 1 : 0);

        bool dialogShown = false;
        QTimer::singleShot(0, this, [&dialogShown] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                dialogShown = true;
                dialog->reject();
            }
        });
        entry(openMenu(), QStringLiteral("Modify Install"))->trigger();
        if (!acts) // the timer has not run: let it, to prove nothing opens later
            QCoreApplication::processEvents();
        QCOMPARE(dialogShown, acts);

        // Last: a check makes the button busy.
        QSignalSpy checks(Settings::instance, &Settings::lastUpdateCheckChanged);
        entry(openMenu(), QStringLiteral("Check for Updates"))->trigger();
        QCOMPARE(checks.count(), acts ? 1 : 0);
    }

    void languageSwitch()
    {
        makeWindow();
        auto *panel = window->findChild<LinkColumn *>();
        const int englishWidth = panel->minimumWidth();
        const QStringList englishLinks = linkTexts();
        QVERIFY(englishLinks.contains(QStringLiteral("New Player Guide")));
        auto *speed = window->findChild<QLabel *>(QStringLiteral("speedLabel"));
        const QString title = window->windowTitle();
        const auto qtYes = [] { return QCoreApplication::translate("QPlatformTheme", "&Yes"); };

        QMenu *languages = openMenu()->actions().first()->menu();
        languages->actions().at(1)->trigger();
        QCOMPARE(Settings::language(), QStringLiteral("pt"));
        QCOMPARE(manageButton()->text(), QStringLiteral("Instalar"));
        QCOMPARE(speed->text(), QStringLiteral("Calculando..."));
        QCOMPARE(window->windowTitle(), title);
        QCOMPARE(qtYes(), QStringLiteral("&Sim"));
        // Rebuilt in Portuguese, one set only, and narrower without "New Player Guide".
        QCOMPARE(linkTexts(),
                 (QStringList{"Site", "Atualizações", "Guia de Jogo", "Loja", "-", "Discord",
                              "Twitter (X)", "Twitch", "YouTube", "stretch"}));
        QVERIFY2(panel->minimumWidth() < englishWidth,
                 qPrintable(QString::number(panel->minimumWidth())));
        QMenu *menu = openMenu();
        QCOMPARE(entries(menu).first(), QStringLiteral("Idioma"));
        QVERIFY(entries(menu).contains(QStringLiteral("Modificar Instalação")));
        QVERIFY(menu->actions().first()->menu()->actions().at(1)->isChecked());

        // Back to English: stored, and everything as before.
        menu->actions().first()->menu()->actions().first()->trigger();
        QCOMPARE(QSettings().value("language").toString(), QStringLiteral("en"));
        QCOMPARE(manageButton()->text(), QStringLiteral("Install"));
        QCOMPARE(speed->text(), QStringLiteral("Calculating..."));
        QCOMPARE(linkTexts(), englishLinks);
        QCOMPARE(panel->minimumWidth(), englishWidth);
        QCOMPARE(qtYes(), QStringLiteral("&Yes"));
    }

    void linkRows()
    {
        makeWindow();
        QLayout *layout = window->findChild<LinkColumn *>()->layout();
        window->applyLanguage(QStringLiteral("en")); // a rebuild keeps one set
        QCOMPARE(layout->count(), 10);
        QWidget *separator = layout->itemAt(4)->widget();
        QCOMPARE(separator->size(), QSize(80, 1));
        QVERIFY(separator->styleSheet().contains(QStringLiteral("margin-left: 30px")));

        int coloured = 0;
        for (const char *name : {"Website", "Shop", "YouTube"}) {
            QLabel *label = linkRow(name)->findChildren<QLabel *>().last();
            if (label->styleSheet() != QLatin1String("color: ;")) {
                QCOMPARE(label->styleSheet(), QStringLiteral("color: #FEFEC6;"));
                ++coloured;
            }
        }
        QCOMPARE(coloured, 1);

        UrlCatcher catcher({QStringLiteral("https")});
        release(linkRow(QStringLiteral("Website")), Qt::RightButton);
        QVERIFY(catcher.opened.isEmpty());
        release(linkRow(QStringLiteral("Website")), Qt::LeftButton);
        QCOMPARE(catcher.opened,
                 QList<QUrl>{QUrl(QStringLiteral("https://www.ashgrove.example/"))});
    }

    void hostileLinks()
    {
        makeWindow();
        const auto link = [](const char *name, const char *url, const char *colour = "") {
            return QJsonObject{{"name", name}, {"url", url}, {"color", colour}};
        };
        Settings::instance->categories = QJsonArray{
            link("Script", "javascript:alert(1)", "red; background-image: url(file:///etc/passwd)"),
            link("Local", "file:///etc/passwd"), link("Share", "\\\\server\\share\\run.exe"),
            link("Plain", "https://ok.example/", "notacolour"),
            QJsonObject{{"name", "<b>Bold</b>"}, {"url", 42}}};
        window->applyLanguage(QStringLiteral("en"));

        UrlCatcher catcher(
            {QStringLiteral("file"), QStringLiteral("javascript"), QStringLiteral("https")});
        for (const char *name : {"Script", "Local", "Share", "<b>Bold</b>", "Plain"})
            release(linkRow(QLatin1String(name)), Qt::LeftButton);
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(QStringLiteral("https://ok.example/"))});
        QCOMPARE(linkRow(QStringLiteral("Script"))->findChildren<QLabel *>().last()->styleSheet(),
                 QStringLiteral("color: ;"));
        QCOMPARE(linkRow(QStringLiteral("Plain"))->findChildren<QLabel *>().last()->styleSheet(),
                 QStringLiteral("color: ;"));
        QCOMPARE(
            linkRow(QStringLiteral("<b>Bold</b>"))->findChildren<QLabel *>().last()->textFormat(),
            Qt::PlainText);
    }

    void news_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("cards");
        QTest::addColumn<QString>("firstTitle");
        const QByteArray item = R"({"date": "2024-05-01", "title": "T%1", "subtitle": "S",
                                    "url": "https://www.ashgrove.example/n%1"})";
        const auto items = [&item](int count) {
            QByteArrayList list;
            for (int i = 1; i <= count; ++i)
                list << QByteArray(item).replace("%1", QByteArray::number(i));
            return "[" + list.join(",") + "]";
        };
        QTest::newRow("empty array") << items(0) << 0 << "";
        QTest::newRow("one item") << items(1) << 1 << "T1";
        QTest::newRow("three items") << items(3) << 2 << "T1";
        QTest::newRow("an object") << QByteArray(R"({"title": "T1"})") << 0 << "";
        QTest::newRow("not JSON") << QByteArray("<html>") << 0 << "";
        QTest::newRow("non-object items") << QByteArray(R"([1, "x"])") << 2 << "";
        QTest::newRow("title too long") << ("[{\"title\": \"" + QByteArray(5000, 'a') + "\"}]") << 1
                                        << QString(120, QLatin1Char('a'));
    }

    void news()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, cards);
        QFETCH(QString, firstTitle);
        makeWindow();
        QVERIFY(writeFile(serverRoot.filePath(QStringLiteral("news.json")), body));
        fetchNews();
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(server->lastHeader(QStringLiteral("/news.json"), "User-Agent"),
                 QByteArray("Ashgrove PTR Launcher"));

        auto widgets = window->findChildren<AnnouncementWidget *>();
        QCOMPARE(widgets.size(), 2);
        // Raising a filled card reorders the children: tell them apart by place.
        std::sort(widgets.begin(), widgets.end(),
                  [](const QWidget *a, const QWidget *b) { return a->x() < b->x(); });
        QCOMPARE(!widgets[0]->isHidden(), cards >= 1);
        QCOMPARE(!widgets[1]->isHidden(), cards >= 2);
        if (cards == 0)
            return;
        QCOMPARE(widgets[0]->pos(), QPoint(509, 542));
        QCOMPARE(widgets[0]->titleLabel->text(), firstTitle);
        if (firstTitle == QLatin1String("T1")) {
            QCOMPARE(widgets[0]->dateLabel->text(), QStringLiteral("2024-05-01"));
            QCOMPARE(widgets[0]->property("url").toString(),
                     QStringLiteral("https://www.ashgrove.example/n1"));
        }
        if (cards == 2 && firstTitle == QLatin1String("T1"))
            QCOMPARE(widgets[1]->titleLabel->text(), QStringLiteral("T2"));
    }

    void hostileNews()
    {
        makeWindow();
        const QByteArray news = "[{\"title\": \"<img src=x>Hi\", \"url\": \"javascript:alert(1)\","
                                "  \"image\": \"file:///etc/passwd\"},"
                                " {\"title\": \"Share\", \"url\": \"\\\\\\\\server\\\\share\","
                                "  \"image\": \"ftp://x.example/a.png\"}]";
        QVERIFY(writeFile(serverRoot.filePath(QStringLiteral("news.json")), news));
        fetchNews();
        if (QTest::currentTestFailed())
            return;

        UrlCatcher catcher({QStringLiteral("file"), QStringLiteral("javascript")});
        for (AnnouncementWidget *card : window->findChildren<AnnouncementWidget *>()) {
            QVERIFY(!card->isHidden()); // a picture that is no picture would hide it
            QVERIFY(card->property("url").toString().isEmpty());
            QCOMPARE(card->titleLabel->textFormat(), Qt::PlainText);
            QTest::mouseClick(card, Qt::LeftButton);
        }
        QVERIFY(catcher.opened.isEmpty());
        // A URL set by other means still cannot open a local file.
        auto *card = window->findChildren<AnnouncementWidget *>().first();
        card->setProperty("url", QStringLiteral("file:///etc/passwd"));
        QTest::mouseClick(card, Qt::LeftButton);
        QVERIFY(catcher.opened.isEmpty());
    }

    void oversizedNewsIsDropped()
    {
        makeWindow();
        TestHttpServer::Fault endless;
        endless.endless = true;
        server->setFault(QStringLiteral("/news.json"), endless);
        fetchNews();
        if (QTest::currentTestFailed())
            return;
        for (AnnouncementWidget *card : window->findChildren<AnnouncementWidget *>())
            QVERIFY(card->isHidden());
    }

    void firstRunWithoutNewChoice_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Escape ends the start-up") << true;
        QTest::newRow("confirming the default keeps it") << false;
    }

    void firstRunWithoutNewChoice()
    {
        QFETCH(bool, escape);
        makeWindow(true);
        QSignalSpy checks(Settings::instance, &Settings::lastUpdateCheckChanged);
        whenDialogOpens([escape](InstallLocationDialog *dialog) {
            QVERIFY(!dialog->cancelButton->isEnabled());
            QVERIFY(dialog->pathEdit->text().isEmpty());
            QCOMPARE(dialog->pathEdit->placeholderText(), Settings::installPath());
            if (escape)
                QTest::keyClick(dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(dialog->confirmButton, Qt::LeftButton);
        });
        window->onBackgroundSetupComplete();
        QCOMPARE(Settings::instance->hasSelectedInstallPath(), !escape);
        QVERIFY(!QSettings().contains("installPath"));
        // After Escape no launcher check runs, so no window and no update check.
        QCOMPARE(window->isVisible(), !escape);
        QCOMPARE(checks.count(), escape ? 0 : 1);
    }

    void firstRunLauncherFolderRefusedOnce()
    {
        makeWindow(true);
        QList<bool> checkedWhileVisible;
        connect(Settings::instance, &Settings::lastUpdateCheckChanged, this,
                [&] { checkedWhileVisible << window->isVisible(); });
        const QString chosen = games.filePath(QStringLiteral("first-run"));
        whenDialogOpens([&](InstallLocationDialog *dialog) {
            confirm(dialog, QCoreApplication::applicationDirPath() + QStringLiteral("/"));
            QCOMPARE(shownTexts(),
                     QStringList{"Game files cannot be installed to the same directory as the "
                                 "launcher."});
            QVERIFY(dialog->isVisible());
            QCOMPARE(locationDialogs(), 1);
            confirm(dialog, chosen);
            QVERIFY(!dialog->isVisible());
            QCOMPARE(dialog->result(), int(QDialog::Accepted));
        });
        window->onBackgroundSetupComplete();
        QCOMPARE(shownIcons(), QList<QMessageBox::Icon>{QMessageBox::Warning});
        QCOMPARE(Settings::installPath(), QDir::toNativeSeparators(chosen));
        QVERIFY(Settings::instance->hasSelectedInstallPath());
        // One check, and only after the launcher check made the window visible.
        QCOMPARE(checkedWhileVisible, QList<bool>{true});
    }

    void refusedChoicesKeepTheDialog()
    {
        makeWindow();
        const QString current = games.filePath(QStringLiteral("current"));
        QVERIFY(QDir().mkpath(current + QStringLiteral("/data")));
        Settings::instance->setInstallPath(current);
        answerFirstCheck();
        const QString crowded = games.filePath(QStringLiteral("crowded"));
        QVERIFY(writeFile(crowded + QStringLiteral("/notes.txt"), "mine"));
        QSignalSpy changed(Settings::instance, &Settings::installPathChanged);

        whenDialogOpens([&](InstallLocationDialog *dialog) {
            QVERIFY(dialog->cancelButton->isEnabled());
            QCOMPARE(dialog->pathEdit->text(), QDir::toNativeSeparators(current));
            const QStringList refused{QStringLiteral("/"), QDir::homePath(), QDir::tempPath(),
                                      current + QStringLiteral("/data"),
                                      QCoreApplication::applicationDirPath()};
            for (const QString &path : refused)
                confirm(dialog, path);
            QCOMPARE(MessageBox::shownBoxes().size(), refused.size());
            QCOMPARE(shownIcons(), QList<QMessageBox::Icon>(refused.size(), QMessageBox::Warning));
            QVERIFY(dialog->isVisible());

            // A folder with someone else's files is used only when the player agrees.
            MessageBox::presetAnswer(QMessageBox::No);
            confirm(dialog, crowded);
            QCOMPARE(MessageBox::shownBoxes().last().icon, QMessageBox::Question);
            QVERIFY(dialog->isVisible());
            MessageBox::presetAnswer(QMessageBox::Yes);
            confirm(dialog, crowded);
            QVERIFY(!dialog->isVisible());
        });
        entry(openMenu(), QStringLiteral("Modify Install"))->trigger();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(Settings::installPath(), QDir::toNativeSeparators(crowded));
    }

    void unchangedPathChangesNothing()
    {
        makeWindow();
        const QString current = games.filePath(QStringLiteral("same"));
        QVERIFY(QDir().mkpath(current));
        Settings::instance->setInstallPath(current);
        answerFirstCheck();
        QSignalSpy changed(Settings::instance, &Settings::installPathChanged);
        whenDialogOpens([&](InstallLocationDialog *dialog) {
            confirm(dialog, current + QStringLiteral("/./"));
            QCOMPARE(dialog->result(), int(QDialog::Rejected));
        });
        window->findChild<InstallLocationFlow *>()->showInstallLocationDialog(false);
        QVERIFY(changed.isEmpty());
        QVERIFY(MessageBox::shownBoxes().isEmpty());
    }

    void relocation_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("move") << int(QMessageBox::Yes);
        QTest::newRow("keep the files where they are") << int(QMessageBox::No);
    }

    void relocation()
    {
        QFETCH(int, answer);
        const bool move = answer == QMessageBox::Yes;
        makeWindow();
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(4);
        const QString oldFolder = games.filePath(QStringLiteral("old-") + tag);
        const QString newFolder = games.filePath(QStringLiteral("new-") + tag);
        QVERIFY(writeFile(oldFolder + QStringLiteral("/.initcomplete"), {}));
        QVERIFY(writeFile(oldFolder + QStringLiteral("/data/world.pak"), "game"));
        QVERIFY(writeFile(oldFolder + QStringLiteral("/notes.txt"), "mine"));
        Settings::instance->setInstallPath(oldFolder);

        // The engine moves only the files it installed, which a check finds by their
        // content: the manifest lists this one as it is.
        QVERIFY(writeFile(serverRoot.path() + QStringLiteral("/patch/checksums.txt.gz"),
                          encodeManifest({{QStringLiteral("/data/world.pak"),
                                           EngineFixture::entryFor("game")}})));
        const auto restore = qScopeGuard([this] { publishMissingFile(serverRoot.path()); });
        answerFirstCheck();

        MessageBox::presetAnswer(QMessageBox::StandardButton(answer));
        // Chosen as a player does: the menu hides, and its key handling is still
        // on the stack while the dialog, the boxes and the move run their loops.
        const QPointer<QMenu> menu = openMenu();
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        bool keyHandled = false;
        bool deletedUnderItsHandler = false;
        connect(menu, &QObject::destroyed, this, [&] { deletedUnderItsHandler = !keyHandled; });
        whenDialogOpens([&](InstallLocationDialog *dialog) {
            confirm(dialog, newFolder);
            QVERIFY(!dialog->isVisible());
        });
        menu->setActiveAction(entry(menu, QStringLiteral("Modify Install")));
        QTest::keyClick(menu, Qt::Key_Return);
        keyHandled = true;
        QVERIFY(!deletedUnderItsHandler);
        QTRY_VERIFY(menu.isNull());

        QCOMPARE(Settings::installPath(), QDir::toNativeSeparators(newFolder));
        QCOMPARE(MessageBox::shownBoxes().first().title, QStringLiteral("Confirm Location Change"));
        const QString gameAt = move ? newFolder : oldFolder;
        QCOMPARE(readFile(gameAt + QStringLiteral("/data/world.pak")), QByteArray("game"));
        QVERIFY(QFile::exists(gameAt + QStringLiteral("/.initcomplete")));
        QCOMPARE(QFile::exists(oldFolder + QStringLiteral("/data/world.pak")), !move);
        // The player's own file never moves.
        QCOMPARE(readFile(oldFolder + QStringLiteral("/notes.txt")), QByteArray("mine"));
        QVERIFY(!QFile::exists(newFolder + QStringLiteral("/notes.txt")));
        if (move) {
            QCOMPARE(shownIcons(),
                     (QList<QMessageBox::Icon>{QMessageBox::Question, QMessageBox::Information}));
            QVERIFY(shownTexts().last().contains(QStringLiteral("left in the old folder")));
        } else {
            QCOMPARE(shownIcons(), QList<QMessageBox::Icon>{QMessageBox::Question});
        }
    }

    void failedMoveIsOneMessage()
    {
        makeWindow();
        const QString oldFolder = games.filePath(QStringLiteral("stays"));
        QVERIFY(writeFile(oldFolder + QStringLiteral("/.initcomplete"), {}));
        QVERIFY(writeFile(oldFolder + QStringLiteral("/data/world.pak"), "game"));
        Settings::instance->setInstallPath(oldFolder);
        QSignalSpy errors(&window->engine(), &Updater::downloadError);
        window->onBackgroundSetupComplete(); // the launcher check, then the first game check
        QTRY_VERIFY_WITH_TIMEOUT(manageButton()->isEnabled(), 30000);

        // Below a file no folder can be made.
        QVERIFY(writeFile(games.filePath(QStringLiteral("blocker")), "x"));
        const QString newFolder = games.filePath(QStringLiteral("blocker/game"));
        Settings::instance->lastUpdateCheck.clear(); // not held back by the once-a-second rule
        QSignalSpy checks(Settings::instance, &Settings::lastUpdateCheckChanged);
        MessageBox::presetAnswer(QMessageBox::Yes);
        whenDialogOpens([&](InstallLocationDialog *dialog) {
            confirm(dialog, newFolder);
            QCOMPARE(dialog->result(), int(QDialog::Rejected));
        });
        entry(openMenu(), QStringLiteral("Modify Install"))->trigger();

        QCOMPARE(shownIcons(),
                 (QList<QMessageBox::Icon>{QMessageBox::Question, QMessageBox::Critical}));
        QVERIFY(shownTexts().last().startsWith(
            QStringLiteral("Failed to move game files. Please try again.")));
        QVERIFY(errors.isEmpty());
        QCOMPARE(Settings::installPath(), QDir::toNativeSeparators(oldFolder));
        QCOMPARE(readFile(oldFolder + QStringLiteral("/data/world.pak")), QByteArray("game"));
        QCOMPARE(checks.count(), 1); // the button learns where the files are
    }

    void legacyPrompt_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("declined") << int(QMessageBox::No);
        QTest::newRow("closed") << int(QMessageBox::NoButton);
    }

    void legacyPrompt()
    {
        QFETCH(int, answer);
        const QString legacy =
            platform::roamingAppDataPath() + QStringLiteral("/Ashgrove/ashgrove_ptr");
        QVERIFY(writeFile(legacy + QStringLiteral("/.initcomplete"), {}));
        makeWindow();
        MessageBox::presetAnswer(QMessageBox::StandardButton(answer));
        window->onBackgroundSetupComplete();
        QCOMPARE(shownTexts(), QStringList{"We have detected a legacy installation. Would you like "
                                           "to migrate old files to the new installation path?"});
        QVERIFY(Settings::instance->ignoreLegacyInstallationMigration());
        QVERIFY(window->isVisible()); // the launcher check still ran

        // Never asked again, also after a restart.
        window.reset();
        MessageBox::clearRecord();
        makeWindow();
        window->onBackgroundSetupComplete();
        QVERIFY(MessageBox::shownBoxes().isEmpty());
        QVERIFY(QDir(legacy).removeRecursively());
    }
};

ENGINE_TEST_MAIN_APP(QApplication, TestUiMenu)
#include "tst_ui_menu.moc"
