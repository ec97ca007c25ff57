#pragma once

#include "flow/setup_flow.h"
#include "platform/paths.h"
#include "ui/dialogs.h"

#include <QObject>

#include <memory>

class InstallerWindow;

// Where the setup flow and the window meet: it owns both, hands the user's intents from the
// views to the flow, shows the flow's state in the views, and shows the dialogs the flow asks
// for. The only place that knows both.
class MainWindowController : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        SetupFlow::Settings flow;
        QString resourcesFolder = Paths::resourcesFolder(); // the artwork
        Dialogs::Calls dialogs;
    };

    explicit MainWindowController(Settings settings);
    ~MainWindowController() override;

    InstallerWindow &window() const;
    SetupFlow &flow();
    // The user logging out asks the window as its close button does: whether the setup may end.
    bool askToClose();

private:
    void connectViews();
    void connectFlow();
    void relabel();
    void showPhase();
    void showProgress();
    void browseClicked();
    void alert(const QString &message, SetupFlow::AlertStyle style);
    bool askToLeave();

    const Settings m_settings;
    SetupFlow m_flow;
    std::unique_ptr<InstallerWindow> m_window;
};
