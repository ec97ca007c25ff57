#include "app/app_delegate.h"

#include "diag/log.h"
#include "ui/installer_window.h"
#include "ui/main_view.h"

#include <QTimer>
#include <QWindow>

using namespace std::chrono_literals;

namespace {
// How long the window may take to become the active one before its state is logged anyway.
constexpr auto kActivationWait = 1000ms;
} // namespace

AppDelegate::AppDelegate(MainWindowController::Settings settings) : m_settings(std::move(settings))
{}

void AppDelegate::applicationDidFinishLaunching()
{
    m_mainController = std::make_unique<MainWindowController>(std::move(m_settings));
    InstallerWindow *window = &m_mainController->window();
    window->show();
    activate();
    // A window manager makes the window active a moment after it is shown; its state is written
    // once it is, or after a second at most.
    connect(window->windowHandle(), &QWindow::activeChanged, this, [this, window] {
        if (window->isActiveWindow())
            logWindowState();
    });
    QTimer::singleShot(kActivationWait, this, &AppDelegate::logWindowState);
}

void AppDelegate::activate()
{
    if (!m_mainController)
        return;
    InstallerWindow *window = &m_mainController->window();
    if (window->isMinimized())
        window->showNormal();
    window->raise();
    window->activateWindow();
}

void AppDelegate::logWindowState()
{
    if (m_logged)
        return;
    m_logged = true;
    const InstallerWindow *window = m_mainController ? &m_mainController->window() : nullptr;
    const QRect frame = window ? window->frameGeometry() : QRect();
    const qsizetype subviews =
        window ? window->mainView()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).size() : 0;
    const int visible = window && window->isVisible() ? 1 : 0;
    const int key = window && window->isActiveWindow() ? 1 : 0;
    ITLog("UI: window visible=%d key=%d frame=%@ subviews=%lu", visible, key,
          QStringLiteral("{{%1, %2}, {%3, %4}}")
              .arg(frame.x())
              .arg(frame.y())
              .arg(frame.width())
              .arg(frame.height()),
          static_cast<quint64>(subviews));
}
