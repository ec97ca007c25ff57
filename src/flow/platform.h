#pragma once

#include "ui/dialogs.h"

#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QWidget;

// Everything the controller does that reaches outside the process: the browser, starting the
// installed application, the sleep hold, the processor test, message boxes, the folder
// chooser and ending the application. The program uses real(); a test replaces any of them.
struct Platform
{
    std::function<bool(const QUrl &url)> openURL;
    std::function<bool(const QString &appPath)> launchApplication;
    std::function<std::shared_ptr<void>(const QString &reason)> beginActivity; // null: no hold
    std::function<bool()> prefersArmImage;
    std::function<void(QWidget *window, const QString &title, const QString &message,
                       Dialogs::AlertStyle style)>
        showSheet;
    std::function<bool(QWidget *window, const QString &title, const QString &message)> confirm;
    std::function<std::optional<QString>(QWidget *window, const QString &title,
                                         const QString &startFolder)>
        chooseFolder;
    std::function<void()> terminate;       // ends the application
    std::function<void()> dismissQuestion; // closes an open `confirm` question, unanswered

    static Platform real();
};
