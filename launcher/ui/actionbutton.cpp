#include "actionbutton.h"

#include "progressdisplay.h"
#include "settings.h"
#include "updater.h"
#include "windowtext.h"

#include <QDateTime>
#include <QEvent>
#include <QIcon>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QStyle>
#include <QTimer>

// Off unless QT_LOGGING_RULES="launcher.button.info=true": what the button
// showed, written when it is painted, for whoever drives the window from
// outside (the end-to-end test).
Q_LOGGING_CATEGORY(buttonLog, "launcher.button", QtWarningMsg)

namespace {

using State = ActionButton::State;

constexpr int checkingTickMs = 500;
constexpr int checkAfterMoveMs = 500;

struct StateName
{
    State state;
    const char *name;
};

// The engine's signals carry these names, and the style sheet selects on them.
constexpr StateName stateNames[] = {
    {State::Install, "install"}, {State::Update, "update"},     {State::Checking, "checking"},
    {State::Play, "play"},       {State::Updating, "updating"}, {State::Installing, "installing"}};

QString nameOf(State state)
{
    for (const StateName &entry : stateNames)
        if (entry.state == state)
            return QLatin1String(entry.name);
    return {};
}

bool isIdleState(State state)
{
    return state == State::Install || state == State::Update || state == State::Play;
}

QString downloadIcon()
{
    return QStringLiteral(":/resources/icon_download.png");
}

QString playIcon()
{
    return QStringLiteral(":/resources/icon_play.png");
}

} // namespace

std::optional<State> ActionButton::stateNamed(const QString &name)
{
    for (const StateName &entry : stateNames)
        if (name == QLatin1String(entry.name))
            return entry.state;
    return std::nullopt;
}

bool ActionButton::isRunState(State state)
{
    return state == State::Updating || state == State::Installing;
}

ActionButton::ActionButton(QWidget *parent) : FadingButton(parent) {}

void ActionButton::attach(Updater &engine, const Settings &settings)
{
    this->engine = &engine;
    this->settings = &settings;
    launch = new GameLaunch(engine, settings, this);
    connect(launch, &GameLaunch::phaseChanged, this, &ActionButton::onLaunchPhase);
    connect(launch, &GameLaunch::failed, this, [this](const QString &message) {
        showError(WindowText::tr("Launch Failed"), message);
    });

    progress = new ProgressDisplay(this);

    setButtonState(State::Install);
    connectEngine();
}

void ActionButton::connectEngine()
{
    connect(engine, &Updater::checkingForUpdates, this,
            [this] { setButtonState(State::Checking); });
    connect(engine, &Updater::updateAvailable, this, [this](const QString &name) {
        if (const auto state = stateNamed(name))
            setButtonState(*state);
        onCheckAnswered();
    });
    connect(engine, &Updater::noUpdateAvailable, this, &ActionButton::onNoUpdateAvailable);
    connect(engine, &Updater::updateComplete, this, [this] { setButtonState(State::Play); });
    connect(engine, &Updater::stateChanged, this, &ActionButton::onEngineStateChanged);
    connect(engine, &Updater::downloadProgress, progress, &ProgressDisplay::updateSpeedLabel);
    connect(engine, &Updater::overallProgress, progress, &ProgressDisplay::updateOverallProgress);
    connect(engine, &Updater::downloadError, this, &ActionButton::onDownloadError);
    connect(engine, &Updater::verificationStarted, progress, &ProgressDisplay::showEmptyRing);
    connect(engine, &Updater::verificationProgress, progress,
            &ProgressDisplay::updateVerificationProgress);
}

ActionButton::State ActionButton::buttonState() const
{
    return current.value_or(State::Install);
}

void ActionButton::setButtonState(State state)
{
    if (!engine || current == state)
        return;
    current = state;

    setProperty("state", nameOf(state));
    // The frame image comes from the window's style sheet through the property.
    style()->unpolish(this);
    style()->polish(this);
    progress->hide();
    if (isRunState(state))
        progress->resetSpeed();
    updateButtonAppearance(state);
    reportButton(nameOf(state));

    if (state == State::Checking) {
        if (!checkingTimer) {
            checkingTimer = new QTimer(this);
            connect(checkingTimer, &QTimer::timeout, this, &ActionButton::onCheckingTick);
        }
        checkingDots = 0;
        checkingTimer->start(checkingTickMs);
    } else if (checkingTimer) {
        checkingTimer->stop();
    }
    setEnabled(isIdleState(state) && firstCheckAnswered);
    emit buttonStateChanged(state);
}

void ActionButton::setLaunchWatchPeriod(int milliseconds)
{
    launch->setLaunchWatchPeriod(milliseconds);
}

void ActionButton::retranslate()
{
    progress->retranslate();
    if (current)
        updateButtonAppearance(*current);
}

void ActionButton::reportButton(const QString &shown)
{
    if (shown == reportedButton || !buttonLog().isInfoEnabled())
        return;
    reportedButton = shown;
    unpaintedReports << shown;
}

void ActionButton::paintEvent(QPaintEvent *event)
{
    for (const QString &shown : std::as_const(unpaintedReports))
        qCInfo(buttonLog).noquote() << shown;
    unpaintedReports.clear();
    FadingButton::paintEvent(event);
}

