#pragma once

#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

// What the setup flow does that reaches outside the process and is not the window: the
// browser, starting the installed application, the sleep hold, the processor test and ending
// the application. The program gives the real ones; a test replaces any of them.
struct Platform
{
    std::function<bool(const QUrl &url)> openURL;
    std::function<bool(const QString &appPath)> launchApplication;
    std::function<std::shared_ptr<void>(const QString &reason)> beginActivity; // null: no hold
    std::function<bool()> prefersArmImage;
    std::function<void()> terminate; // ends the application
    // Makes the installed application known to the desktop: true with what was written in
    // `detail`, false with why not. Unset where the system finds it by itself.
    std::function<bool(const QString &appPath, QString *detail)> registerApplication;
};
