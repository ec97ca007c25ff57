// The setup's entry: one instance per user, the application object, the controller's window.
#include "app/app_delegate.h"
#include "app/compiled_settings.h"
#include "diag/analytics.h"
#include "diag/log.h"
#include "engine/stale_runs.h"
#include "platform/paths.h"
#include "platform/single_instance.h"
#include "platform/termination_signals.h"

#include <QApplication>
#include <QSessionManager>
#include <QThreadPool>

#include <unistd.h>

namespace {

// The installer's last step, detaching the image, may still run when the window has closed.
constexpr int kInstallerWaitMs = 10000;
// Events sent just before the end (install_success after a quick Start Now) may still be on
// their way to a slow collection.
constexpr int kAnalyticsWaitMs = 2000;
constexpr int kLogFlushMs = 1000;

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel Setup"));
    QApplication::setDesktopFileName(CompiledSettings::bundleIdentifier());

    // Before anything is logged: a second start brings the first to the front and ends.
    SingleInstance instance(CompiledSettings::bundleIdentifier());
    const SingleInstance::Claim claim = instance.claim();
    if (claim == SingleInstance::Claim::AnotherRuns)
        return 0;

    ITSetAnalyticsSettings(CompiledSettings::analytics());
    AppDelegate delegate(CompiledSettings::controller());
    // What killed runs left goes, on a worker: the window need not wait. Only a run sure to be
    // alone sweeps, though each folder's lock already keeps live runs' out of reach.
    if (claim == SingleInstance::Claim::Alone)
        QThreadPool::globalInstance()->start(
            [] { StaleRuns::sweep(SystemTools::platformDefault(), Paths::privateFolderBases()); });
    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate,
                     &AppDelegate::activate);
    // Being told to end: the flow decides how, for nobody may be there to answer a question.
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::requested, &delegate, [&delegate] {
        if (delegate.mainController())
            delegate.mainController()->flow().terminationRequested();
        else
            QCoreApplication::quit();
    });
    // The user logging out asks the window: refused while installing, the exit question
    // otherwise, as the close button does.
    const auto askToClose = [&delegate] {
        return !delegate.mainController() || delegate.mainController()->askToClose();
    };
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &delegate,
                     [askToClose](QSessionManager &manager) {
                         if (manager.allowsInteraction() && !askToClose())
                             manager.cancel();
                         manager.release();
                     });
    delegate.applicationDidFinishLaunching();

    app.exec();
    // The window is gone: a start from now on is a new setup, not this one coming to the front.
    instance.release();
    // An installer still at work may yet read from the private folder, the privileged copy by its
    // name: the name stays this user's folder, for a later start's sweep to take.
    if (QThreadPool::globalInstance()->waitForDone(kInstallerWaitMs))
        Paths::removePrivateTemporaryFolder();
    else
        ITLog("UI: work still runs at the end; the private folder is left for a later start");
    ITAnalyticsFlush(kAnalyticsWaitMs);
    ITLogFlush(kLogFlushMs);
    // Tearing down the libraries now would race what may still run beside the main thread (the
    // analytics worker, a transfer being cancelled): the process ends here, its work done.
    ::_exit(0);
}