void ActionButton::updateButtonAppearance(State state)
{
    auto apply = [this](const QString &text, const QString &icon, const QString &style) {
        setText(text);
        setIcon(icon.isEmpty() ? QIcon() : QIcon(icon));
        setStyleSheet(style);
    };
    switch (state) {
    case State::Install:
        apply(WindowText::tr("Install"), downloadIcon(), QString());
        break;
    case State::Update:
        apply(WindowText::tr("Update"), downloadIcon(), QString());
        break;
    case State::Play:
        apply(WindowText::tr("Play"), playIcon(), QString());
        break;
    case State::Checking:
        setText(WindowText::tr("Checking for updates"));
        apply(WindowText::tr("Checking for updates"), QString(),
              progress->progressTextStyle(false));
        progress->positionProgressRing(false);
        break;
    case State::Updating:
    case State::Installing:
        apply(state == State::Updating ? WindowText::tr("Updating") : WindowText::tr("Installing"),
              QString(), progress->progressTextStyle(true));
        progress->positionProgressRing(true);
        progress->placeSpeedLabel();
        break;
    }
}

ActionButton::State ActionButton::installedOrNot() const
{
    return engine->isInstalled() ? State::Update : State::Install;
}

void ActionButton::onEngineStateChanged(const QString &name)
{
    const auto state = stateNamed(name);
    if (!state)
        return;
    // The engine ends every failed run with "update"; which one the player
    // needs depends on whether a game is there.
    setButtonState(isIdleState(*state) && *state != State::Play ? installedOrNot() : *state);
}

void ActionButton::onNoUpdateAvailable()
{
    switch (engine->installPendingFiles()) {
    case Updater::MoveIn::Installed:
        checkAfterStagedFilesMoved();
        break;
    case Updater::MoveIn::GameRunning:
    case Updater::MoveIn::Failed:
    case Updater::MoveIn::Busy:
        setButtonState(installedOrNot());
        break;
    case Updater::MoveIn::NothingStaged:
        setButtonState(State::Play);
        break;
    }
    onCheckAnswered();
}

void ActionButton::checkAfterStagedFilesMoved()
{
    // The engine drops a check asked within a second of the last one, which
    // would leave the button on "checking" for good: ask once it is allowed.
    int delay = checkAfterMoveMs;
    const QDateTime last = QDateTime::fromString(settings->lastUpdateCheck, Qt::ISODate);
    if (last.isValid())
        delay = qMax<qint64>(delay, QDateTime::currentDateTime().msecsTo(last.addSecs(1)) + 50);
    QTimer::singleShot(delay, this, [this] { engine->checkForUpdates(); });
}

void ActionButton::onDownloadError(const QString &error)
{
    showError(WindowText::tr("Download Error"), error);
    // A run goes on after a file failed; staged files are only complete once it has ended.
    if (current && isRunState(*current))
        return;
    setButtonState(installedOrNot());
    onCheckAnswered();
}

void ActionButton::onCheckAnswered()
{
    firstCheckAnswered = true;
    if (current && isIdleState(*current))
        setEnabled(true);
}

void ActionButton::onCheckingTick()
{
    if (current != State::Checking)
        return;
    checkingDots = (checkingDots + 1) % 4;
    setText(WindowText::tr("Checking for updates") + QString(checkingDots, QLatin1Char('.')));
}

bool ActionButton::event(QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress && handleManageButtonPress()) {
        fade(event);
        return true;
    }
    return FadingButton::event(event);
}

bool ActionButton::handleManageButtonPress()
{
    // Busy, or no check has answered yet: the engine has nothing to act on.
    if (!engine || !isEnabled())
        return false;
    switch (buttonState()) {
    case State::Install:
    case State::Update:
        engine->startUpdate();
        return false;
    case State::Play:
        return launch->isLaunching() || launch->launchGame();
    default:
        return false;
    }
}

void ActionButton::onLaunchPhase(GameLaunch::Phase phase, int dots)
{
    switch (phase) {
    case GameLaunch::Phase::Launching:
        setText(WindowText::tr("Launching") + QString(dots, QLatin1Char('.')));
        setIcon(QIcon());
        reportButton(QStringLiteral("launching"));
        break;
    case GameLaunch::Phase::Playing:
        setText(WindowText::tr("Playing"));
        setIcon(QIcon());
        reportButton(QStringLiteral("playing"));
        break;
    case GameLaunch::Phase::Over:
        setText(WindowText::tr("Play"));
        setIcon(QIcon(playIcon()));
        reportButton(nameOf(State::Play));
        break;
    }
}

void ActionButton::showError(const QString &title, const QString &text)
{
    // One box at a time; later messages are dropped while it is open.
    if (errorBox)
        return;
    auto *box = new QMessageBox(QMessageBox::Critical, title, QString(), QMessageBox::Ok, window());
    // The text may come from a server: a link or markup in it stays text.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setWindowModality(Qt::NonModal);
    connect(box, &QMessageBox::finished, this, [this, box] {
        box->deleteLater();
        errorBox = nullptr;
    });
    errorBox = box;
    box->show();
}
