#include "ui/installer_window.h"

#include "ui/accessibility.h"
#include "ui/colors.h"
#include "ui/finish_view.h"
#include "ui/install_view.h"
#include "ui/main_view.h"
#include "ui/settings_panel.h"
#include "ui/window_chrome.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

InstallerWindow::InstallerWindow(const QString &resourcesFolder) : QWidget(nullptr)
{
    installAccessibility();
    setFixedSize(WindowGeometry::width, WindowGeometry::height);
    applyWindowChrome(this);
    // Later views lie on top of earlier ones.
    m_mainView = new MainView(resourcesFolder, this);
    m_settingsPanel = new SettingsPanel(m_mainView);
    m_installView = new InstallView(resourcesFolder, m_mainView);
    m_finishView = new FinishView(resourcesFolder, m_mainView);
    // What the window does by itself: the settings link opens and closes the panel, Hide
    // minimizes.
    connect(m_mainView, &MainView::settingsClicked, this, &InstallerWindow::settingsClicked);
    connect(m_installView, &InstallView::hideClicked, this, &QWidget::showMinimized);
}

void InstallerWindow::relabel(const UIStrings &strings)
{
    m_mainView->relabel(strings);
    m_settingsPanel->relabel(strings);
    m_installView->relabel(strings);
    m_finishView->relabel(strings);
}

void InstallerWindow::settingsClicked()
{
    m_settingsShown = !m_settingsShown;
    // The window grows and shrinks at its bottom edge; its top edge and the main view's
    // controls stay where they are on the screen.
    const int newHeight =
        WindowGeometry::height + (m_settingsShown ? WindowGeometry::settingsHeight : 0);
    m_settingsPanel->setVisible(m_settingsShown);
    setFixedSize(width(), newHeight);
    m_mainView->setGeometry(0, 0, m_mainView->width(), newHeight);
    m_mainView->update();
}

void InstallerWindow::showInstallView(bool show)
{
    m_installShown = show;
    if (!show) {
        m_installView->stopSlideshow();
        m_installView->hide();
        return;
    }
    if (m_settingsShown)
        settingsClicked();
    m_installView->startSlideshow();
    m_installView->show();
    m_installView->raise();
}

void InstallerWindow::showFinishView()
{
    m_finishView->show();
    m_finishView->raise();
}

void InstallerWindow::center()
{
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

void InstallerWindow::setCloseHandlers(std::function<bool()> shouldClose,
                                       std::function<void()> willClose)
{
    m_shouldClose = std::move(shouldClose);
    m_willClose = std::move(willClose);
}

void InstallerWindow::closeEvent(QCloseEvent *event)
{
    if (m_shouldClose && !m_shouldClose()) {
        event->ignore();
        return;
    }
    if (m_willClose)
        m_willClose();
    event->accept();
}

void InstallerWindow::mousePressEvent(QMouseEvent *event)
{
    // Presses that no control took arrive here: the background moves the window. The window
    // manager does the move where it can; otherwise the window follows the pointer itself.
    if (event->button() != Qt::LeftButton)
        return;
    if (windowHandle() && windowHandle()->startSystemMove())
        return;
    m_dragOffset = event->globalPosition().toPoint() - pos();
}

void InstallerWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (m_dragOffset && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - *m_dragOffset);
}

void InstallerWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        m_dragOffset.reset();
}
