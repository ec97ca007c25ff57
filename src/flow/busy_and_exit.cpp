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
    if (!m_settings.platform.confirm(window.get(), Product::displayName,
                                     L().exitQuestion(Product::displayName)))
        return false;
    // While the question was open a finished download may have started the installation.
    if (installing)
        return refuseWhileInstalling();
    closing = true;
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
