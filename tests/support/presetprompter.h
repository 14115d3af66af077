#pragma once

#include "prompter.h"

#include <QList>
#include <QString>

// Answers the engine's questions from a preset list (No once it is used up) and
// records every box, as "question", "information", "warning" or "critical".
class PresetPrompter final : public Prompter
{
public:
    struct Shown
    {
        QString kind;
        QString title;
        QString text;
    };

    void presetAnswer(bool yes) { answers.append(yes); }
    QList<Shown> shown;

    bool ask(const QString &title, const QString &text) override
    {
        shown.append({QStringLiteral("question"), title, text});
        return !answers.isEmpty() && answers.takeFirst();
    }

    void tell(Box box, const QString &title, const QString &text) override
    {
        static const char *const kinds[] = {"information", "warning", "critical"};
        shown.append({QLatin1String(kinds[static_cast<int>(box)]), title, text});
    }

private:
    QList<bool> answers;
};
