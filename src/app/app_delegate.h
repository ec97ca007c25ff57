#pragma once

#include "app/main_window_controller.h"

#include <QObject>

#include <memory>

// Brings up the one controller once the application has started, and shows its window.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    explicit AppDelegate(MainWindowController::Settings settings);

    void applicationDidFinishLaunching();
    // Brings the window to the front, when another start of the setup asks for it.
    void activate();
    // The controller, once the application has started.
    MainWindowController *mainController() const { return m_mainController.get(); }

private:
    void logWindowState();

    MainWindowController::Settings m_settings;
    std::unique_ptr<MainWindowController> m_mainController;
    bool m_logged = false;
};
