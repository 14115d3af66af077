// The action button: its states, the progress ring and speed line drawn with
// it, and how it follows the engine.
#include "mainwindow.h"

#include "circularprogresswidget.h"
#include "settings.h"
#include "speedtext.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

// Off unless QT_LOGGING_RULES="launcher.button.info=true": the states the
// button went through, written when it is painted, for whoever drives the
// window from outside (the end-to-end test).
Q_LOGGING_CATEGORY(buttonLog, "launcher.button", QtWarningMsg)

namespace {

// The button's text is drawn at this size while the ring is shown.
constexpr int progressFontPx = 14;
constexpr int ringGap = 10;
constexpr int checkingTickMs = 500;
constexpr int checkAfterMoveMs = 500;

// When the speed line was last rewritten; it changes at most once a second.
QElapsedTimer lastSpeedText;

bool isRunState(const QString &state)
{
    return state == QLatin1String("updating") || state == QLatin1String("installing");
}

bool isIdleState(const QString &state)
{
    return state == QLatin1String("install") || state == QLatin1String("update") ||
           state == QLatin1String("play");
}

QFontMetrics progressFontMetrics(const QPushButton *button)
{
    QFont font = button->font();
    font.setPixelSize(progressFontPx);
    return QFontMetrics(font);
}

} // namespace

QPushButton *MainWindow::manageButton() const
{
    return findChild<QPushButton *>(QStringLiteral("manageButton"));
}

void MainWindow::setUpActionButton(QPushButton *button)
{
    progressRing = new CircularProgressWidget(button);
    progressRing->hide();

    speedLabel = new QLabel(this);
    speedLabel->setObjectName(QStringLiteral("speedLabel"));
    speedLabel->setFixedSize(100, 20);
    speedLabel->setAlignment(Qt::AlignLeft);
    speedLabel->setText(tr("Calculating..."));
    speedLabel->hide();

    button->installEventFilter(this);
    setButtonState(QStringLiteral("install"));
}

void MainWindow::connectEngine()
{
    connect(&updater, &Updater::checkingForUpdates, this,
            [this] { setButtonState(QStringLiteral("checking")); });
    connect(&updater, &Updater::updateAvailable, this, [this](const QString &state) {
        setButtonState(state);
        onCheckAnswered();
    });
    connect(&updater, &Updater::noUpdateAvailable, this, &MainWindow::onNoUpdateAvailable);
    connect(&updater, &Updater::updateComplete, this,
            [this] { setButtonState(QStringLiteral("play")); });
    connect(&updater, &Updater::stateChanged, this, &MainWindow::onEngineStateChanged);
    connect(&updater, &Updater::downloadProgress, this, &MainWindow::updateSpeedLabel);
    connect(&updater, &Updater::overallProgress, this, &MainWindow::updateOverallProgress);
    connect(&updater, &Updater::downloadError, this, &MainWindow::onDownloadError);
    connect(&updater, &Updater::verificationStarted, this, [this] {
        if (!progressRing)
            return;
        progressRing->show();
        progressRing->setProgress(0);
    });
    connect(&updater, &Updater::verificationProgress, this, [this](int checked, int total) {
        if (!progressRing)
            return;
        const int percent = total < 1 ? 0 : int(float(checked) / float(total) * 100.0f);
        progressRing->setProgress(qBound(0, percent, 100));
    });
}

QString MainWindow::buttonState() const
{
    return currentButtonState;
}

void MainWindow::setButtonState(const QString &state)
{
    if (state == currentButtonState)
        return;
    currentButtonState = state;

    QPushButton *button = manageButton();
    if (!button)
        return;
    button->setProperty("state", state);
    // The frame image comes from the window's style sheet through the property.
    button->style()->unpolish(button);
    button->style()->polish(button);
    if (progressRing)
        progressRing->hide();
    if (speedLabel) {
        speedLabel->hide();
        // A new run must not show the last run's speed.
        if (isRunState(state)) {
            speedLabel->setText(tr("Calculating..."));
            lastSpeedText.start();
        }
    }
    updateButtonAppearance(button, state);
    reportButton(state);

    if (state == QLatin1String("checking")) {
        if (!checkingTimer) {
            checkingTimer = new QTimer(this);
            connect(checkingTimer, &QTimer::timeout, this, &MainWindow::onCheckingTick);
        }
        checkingDots = 0;
        checkingTimer->start(checkingTickMs);
    } else if (checkingTimer) {
        checkingTimer->stop();
    }
    const bool busy = isRunState(state) || state == QLatin1String("checking");
    button->setEnabled(isIdleState(state) ? firstCheckAnswered : !busy);
    emit buttonStateChanged(state);
}

