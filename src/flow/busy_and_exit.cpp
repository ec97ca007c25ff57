// Locking the controls while the setup works, the sleep hold, showing failures, and leaving.
#include "diag/log.h"
#include "engine/downloader.h"
#include "flow/main_window_controller.h"
#include "l10n/product.h"
#include "ui/installer_window.h"
#include "ui/rounded_button.h"
#include "ui/text_fit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;

void MainWindowController::setBusy(bool busy)
{
    // A box in the mixed state counts as not ticked.
    installButton->setEnabled(!busy && acceptCheck->checkState() == Qt::Checked);
    for (QWidget *control : QWidgetList{locationField, browseButton, acceptCheck, langPopup})
        control->setEnabled(!busy);
}

void MainWindowController::beginActivityHold()
{
    if (!activityToken)
        activityToken = m_settings.platform.beginActivity(u"Downloading and installing"_s);
}

void MainWindowController::endActivityHold()
{
    activityToken.reset();
}

void MainWindowController::hideAgreeRow()
{
    for (QWidget *part : agreeRow())
        part->hide();
}

void MainWindowController::showFailedState(const QString &detail)
{
    endActivityHold();
    showInstallView(false);
    hideAgreeRow();
    statusLabel->setText(L().installFailed);
    fitFontToWidth(statusLabel, 12);
    detailLabel->setText(detail);
    fitFontToWidth(detailLabel, 11);
    setBusy(false);
    installButton->setTitle(L().btnRetry);
    fitFontToWidth(installButton, 15);
}

void MainWindowController::showFailure(const QString &message)
{
    ITLog("FLOW: failure shown to user: %@", message);
    showFailedState(message);
    alert(message, Dialogs::AlertStyle::Critical);
}

void MainWindowController::setInstallStatus(const QString &status, const QString &pct)
{
    instStatus->setText(pct.isEmpty() ? status : status + u"  "_s + pct);
    fitFontToWidth(instStatus, 12);
}

void MainWindowController::alert(const QString &message, Dialogs::AlertStyle style)
{
    m_settings.platform.showSheet(window.get(), Product::displayName, message, style);
}

bool MainWindowController::windowShouldClose()
{
    const auto refuseWhileInstalling = [this] {
        ITLog("UI: close blocked, install in progress");
        setInstallStatus(L().installInProgress, QString());
        return false;
    };
    if (installing)
        return refuseWhileInstalling();
    if (done || closing)
        return true;
    m_asking = true;
    const bool confirmed = m_settings.platform.confirm(window.get(), Product::displayName,
                                                       L().exitQuestion(Product::displayName));
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
    closing = true;
    if (unanswered)
        ITLog("UI: exit question unanswered, leaving");
    else
        ITLog("UI: user confirmed exit");
    retryTimer.reset();
    if (!downloader)
        return true;
    downloader->cancel();
    setInstallStatus(L().cancelling, QString());
    return false;
}

void MainWindowController::windowWillClose()
{
    endActivityHold();
    // Whatever was left to resume from goes with the setup.
    dropResumeState();
    m_settings.platform.terminate();
}

void MainWindowController::terminationRequested()
{
    if (closing)
        return; // the setup is on its way out already
    m_endRequested = true;
    if (installing) {
        ITLog("UI: termination requested during the installation");
        waitForInstallation();
        return;
    }
    if (!downloader && !retryTimer) {
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
                dismissQuestion();
        });
        m_questionDeadline->start(m_settings.unansweredExitWait);
    }
    if (!m_asking)
        closeWindow();
}

void MainWindowController::endNow()
{
    m_installDeadline.reset();
    // The question's own close goes ahead once it returns; a second close would not get in.
    if (m_asking) {
        dismissQuestion();
        return;
    }
    closing = true;
    closeWindow();
}

void MainWindowController::dismissQuestion()
{
    m_questionDismissed = true;
    m_settings.platform.dismissQuestion();
}

void MainWindowController::waitForInstallation()
{
    if (m_installDeadline)
        return;
    m_installDeadline = std::make_unique<QTimer>();
    m_installDeadline->setSingleShot(true);
    m_installDeadline->setTimerType(Qt::PreciseTimer);
    connect(m_installDeadline.get(), &QTimer::timeout, this,
            &MainWindowController::endDespiteInstallation);
    m_installDeadline->start(m_settings.installEndWait);
}

void MainWindowController::endDespiteInstallation()
{
    // An installation this slow waits on something that is not coming (a password prompt that
    // nobody answers); the installer is left to the end of the process.
    ITLog("UI: the installation did not end in time, ending");
    closing = true;
    window->hide();
    windowWillClose();
}
