// What the smaller controls do: the accept box, the language list, the links, Browse, Hide.
#include "diag/log.h"
#include "flow/main_window_controller.h"
#include "ui/installer_window.h"
#include "ui/rounded_button.h"

#include <QCheckBox>
#include <QComboBox>

void MainWindowController::acceptToggled()
{
    installButton->setEnabled(acceptCheck->checkState() == Qt::Checked);
}

void MainWindowController::languageChanged()
{
    langIndex = langPopup->currentIndex();
    ITLog("UI: language changed to %@", L().langName);
    applyLanguage();
}

void MainWindowController::minimizeClicked()
{
    window->showMinimized();
}

// The road from Install to Start Now and the web links come with the setup flow.
void MainWindowController::installClicked() {}
void MainWindowController::startClicked() {}
void MainWindowController::privacyClicked() {}
void MainWindowController::licenseClicked() {}
void MainWindowController::offlineClicked() {}
void MainWindowController::browseClicked() {}
