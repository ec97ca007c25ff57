#include "flow/main_window_controller.h"

#include "engine/dmg_installer.h"
#include "engine/downloader.h"
#include "l10n/localization.h"
#include "platform/paths.h"
#include "ui/accessibility.h"
#include "ui/colors.h"
#include "ui/installer_window.h"

#include <QTimer>

MainWindowController::Settings MainWindowController::Settings::compiled()
{
    return {Paths::resourcesFolder()};
}

MainWindowController::MainWindowController(Settings settings) : m_settings(std::move(settings))
{
    installAccessibility();
    window =
        std::make_unique<InstallerWindow>(QSize(WindowGeometry::width, WindowGeometry::height));
    window->setWindowTitle(QStringLiteral("Quorvel"));
    window->center();
    langIndex = Localization::detectSystemLanguageIndex();
    buildUI();
    applyLanguage();
}

MainWindowController::~MainWindowController() = default;
