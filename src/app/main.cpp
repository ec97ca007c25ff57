// The setup's entry: one instance per user, the application object, the controller's window.
#include "app/app_delegate.h"
#include "app/compiled_settings.h"
#include "platform/paths.h"
#include "platform/single_instance.h"
#include "ui/installer_window.h"

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The installer's last step, detaching the image, may still run when the window has closed.
constexpr int kInstallerWaitMs = 10000;

int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[0], &byte, 1);
}

// SIGTERM and SIGINT ask the window to close, so they take the decision closing it takes:
// refused while installing, the exit question while downloading.
void routeTerminationToWindow(AppDelegate &delegate)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, &delegate);
    QObject::connect(notifier, &QSocketNotifier::activated, &delegate, [&delegate] {
        char byte = 0;
        [[maybe_unused]] const ssize_t read = ::read(gSignalPipe[1], &byte, 1);
        if (delegate.mainController)
            delegate.mainController->window->close();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel Setup"));
    QApplication::setDesktopFileName(CompiledSettings::bundleIdentifier());

    // Before anything is logged: a second start brings the first to the front and ends.
    SingleInstance instance(CompiledSettings::bundleIdentifier());
    if (!instance.claim())
        return 0;

    ITSetAnalyticsSettings(CompiledSettings::analytics());
    AppDelegate delegate(CompiledSettings::controller());
    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate,
                     &AppDelegate::activate);
    routeTerminationToWindow(delegate);
    // Logging out asks the window, too.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &delegate,
                     [&delegate](QSessionManager &manager) {
                         if (delegate.mainController && manager.allowsInteraction() &&
                             !delegate.mainController->window->close())
                             manager.cancel();
                         manager.release();
                     });
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);

    app.exec();
    QThreadPool::globalInstance()->waitForDone(kInstallerWaitMs);
    Paths::removePrivateTemporaryFolder();
    return 0;
}
