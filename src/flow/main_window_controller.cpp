#include "flow/main_window_controller.h"

#include "diag/analytics.h"
#include "diag/log.h"
#include "engine/dmg_installer.h"
#include "engine/downloader.h"
#include "l10n/localization.h"
#include "l10n/product.h"
#include "ui/accessibility.h"
#include "ui/colors.h"
#include "ui/installer_window.h"

#include <QLineEdit>
#include <QTimer>

MainWindowController::MainWindowController(Settings settings) : m_settings(std::move(settings))
{
    installAccessibility();
    window =
        std::make_unique<InstallerWindow>(QSize(WindowGeometry::width, WindowGeometry::height));
    window->setWindowTitle(Product::displayName);
    window->center();
    window->shouldClose = [this] { return windowShouldClose(); };
    window->willClose = [this] { windowWillClose(); };
    langIndex = Localization::detectSystemLanguageIndex();
    // Without a private folder there is nowhere safe to download to: the download then fails.
    if (!m_settings.temporaryFolder.isEmpty())
        destFile = m_settings.temporaryFolder + QStringLiteral("/quorvel_setup.dmg");
    buildUI();
    applyLanguage();
    ITLog("UI: ready, language=%@, default dir=%@", L().langName, locationField->text());
    ITTrackEvent(QStringLiteral("setup_run"));
}

MainWindowController::~MainWindowController()
{
    // Callbacks of engines still running find the controller gone and do nothing.
    if (downloader)
        downloader->cancel();
}
