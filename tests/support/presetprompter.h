#pragma once

#include "prompter.h"

#include <QStringList>

// Answers the engine's questions from a preset list (No once it is used up) and
// records every box as "question|information|warning|critical TITLE: TEXT".
class PresetPrompter final : public Prompter
{
public:
    void presetAnswer(bool yes) { answers.append(yes); }
    QStringList shown;

    bool ask(const QString &title, const QString &text) override
    {
        shown.append(QStringLiteral("question %1: %2").arg(title, text));
        return !answers.isEmpty() && answers.takeFirst();
    }

    void tell(Box box, const QString &title, const QString &text) override
    {
        static const char *const kinds[] = {"information", "warning", "critical"};
        shown.append(QStringLiteral("%1 %2: %3").arg(kinds[int(box)], title, text));
    }

private:
    QList<bool> answers;
};
