// The sleep hold, showing failures, and leaving.
#include "diag/log.h"
#include "engine/downloader.h"
#include "flow/setup_flow.h"

#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;

void SetupFlow::beginActivityHold()
{
    if (!activityToken)
        activityToken = m_settings.platform.beginActivity(u"Downloading and installing"_s);
}

void SetupFlow::endActivityHold()
{
    activityToken.reset();
}

void SetupFlow::showFailedState(FailureKind kind, const QString &detail)
{
    endActivityHold();
    m_failureKind = kind;
    m_failureDetail = detail;
    m_hasFailed = true;
    setPhase(Phase::Failed);
}

void SetupFlow::showFailure(const QString &message)
{
    ITLog("FLOW: failure shown to user: %@", message);
    showFailedState(FailureKind::Install, message);
    emit alert(message, AlertStyle::Critical);
}

bool SetupFlow::windowShouldClose(const std::function<bool()> &ask)
{
    const auto refuseWhileInstalling = [this] {
        ITLog("UI: close blocked, install in progress");
        setInstallStatus(&UIStrings::installInProgress, QString());
        return false;
    };
    if (installing)
        return refuseWhileInstalling();
    if (done || m_closing)
        return true;
    m_asking = true;
    const bool confirmed = ask();
    m_asking = false;
    const bool unanswered = std::exchange(m_questionDismissed, false);
    if (!confirmed && !unanswered) {
        // The user stays, whoever asked.
        m_endRequested = false;
        m_questionDeadline.reset();
        m_installDeadline.reset();
        return false;
    }
    // While the question was open a finished download may have started the installation.
    if (installing)
        return refuseWhileInstalling();
    m_closing = true;
    if (unanswered)
        ITLog("UI: exit question unanswered, leaving");
    else
        ITLog("UI: user confirmed exit");
    retryTimer->stop();
    if (!downloader)
        return true;
    downloader->cancel();
    setInstallStatus(&UIStrings::cancelling, QString());
    return false;
}

void SetupFlow::windowWillClose()
{
    endActivityHold();
    // Whatever was left to resume from goes with the setup.
    dropResumeState();
    m_settings.platform.terminate();
}

void SetupFlow::terminationRequested()
{
    if (m_closing)
        return; // the setup is on its way out already
    m_endRequested = true;
    if (installing) {
        ITLog("UI: termination requested during the installation");
        waitForInstallation();
        return;
    }
    if (!downloader && !retryTimer->isActive()) {
        ITLog("UI: termination requested, nothing to lose");
        endNow();
        return;
    }
    // A transfer would be lost: ask, as closing does, but not for ever.
    ITLog("UI: termination requested, asking");
    if (!m_questionDeadline) {
        m_questionDeadline = std::make_unique<QTimer>();
        m_questionDeadline->setSingleShot(true);
        m_questionDeadline->setTimerType(Qt::PreciseTimer);
        connect(m_questionDeadline.get(), &QTimer::timeout, this, [this] {
            if (m_asking)
                askDismissal();
        });
        m_questionDeadline->start(m_settings.unansweredExitWait);
    }
    if (!m_asking)
        emit closeWindow();
}

void SetupFlow::endNow()
{
    m_installDeadline.reset();
    // The question's own close goes ahead once it returns; a second close would not get in.
    if (m_asking) {
        askDismissal();
        return;
    }
    m_closing = true;
    emit closeWindow();
}

void SetupFlow::askDismissal()
{
    m_questionDismissed = true;
    emit dismissQuestion();
}

void SetupFlow::waitForInstallation()
{
    if (m_installDeadline)
        return;
    m_installDeadline = std::make_unique<QTimer>();
    m_installDeadline->setSingleShot(true);
    m_installDeadline->setTimerType(Qt::PreciseTimer);
    connect(m_installDeadline.get(), &QTimer::timeout, this, &SetupFlow::endDespiteInstallation);
    m_installDeadline->start(m_settings.installEndWait);
}

void SetupFlow::endDespiteInstallation()
{
    // An installation this slow waits on something that is not coming (a password prompt that
    // nobody answers); the installer is left to the end of the process.
    ITLog("UI: the installation did not end in time, ending");
    m_closing = true;
    emit hideWindow();
    windowWillClose();
}
