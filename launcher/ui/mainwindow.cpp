#include "mainwindow.h"

#include "announcementwidget.h"
#include "mainwindowform.h"
#include "messagebox.h"
#include "settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QMediaPlayer>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTimer>
#include <QVideoSink>

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
    setUpVideo();
    connect(&updater, &Updater::launcherVersionCheckComplete, this,
            &MainWindow::onLauncherVersionCheckComplete);

    form->setupUi(this);
    setWindowTitle(settings->applicationName + QStringLiteral(" Launcher"));

    connect(videoSink, &QVideoSink::videoFrameChanged, this, &MainWindow::handleVideoFrame);
    mediaPlayer->setSource(QUrl(QStringLiteral("qrc:/resources/background.mp4")));
    mediaPlayer->setLoops(QMediaPlayer::Infinite);

    setAttribute(Qt::WA_OpaquePaintEvent, true);
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    applyStyleSheet();

    if (auto *minimize = findChild<QPushButton *>(QStringLiteral("minimizeButton")))
        connect(minimize, &QPushButton::clicked, this, &QWidget::showMinimized);
    if (auto *closeButton = findChild<QPushButton *>(QStringLiteral("closeButton")))
        connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    if (auto *logo = findChild<QWidget *>(QStringLiteral("logoWidget")))
        logo->setStyleSheet(QStringLiteral("background-image: url(:/resources/") +
                            settings->logoImage +
                            QStringLiteral("); background-repeat: no-repeat; "
                                           "background-position: center;"));

    if (auto *titleBar = findChild<QWidget *>(QStringLiteral("titleBar")))
        titleBar->installEventFilter(this);
    setupCategoryButtons();

    setUpBottomBar();
    connectEngine();

    connect(settings, &Settings::installPathChanged, this, &MainWindow::onInstallPathChanged);

    setUpNewsCards();
    startVideo();

    // The button follows the engine's state through connectEngine().
    connect(&updater, &Updater::stateChanged, this, [this](const QString &state) {
        engineBusy = state == QLatin1String("updating") || state == QLatin1String("installing");
        updateClipPlayback();
    });

    applyLanguage(Settings::language());
}

MainWindow::~MainWindow()
{
    delete form;
    form = nullptr;
    tearDownVideo();
    delete newsManager;
    newsManager = nullptr;
    // The preferences go with settingsOwner, after the engine has stopped.
}

void MainWindow::applyStyleSheet()
{
    QFile file(QStringLiteral(":/resources/style.qss"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    setStyleSheet(QString::fromUtf8(file.readAll()));
}

void MainWindow::setUpBottomBar()
{
    if (auto *company = findChild<QPushButton *>(QStringLiteral("companyButton")))
        company->installEventFilter(this);
    if (auto *bottomPanel = findChild<QWidget *>(QStringLiteral("bottomPanel")))
        bottomPanel->raise();
    for (const char *name : {"minimizeButton", "closeButton"})
        if (auto *button = findChild<QPushButton *>(QLatin1String(name)))
            button->installEventFilter(this);

    if (auto *manage = findChild<QPushButton *>(QStringLiteral("manageButton")))
        setUpActionButton(manage);

    if (auto *settingsButton = findChild<QPushButton *>(QStringLiteral("settingsButton"))) {
        connect(settingsButton, &QPushButton::clicked, this, &MainWindow::showSettingsMenu);
        settingsButton->installEventFilter(this);
    }
}

void MainWindow::setUpNewsCards()
{
    newsManager = new QNetworkAccessManager(this);
    firstCard = new AnnouncementWidget(this);
    secondCard = new AnnouncementWidget(this);
    const int cardY = height() - firstCard->height() - 26;
    firstCard->move(509, cardY);
    secondCard->move(888, cardY);
    firstCard->hide();
    secondCard->hide();
    requestNews();
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
