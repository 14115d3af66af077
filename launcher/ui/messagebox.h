#pragma once

#include "prompter.h"

#include <QList>
#include <QMessageBox>
#include <QString>

// Every modal box of the window, and the engine's through the Prompter it is
// given, goes through here, so tests can answer questions without hunting for dialogs.
class MessageBox final : public Prompter
{
public:
    // The one instance the window hands to the engine.
    static Prompter *prompter();
    bool ask(const QString &title, const QString &text) override;
    void tell(Box box, const QString &title, const QString &text) override;

    struct Shown
    {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString title;
        QString text;
    };

    // Modal, without parent. Returns the button pressed (NoButton when closed otherwise).
    static QMessageBox::StandardButton
    question(const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No);
    static void critical(const QString &title, const QString &text);
    static void warning(const QString &title, const QString &text);
    static void information(const QString &title, const QString &text);

    // Test hook: while enabled no box is shown; each question takes the next
    // preset answer (NoButton when none is left) and every box is recorded.
    static void setTestMode(bool enabled);
    static bool testMode();
    static void presetAnswer(QMessageBox::StandardButton answer);
    static QList<Shown> shownBoxes();
    static void clearRecord();
};
