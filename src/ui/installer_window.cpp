#include "ui/installer_window.h"

#include "ui/window_chrome.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

InstallerWindow::InstallerWindow(const QSize &contentSize) : QWidget(nullptr)
{
    setFixedSize(contentSize);
    applyWindowChrome(this);
}

void InstallerWindow::center()
{
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

void InstallerWindow::closeEvent(QCloseEvent *event)
{
    if (shouldClose && !shouldClose()) {
        event->ignore();
        return;
    }
    if (willClose)
        willClose();
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
