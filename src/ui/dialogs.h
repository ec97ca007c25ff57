#pragma once

#include <QString>

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

} // namespace Dialogs
