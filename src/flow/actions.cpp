// What the smaller intents do: the language, the links, the folder chooser's answer.
#include "diag/analytics.h"
#include "diag/log.h"
#include "flow/folder_text.h"
#include "flow/setup_flow.h"
#include "l10n/localization.h"

using namespace Qt::StringLiterals;

void SetupFlow::languageChanged(qint64 index)
{
    if (index < 0 || index >= Localization::all().size())
        return;
    m_langIndex = index;
    ITLog("UI: language changed to %@", L().langName);
    emit languageApplied();
}

void SetupFlow::openURL(const QString &url)
{
    m_settings.platform.openURL(QUrl(url));
}

void SetupFlow::privacyClicked()
{
    openURL(m_settings.websiteBaseUrl + u"/privacy-policy/"_s);
}

void SetupFlow::licenseClicked()
{
    openURL(m_settings.websiteBaseUrl + u"/user-license-agreement/"_s);
}

void SetupFlow::offlineClicked()
{
    ITLog("FLOW: user chose offline installer, opening browser");
    ITTrackEvent(u"offline_download"_s);
    openURL(installerURL());
    m_closing = true;
    emit closeWindow();
}

bool SetupFlow::folderChosen(const QString &folder)
{
    // The chooser hands back text; a name it could not carry would install somewhere else.
    if (!FolderText::namesExistingFolder(folder)) {
        ITLog("UI: install dir refused, its name cannot be carried exactly: %@", folder);
        emit alert(L().unusableFolder, AlertStyle::Warning);
        return false;
    }
    ITLog("UI: install dir set to %@", folder);
    return true;
}
