#include "mainwindow.h"

#include "installlocationflow.h"
#include "mainwindowform.h"
#include "messagebox.h"
#include "newspanel.h"
#include "settings.h"
#include "windowbackground.h"

#include <QActionGroup>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QMap>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <functional>

namespace {

void registerFonts()
{
    static const bool registered = [] {
        for (const char *font :
             {"Poppins_400Regular.ttf", "Poppins_600SemiBold.ttf", "Poppins_700Bold.ttf"})
            QFontDatabase::addApplicationFont(QStringLiteral(":/resources/fonts/") +
                                              QLatin1String(font));
        return true;
    }();
    Q_UNUSED(registered);
}

const QMap<QString, QString> &languages()
{
    static const QMap<QString, QString> names{
        {QStringLiteral("en"), QStringLiteral("English")},
        {QStringLiteral("pt"), QStringLiteral("Português (Brasil)")}};
    return names;
}

} // namespace

MainWindow::SettingsOwner::~SettingsOwner()
{
    delete settings;
    if (Settings::instance == settings)
        Settings::instance = nullptr;
}

MainWindow::MainWindow() : QMainWindow(nullptr), form(new MainWindowForm)
{
    registerFonts();

    settings = new Settings(this);
    settingsOwner.settings = settings;
    Settings::instance = settings;

    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_QuitOnClose);
    hide();

    connect(this, &MainWindow::backgroundSetupComplete, this,
            &MainWindow::onBackgroundSetupComplete);

    updater.setPrompter(MessageBox::prompter());
    background = new WindowBackground(this);
    connect(background, &WindowBackground::ready, this, &MainWindow::backgroundSetupComplete);
    connect(&updater, &Updater::launcherVersionCheckComplete, this,
            &MainWindow::onLauncherVersionCheckComplete);

    form->setupUi(this);
    setWindowTitle(settings->applicationName + QStringLiteral(" Launcher"));
    background->loadClip();

    setAttribute(Qt::WA_OpaquePaintEvent, true);
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    applyStyleSheet();
    connectBars();

    location = new InstallLocationFlow(updater, *settings, *form->manageButton, this);
    connect(location, &InstallLocationFlow::moveFailed, this,
            &MainWindow::checkForUpdatesOnceConfirmed);
    connect(settings, &Settings::installPathChanged, this, &MainWindow::onInstallPathChanged);

    news = new NewsPanel(*settings, this);
    background->updatePlayback();

    // The button follows the engine's state on its own; the clip rests while files
    // download or move in, and plays again whichever way the run ended.
    connect(&updater, &Updater::activityChanged, this, [this](Updater::State state) {
        background->setEngineBusy(state == Updater::State::Downloading ||
                                  state == Updater::State::MovingFiles);
    });

    applyLanguage(Settings::language());
}

MainWindow::~MainWindow()
{
    delete form;
    form = nullptr;
    delete background;
    background = nullptr;
    delete news;
    news = nullptr;
    // The preferences go with settingsOwner, after the engine has stopped.
}

