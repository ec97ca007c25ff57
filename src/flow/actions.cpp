// What the smaller controls do: the language list, Hide, the accept box, the links, Browse.
#include "diag/analytics.h"
#include "diag/log.h"
#include "flow/folder_text.h"
#include "flow/main_window_controller.h"
#include "ui/installer_window.h"
#include "ui/rounded_button.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

using namespace Qt::StringLiterals;

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

void MainWindowController::acceptToggled()
{
    installButton->setEnabled(acceptCheck->checkState() == Qt::Checked);
}

void MainWindowController::openURL(const QString &url)
{
    m_settings.platform.openURL(QUrl(url));
}

void MainWindowController::privacyClicked()
{
    openURL(m_settings.websiteBaseUrl + u"/privacy-policy/"_s);
}

void MainWindowController::licenseClicked()
{
    openURL(m_settings.websiteBaseUrl + u"/user-license-agreement/"_s);
}

void MainWindowController::offlineClicked()
{
    ITLog("FLOW: user chose offline installer, opening browser");
    ITTrackEvent(u"offline_download"_s);
    openURL(installerURL());
    closing = true;
    closeWindow();
}

void MainWindowController::browseClicked()
{
    const std::optional<QString> folder =
        m_settings.platform.chooseFolder(window.get(), L().selectFolder, locationField->text());
    if (!folder)
        return;
    // The chooser hands back text; a name it could not carry would install somewhere else.
    if (!FolderText::namesExistingFolder(*folder)) {
        ITLog("UI: install dir refused, its name cannot be carried exactly: %@", *folder);
        alert(L().unusableFolder, Dialogs::AlertStyle::Warning);
        return;
    }
    locationField->setText(*folder);
    ITLog("UI: install dir set to %@", *folder);
}