void MainWindow::reportButton(const QString &shown)
{
    if (shown == reportedButton || !buttonLog().isInfoEnabled())
        return;
    reportedButton = shown;
    unpaintedButtonStates << shown;
}

void MainWindow::flushButtonReports()
{
    for (const QString &state : std::as_const(unpaintedButtonStates))
        qCInfo(buttonLog).noquote() << state;
    unpaintedButtonStates.clear();
}

void MainWindow::updateButtonAppearance(QPushButton *button, const QString &state)
{
    auto apply = [button](const QString &text, const QString &icon, const QString &style) {
        button->setText(text);
        button->setIcon(icon.isEmpty() ? QIcon() : QIcon(icon));
        button->setStyleSheet(style);
    };
    if (state == QLatin1String("install")) {
        apply(tr("Install"), QStringLiteral(":/resources/icon_download.png"), QString());
    } else if (state == QLatin1String("update")) {
        apply(tr("Update"), QStringLiteral(":/resources/icon_download.png"), QString());
    } else if (state == QLatin1String("play")) {
        apply(tr("Play"), QStringLiteral(":/resources/icon_play.png"), QString());
    } else if (state == QLatin1String("checking")) {
        button->setText(tr("Checking for updates"));
        apply(tr("Checking for updates"), QString(), progressTextStyle(button));
        positionProgressRing(button);
    } else if (isRunState(state)) {
        apply(state == QLatin1String("updating") ? tr("Updating") : tr("Installing"), QString(),
              progressTextStyle(button));
        positionProgressRing(button);
        placeSpeedLabel(button);
    } else if (launching) {
        button->setText(tr("Launching"));
    }
}

QString MainWindow::progressTextStyle(QPushButton *button) const
{
    const QFontMetrics metrics = progressFontMetrics(button);
    const int textWidth = metrics.horizontalAdvance(button->text());
    const int ringWidth = progressRing ? progressRing->width() : 0;
    const int gap = (button->width() - ringWidth - ringGap - textWidth) / 2;
    const int left = ringWidth + ringGap + gap;
    if (currentButtonState == QLatin1String("checking"))
        return QStringLiteral("font-size: %1px; text-align: left; padding-left: %2px;")
            .arg(progressFontPx)
            .arg(left);
    // Lifted so the speed line fits under the text.
    return QStringLiteral(
               "font-size: %1px; text-align: left; padding-left: %2px; padding-bottom: %3px;")
        .arg(progressFontPx)
        .arg(left)
        .arg(button->height() / 2 - metrics.height());
}

void MainWindow::positionProgressRing(QPushButton *button)
{
    if (!progressRing)
        return;
    const int textWidth = progressFontMetrics(button).horizontalAdvance(button->text());
    progressRing->move((button->width() - progressRing->width() - ringGap - textWidth) / 2,
                       button->height() / 2 - progressRing->height() / 2);
    button->setStyleSheet(progressTextStyle(button));
    progressRing->show();
    progressRing->setProgress(0);
}

void MainWindow::placeSpeedLabel(QPushButton *button)
{
    if (!progressRing || !speedLabel)
        return;
    const int ringWidth = progressRing->width();
    const int textWidth = progressFontMetrics(button).horizontalAdvance(button->text());
    const QPoint p = button->mapTo(this, QPoint(0, 0));
    speedLabel->move(p.x() + ringWidth + ringGap +
                         (button->width() - ringWidth - textWidth - ringGap) / 2,
                     p.y() + 2 + button->height() / 2);
    speedLabel->raise();
    speedLabel->show();
}

