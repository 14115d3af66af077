#include "messagebox.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

struct TestHook
{
    QMutex mutex;
    bool enabled = false;
    QList<QMessageBox::StandardButton> answers;
    QList<MessageBox::Shown> shown;
};

TestHook &hook()
{
    static TestHook instance;
    return instance;
}

// Returns true when the box was only recorded (test mode), with the answer to give.
bool recordInTestMode(QMessageBox::Icon icon, const QString &title, const QString &text,
                      bool takesAnswer, QMessageBox::StandardButton *answer)
{
    TestHook &h = hook();
    QMutexLocker lock(&h.mutex);
    if (!h.enabled)
        return false;
    h.shown.append({icon, title, text});
    if (takesAnswer)
        *answer = h.answers.isEmpty() ? QMessageBox::NoButton : h.answers.takeFirst();
    return true;
}

void show(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox::StandardButton unused = QMessageBox::NoButton;
    if (recordInTestMode(icon, title, text, false, &unused))
        return;
    switch (icon) {
    case QMessageBox::Critical:
        QMessageBox::critical(nullptr, title, text, QMessageBox::Ok);
        break;
    case QMessageBox::Warning:
        QMessageBox::warning(nullptr, title, text, QMessageBox::Ok);
        break;
    default:
        QMessageBox::information(nullptr, title, text, QMessageBox::Ok);
        break;
    }
}

} // namespace

Prompter *MessageBox::prompter()
{
    static MessageBox instance;
    return &instance;
}

bool MessageBox::ask(const QString &title, const QString &text)
{
    return question(title, text) == QMessageBox::Yes;
}

void MessageBox::tell(Box box, const QString &title, const QString &text)
{
    switch (box) {
    case Box::Information:
        information(title, text);
        break;
    case Box::Warning:
        warning(title, text);
        break;
    case Box::Critical:
        critical(title, text);
        break;
    }
}

QMessageBox::StandardButton MessageBox::question(const QString &title, const QString &text,
                                                 QMessageBox::StandardButtons buttons)
{
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    if (recordInTestMode(QMessageBox::Question, title, text, true, &answer))
        return answer;
    return QMessageBox::question(nullptr, title, text, buttons);
}

void MessageBox::critical(const QString &title, const QString &text)
{
    show(QMessageBox::Critical, title, text);
}

void MessageBox::warning(const QString &title, const QString &text)
{
    show(QMessageBox::Warning, title, text);
}

void MessageBox::information(const QString &title, const QString &text)
{
    show(QMessageBox::Information, title, text);
}

void MessageBox::setTestMode(bool enabled)
{
    QMutexLocker lock(&hook().mutex);
    hook().enabled = enabled;
}

bool MessageBox::testMode()
{
    QMutexLocker lock(&hook().mutex);
    return hook().enabled;
}

void MessageBox::presetAnswer(QMessageBox::StandardButton answer)
{
    QMutexLocker lock(&hook().mutex);
    hook().answers.append(answer);
}

QList<MessageBox::Shown> MessageBox::shownBoxes()
{
    QMutexLocker lock(&hook().mutex);
    return hook().shown;
}

void MessageBox::clearRecord()
{
    QMutexLocker lock(&hook().mutex);
    hook().answers.clear();
    hook().shown.clear();
}