void MainWindow::applyStyleSheet()
{
    QFile file(QStringLiteral(":/resources/style.qss"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    setStyleSheet(QString::fromUtf8(file.readAll()));
}

void MainWindow::connectBars()
{
    connect(form->minimizeButton, &QPushButton::clicked, this, &QWidget::showMinimized);
    connect(form->closeButton, &QPushButton::clicked, this, &QWidget::close);
    form->logoWidget->setStyleSheet(QStringLiteral("background-image: url(:/resources/") +
                                    settings->logoImage +
                                    QStringLiteral("); background-repeat: no-repeat; "
                                                   "background-position: center;"));
    form->categoriesPanel->setupCategoryButtons(settings->categories);

    // The company logo has no click handler: a press is enough to open the site.
    connect(form->companyButton, &FadingButton::mousePressed, this,
            [this] { QDesktopServices::openUrl(QUrl(settings->companyUrl)); });
    form->bottomPanel->raise();
    form->manageButton->attach(updater, *settings);
    connect(form->settingsButton, &QPushButton::clicked, this, &MainWindow::showSettingsMenu);
}

void MainWindow::onLauncherVersionCheckComplete(bool success)
{
    // The launcher does not run beside a different published version, nor without the check.
    if (!success) {
        const Status &check = updater.launcherCheckStatus();
        if (!check)
            MessageBox::critical(QStringLiteral("Launch Error"), check.message());
        QCoreApplication::exit(0);
        return;
    }
    launcherVersionConfirmed = true;
    setVisible(true);
    raise();
    activateWindow();
    updater.checkForUpdates();
}

void MainWindow::onBackgroundSetupComplete()
{
    if (!settings->hasSelectedInstallPath() && !location->showInstallLocationDialog(true))
        return;
    location->offerLegacyMigration();
    updater.checkLauncherVersion();
}

void MainWindow::onInstallPathChanged(const QString &)
{
    checkForUpdatesOnceConfirmed();
}

void MainWindow::checkForUpdatesOnceConfirmed()
{
    if (launcherVersionConfirmed)
        updater.checkForUpdates();
}

void MainWindow::paintEvent(QPaintEvent *)
{
    if (form && background && isVisible())
        background->paint(form->bottomBlurPanel->geometry());
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (background)
        background->setShown(true);
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    if (background)
        background->setShown(false);
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (background &&
        (event->type() == QEvent::ActivationChange || event->type() == QEvent::WindowStateChange))
        background->updatePlayback();
}

void MainWindow::showSettingsMenu()
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("settingsMenu"));
    connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
    // The entries below open dialogs and boxes, and wait for file work. Their
    // event loops would carry out the deletion the hiding asked for while the
    // menu's own key or mouse handling is still on the stack: the menu goes
    // once that handling is over.
    const auto keepingMenu = [this, menu](std::function<void()> work) {
        return [this, menu, work = std::move(work)] {
            disconnect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
            QCoreApplication::removePostedEvents(menu, QEvent::DeferredDelete);
            const QPointer<QMenu> kept(menu);
            work();
            QTimer::singleShot(0, this, [kept] { delete kept.data(); });
        };
    };

    QMenu *languageMenu = menu->addMenu(tr("Language"));
    auto *group = new QActionGroup(languageMenu);
    group->setExclusive(true);
    // A system language without a catalogue shows English, so English is ticked.
    QString current = Settings::language();
    if (!languages().contains(current))
        current = QStringLiteral("en");
    for (auto it = languages().cbegin(); it != languages().cend(); ++it) {
        QAction *action = languageMenu->addAction(it.value());
        action->setCheckable(true);
        action->setData(it.key());
        action->setChecked(it.key() == current);
        group->addAction(action);
        const QString code = it.key();
        connect(action, &QAction::triggered, this, [this, code] {
            settings->setLanguage(code);
            applyLanguage(code);
        });
    }

    // Busy while the engine works: the button's guard covers these entries too.
    ActionButton *button = form->manageButton;
    const QString folder = Settings::installPath();
    const bool installed = QDir(folder).exists();
    if (installed) {
        menu->addAction(tr("Show in Explorer"), this,
                        [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
        // Asked for by the player: every file is read, not only what changed.
        menu->addAction(tr("Check for Updates"), this, keepingMenu([this, button] {
                            if (button->isEnabled())
                                updater.checkAllFiles();
                        }));
    }

    QAction *animations = menu->addAction(Settings::animationsEnabled() ? tr("Disable Animations")
                                                                        : tr("Enable Animations"));
    connect(animations, &QAction::triggered, this,
            [this, animations] { toggleAnimations(animations); });

    menu->addSeparator();
    menu->addAction(tr("Modify Install"), this, keepingMenu([this, button] {
                        if (button->isEnabled())
                            location->showInstallLocationDialog(false);
                    }));
    if (installed) {
        menu->addAction(tr("Uninstall"), this, keepingMenu([this, button] {
                            if (button->isEnabled() && !location->refuseWhileGameBusy())
                                updater.uninstall();
                        }));
    }

    // The menu opens upwards, its bottom-left corner on the button's top-left.
    const QPoint origin = form->settingsButton->mapToGlobal(QPoint(0, 0));
    menu->popup(origin - QPoint(0, menu->sizeHint().height()));
}

void MainWindow::toggleAnimations(QAction *action)
{
    settings->setAnimationsEnabled(!Settings::animationsEnabled());
    action->setText(Settings::animationsEnabled() ? tr("Disable Animations")
                                                  : tr("Enable Animations"));
    background->updatePlayback();
}

void MainWindow::applyLanguage(const QString &code)
{
    QCoreApplication::removeTranslator(&translator);
    QCoreApplication::removeTranslator(&qtTranslator);
    if (code == QLatin1String("pt")) {
        if (translator.load(QStringLiteral(":/translations/translations/dmk-launcher_pt.qm")))
            QCoreApplication::installTranslator(&translator);
        // Qt's own texts (Yes, No, OK, Cancel) follow when its catalogue is installed.
        if (qtTranslator.load(QLocale(QLocale::Portuguese, QLocale::Brazil),
                              QStringLiteral("qtbase"), QStringLiteral("_"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(&qtTranslator);
    }

    form->retranslateUi(this);
    form->categoriesPanel->setupCategoryButtons(settings->categories);
    form->manageButton->retranslate();
}