void MainWindow::updateSpeedLabel(qint64 bytesPerSecond)
{
    if (!speedLabel)
        return;
    if (!lastSpeedText.isValid()) {
        lastSpeedText.start();
        return;
    }
    if (lastSpeedText.elapsed() < 1000)
        return;
    speedLabel->setText(speedText(bytesPerSecond));
    lastSpeedText.start();
}

void MainWindow::updateOverallProgress(qint64 bytesDownloaded, qint64 totalBytes)
{
    if (!progressRing)
        return;
    const int percent =
        totalBytes == 0 ? 0 : int(double(bytesDownloaded) / double(totalBytes) * 100.0);
    progressRing->setProgress(qBound(0, percent, 100));
}

void MainWindow::onEngineStateChanged(const QString &state)
{
    // The engine ends every failed run with "update"; which one the player
    // needs depends on whether a game is there.
    if (state == QLatin1String("update") || state == QLatin1String("install"))
        setButtonState(updater.isInstalled() ? QStringLiteral("update")
                                             : QStringLiteral("install"));
    else
        setButtonState(state);
}

void MainWindow::onNoUpdateAvailable()
{
    switch (updater.installPendingFiles()) {
    case Updater::MoveIn::Installed:
        checkAfterStagedFilesMoved();
        break;
    case Updater::MoveIn::GameRunning:
    case Updater::MoveIn::Failed:
    case Updater::MoveIn::Busy:
        setButtonState(updater.isInstalled() ? QStringLiteral("update")
                                             : QStringLiteral("install"));
        break;
    case Updater::MoveIn::NothingStaged:
        setButtonState(QStringLiteral("play"));
        break;
    }
    onCheckAnswered();
}

void MainWindow::checkAfterStagedFilesMoved()
{
    // The engine drops a check asked within a second of the last one, which
    // would leave the button on "checking" for good: ask once it is allowed.
    int delay = checkAfterMoveMs;
    const QDateTime last = QDateTime::fromString(settings->lastUpdateCheck, Qt::ISODate);
    if (last.isValid())
        delay = qMax<qint64>(delay, QDateTime::currentDateTime().msecsTo(last.addSecs(1)) + 50);
    QTimer::singleShot(delay, this, [this] { updater.checkForUpdates(); });
}

void MainWindow::onDownloadError(const QString &error)
{
    showError(tr("Download Error"), error);
    // A run goes on after a file failed; staged files are only complete once it has ended.
    if (isRunState(currentButtonState))
        return;
    setButtonState(updater.isInstalled() ? QStringLiteral("update") : QStringLiteral("install"));
    onCheckAnswered();
}

void MainWindow::onCheckAnswered()
{
    firstCheckAnswered = true;
    if (QPushButton *button = manageButton(); button && isIdleState(currentButtonState))
        button->setEnabled(true);
}

void MainWindow::onCheckingTick()
{
    QPushButton *button = manageButton();
    if (!button || currentButtonState != QLatin1String("checking"))
        return;
    checkingDots = (checkingDots + 1) % 4;
    button->setText(tr("Checking for updates") + QString(checkingDots, QLatin1Char('.')));
}

bool MainWindow::handleManageButtonPress(QEvent *event)
{
    if (event->type() != QEvent::MouseButtonPress)
        return false;
    // Busy, or no check has answered yet: the engine has nothing to act on.
    const QPushButton *button = manageButton();
    if (!button || !button->isEnabled())
        return false;
    if (currentButtonState == QLatin1String("install") ||
        currentButtonState == QLatin1String("update")) {
        updater.startUpdate();
        return false;
    }
    if (currentButtonState == QLatin1String("play"))
        return launching || launchGame();
    return false;
}

void MainWindow::showError(const QString &title, const QString &text)
{
    // One box at a time; later messages are dropped while it is open.
    if (errorBox)
        return;
    auto *box = new QMessageBox(QMessageBox::Critical, title, text, QMessageBox::Ok, this);
    box->setWindowModality(Qt::NonModal);
    connect(box, &QMessageBox::finished, this, [this, box] {
        box->deleteLater();
        errorBox = nullptr;
    });
    errorBox = box;
    box->show();
}
