#pragma once

#include <QString>

// How the engine asks the player something or tells them what happened. The
// engine has no window of its own: the launcher's window supplies the boxes,
// tests supply preset answers.
class Prompter
{
public:
    enum class Box
    {
        Information,
        Warning,
        Critical
    };

    virtual ~Prompter() = default;

    // A modal yes/no question; true only when the player chose Yes.
    virtual bool ask(const QString &title, const QString &text) = 0;
    // A modal box with an Ok button.
    virtual void tell(Box box, const QString &title, const QString &text) = 0;
};
