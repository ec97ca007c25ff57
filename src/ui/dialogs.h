#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

// The setup's message boxes and its folder chooser.
namespace Dialogs {

enum class AlertStyle
{
    Warning,
    Critical
};

// A message on the window with one "OK" button. Returns at once; nothing follows its dismissal.
void showSheet(QWidget *window, const QString &title, const QString &message, AlertStyle style);

// Asks with "OK" first and "Cancel" second, and waits for the answer: true for "OK".
bool confirm(QWidget *window, const QString &title, const QString &message);

// Closes the question that confirm() shows, if one is open; confirm() then answers false.
void dismissQuestion();

// A modal chooser of one folder, which can make new folders; starts in `startFolder` when
// that is not empty. The chosen folder's path, or nothing when the user cancelled.
std::optional<QString> chooseFolder(QWidget *window, const QString &title,
                                    const QString &startFolder);

// The four as one set of calls, so that a test can answer them without a person.
struct Calls
{
    std::function<void(QWidget *window, const QString &title, const QString &message,
                       AlertStyle style)>
        showSheet = &Dialogs::showSheet;
    std::function<bool(QWidget *window, const QString &title, const QString &message)> confirm =
        &Dialogs::confirm;
    std::function<void()> dismissQuestion = &Dialogs::dismissQuestion;
    std::function<std::optional<QString>(QWidget *window, const QString &title,
                                         const QString &startFolder)>
        chooseFolder = &Dialogs::chooseFolder;
};

} // namespace Dialogs
