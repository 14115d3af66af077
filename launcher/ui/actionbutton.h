#pragma once

#include "fadingbutton.h"
#include "gamelaunch.h"

#include <QPointer>
#include <QStringList>

#include <optional>

class ProgressDisplay;
class QMessageBox;
class QTimer;
class Settings;
class Updater;

// The window's big button. It offers "Install", "Update" or "Play", shows the
// engine's work with a progress ring (and while downloading a speed line
// under its text), starts the game and follows it. Its state follows the
// engine's signals; the style sheet picks its frame from the `state` property.
class ActionButton final : public FadingButton
{
    Q_OBJECT

public:
    enum class State
    {
        Install,
        Update,
        Checking,
        Play,
        Updating,
        Installing
    };
    Q_ENUM(State)

    explicit ActionButton(QWidget *parent = nullptr);

    // Adds the ring and the speed line (beside the button, in its window), follows
    // the engine and shows "Install". Once, after the button is in its window.
    void attach(Updater &engine, const Settings &settings);

    void setButtonState(State state);
    State buttonState() const;
    bool isLaunching() const { return launch && launch->isLaunching(); }
    void setLaunchWatchPeriod(int milliseconds);
    // Texts again, in the language now installed.
    void retranslate();

    // The states by the names the engine's signals and the style sheet use.
    static std::optional<State> stateNamed(const QString &name);
    static bool isRunState(State state);

signals:
    void buttonStateChanged(ActionButton::State state);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void connectEngine();
    void updateButtonAppearance(State state);
    void onEngineStateChanged(const QString &name);
    void onNoUpdateAvailable();
    void onDownloadError(const QString &error);
    void onCheckAnswered();
    void checkAfterStagedFilesMoved();
    void onCheckingTick();
    void onLaunchPhase(GameLaunch::Phase phase, int dots);
    bool handleManageButtonPress();
    void showError(const QString &title, const QString &text);
    State installedOrNot() const;
    // What the button shows (a state, "launching", "playing"), logged at its next paint.
    void reportButton(const QString &shown);

    Updater *engine = nullptr;
    const Settings *settings = nullptr;
    GameLaunch *launch = nullptr;
    std::optional<State> current;
    ProgressDisplay *progress = nullptr;
    QTimer *checkingTimer = nullptr;
    int checkingDots = 0;
    // Until the first check has answered, a press would act on an empty file list.
    bool firstCheckAnswered = false;
    QPointer<QMessageBox> errorBox;
    QString reportedButton;
    QStringList unpaintedReports;
};
