#include "app/main_window_controller.h"

#include "l10n/product.h"
#include "ui/finish_view.h"
#include "ui/install_view.h"
#include "ui/installer_window.h"
#include "ui/main_view.h"
#include "ui/settings_panel.h"

MainWindowController::MainWindowController(Settings settings)
    : m_settings(std::move(settings)), m_flow(m_settings.flow),
      m_window(std::make_unique<InstallerWindow>(m_settings.resourcesFolder))
{
    m_window->setWindowTitle(Product::displayName);
    m_window->center();
    m_window->setCloseHandlers(
        [this] { return m_flow.windowShouldClose([this] { return askToLeave(); }); },
        [this] { m_flow.windowWillClose(); });
    SettingsPanel *settingsPanel = m_window->settingsPanel();
    settingsPanel->setFolderText(m_flow.defaultFolder());
    settingsPanel->setLanguageIndex(int(m_flow.langIndex()));
    connectViews();
    connectFlow();
    relabel();
}

MainWindowController::~MainWindowController() = default;

InstallerWindow &MainWindowController::window() const
{
    return *m_window;
}

SetupFlow &MainWindowController::flow()
{
    return m_flow;
}

bool MainWindowController::askToClose()
{
    return m_window->close() || m_flow.closing();
}

void MainWindowController::connectViews()
{
    const MainView *main = m_window->mainView();
    connect(main, &MainView::installClicked, this,
            [this] { m_flow.installClicked(m_window->settingsPanel()->folderText()); });
    connect(main, &MainView::offlineClicked, &m_flow, &SetupFlow::offlineClicked);
    connect(main, &MainView::privacyClicked, &m_flow, &SetupFlow::privacyClicked);
    connect(main, &MainView::licenseClicked, &m_flow, &SetupFlow::licenseClicked);
    const SettingsPanel *settings = m_window->settingsPanel();
    connect(settings, &SettingsPanel::languageChosen, &m_flow, &SetupFlow::languageChanged);
    connect(settings, &SettingsPanel::browseClicked, this, &MainWindowController::browseClicked);
    connect(m_window->finishView(), &FinishView::startClicked, &m_flow, &SetupFlow::startClicked);
}

void MainWindowController::connectFlow()
{
    connect(&m_flow, &SetupFlow::phaseChanged, this, &MainWindowController::showPhase);
    connect(&m_flow, &SetupFlow::progressChanged, this, &MainWindowController::showProgress);
    connect(&m_flow, &SetupFlow::languageApplied, this, &MainWindowController::relabel);
    connect(&m_flow, &SetupFlow::alert, this, &MainWindowController::alert);
    connect(&m_flow, &SetupFlow::settingsWanted, this, [this] {
        if (!m_window->settingsShown())
            m_window->settingsClicked();
    });
    connect(&m_flow, &SetupFlow::closeWindow, m_window.get(), &QWidget::close);
    connect(&m_flow, &SetupFlow::hideWindow, m_window.get(), &QWidget::hide);
    connect(&m_flow, &SetupFlow::dismissQuestion, this,
            [this] { m_settings.dialogs.dismissQuestion(); });
}

void MainWindowController::relabel()
{
    m_window->relabel(m_flow.L());
    showPhase();
    if (m_window->installViewShown())
        showProgress();
}

void MainWindowController::showPhase()
{
    using Phase = SetupFlow::Phase;
    const bool busy = m_flow.busy();
    MainView *main = m_window->mainView();
    // Unlocked before the main view shows, locked once it is covered: a control that is locked
    // while it has the focus hands the focus on, and a screen reader speaks each step.
    const auto lock = [this, main, busy] {
        main->setBusy(busy);
        m_window->settingsPanel()->setBusy(busy);
    };
    if (!busy)
        lock();
    const std::optional<SetupFlow::FailureKind> failure = m_flow.failureKind();
    main->showMessages(failure ? m_flow.L().installFailed : QString(), m_flow.failureDetail());
    main->setOfflineLinkVisible(failure == SetupFlow::FailureKind::Download);
    // A failed copy may be the folder's fault: it can be changed before Retry.
    main->setRetryOffered(m_flow.hasFailed(), failure == SetupFlow::FailureKind::Install);
    switch (m_flow.phase()) {
    case Phase::Ready:
    case Phase::Failed:
        if (m_window->installViewShown())
            m_window->showInstallView(false);
        break;
    case Phase::Downloading:
    case Phase::WaitingToRetry:
    case Phase::Installing:
        if (!m_window->installViewShown())
            m_window->showInstallView(true);
        break;
    case Phase::Finished:
        m_window->showFinishView();
        break;
    }
    if (busy)
        lock();
}

void MainWindowController::showProgress()
{
    InstallView *view = m_window->installView();
    view->setProgress(m_flow.progressValue(), m_flow.progressIndeterminate());
    view->setStatus(m_flow.installStatus());
}

void MainWindowController::browseClicked()
{
    SettingsPanel *settings = m_window->settingsPanel();
    const std::optional<QString> folder = m_settings.dialogs.chooseFolder(
        m_window.get(), m_flow.L().selectFolder, settings->folderText());
    if (folder && m_flow.folderChosen(*folder))
        settings->setFolderText(*folder);
}

void MainWindowController::alert(const QString &message, SetupFlow::AlertStyle style)
{
    m_settings.dialogs.showSheet(m_window.get(), Product::displayName, message,
                                 style == SetupFlow::AlertStyle::Critical
                                     ? Dialogs::AlertStyle::Critical
                                     : Dialogs::AlertStyle::Warning);
}

bool MainWindowController::askToLeave()
{
    return m_settings.dialogs.confirm(m_window.get(), Product::displayName,
                                      m_flow.L().exitQuestion(Product::displayName));
}
