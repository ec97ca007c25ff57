#pragma once

#include "platform/system_tools.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// Installs an application bundle from a disk image: attaches the image, copies the bundle
// at its root into the install folder (with administrator rights only when the plain copy is
// refused for want of rights on something of root's or the user's own), removes the quarantine
// attribute and detaches the image. Runs on a worker of the global thread pool; stages and the
// one completion are posted to the main thread, and the callbacks are read when the posted call
// runs.
//
// Create it with std::make_shared: the worker keeps it alive until its run has returned.
class DMGInstaller : public std::enable_shared_from_this<DMGInstaller>
{
public:
    DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir,
                 SystemTools tools = SystemTools::platformDefault());

    std::function<void(const QString &stage)> onStatus;
    std::function<void(bool success, const std::optional<QString> &app,
                       const std::optional<QString> &error)>
        onComplete;

    void start();

private:
    struct DetachAtScopeEnd;
    struct Attached
    {
        std::optional<QString> mountPoint; // usable; absent when the attach failed
        QStringList toDetach;              // what an attach without a usable one named
    };

    void run();
    void install(const QString &mountPoint);
    void status(const QString &stage);
    void finishSuccess(bool success, const std::optional<QString> &app,
                       const std::optional<QString> &error);
    Attached attachDMG();
    std::optional<QString> firstAppInDirectory(const QString &dir);
    std::optional<QString> copyApp(const QString &source, const QString &destination);
    std::optional<QString> privilegedCopy(const QString &source, const QString &destination);
    void detach(const std::optional<QString> &mountPoint);

    const QString dmgPath;
    const QString appName;
    const QString destDir;
    const SystemTools tools;
    bool m_completed = false; // worker only
};
