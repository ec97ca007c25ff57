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

    std::unique_ptr<MainWindowController> mainController;

private:
    void logWindowState();

    MainWindowController::Settings m_settings;
    bool m_logged = false;
};
