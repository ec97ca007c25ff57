#include "ui/installer_window.h"

#include "ui/accessibility.h"
#include "ui/colors.h"
#include "ui/finish_view.h"
#include "ui/focus_ring.h"
#include "ui/install_view.h"
#include "ui/main_view.h"
#include "ui/rounded_button.h"
#include "ui/settings_panel.h"
#include "ui/window_chrome.h"

#include <QCloseEvent>
#include <QKeyEvent>
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
    // Install, not the accept box, where Space would untick it.
    m_mainView->mainButton()->setFocus();
    new FocusRing(this);
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
    // The focus goes to the view that comes before the other goes, so that it never passes
    // through a control on its way out: a screen reader would speak each one.
    m_installShown = show;
    const bool finished = m_finishView->isVisibleTo(this);
    if (!show) {
        m_mainView->setCovered(finished);
        if (!finished)
            m_mainView->mainButton()->setFocus();
        m_installView->stopSlideshow();
        m_installView->hide();
        return;
    }
    if (m_settingsShown)
        settingsClicked();
    m_installView->startSlideshow();
    m_installView->show();
    m_installView->raise();
    m_installView->mainButton()->setFocus();
    m_mainView->setCovered(true);
}

void InstallerWindow::showFinishView()
{
    m_finishView->show();
    m_finishView->raise();
    m_finishView->mainButton()->setFocus();
    m_mainView->setCovered(true);
    if (m_installShown)
        showInstallView(false);
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

QList<QWidget *> InstallerWindow::keyboardOrder() const
{
    if (m_finishView->isVisibleTo(this))
        return {m_finishView->mainButton()};
    if (m_installShown)
        return m_installView->keyboardOrder();
    return m_mainView->keyboardOrder(m_settingsPanel->keyboardOrder());
}

RoundedButton *InstallerWindow::defaultButton() const
{
    // Install stays locked while the install view shows.
    return m_finishView->isVisibleTo(this) ? m_finishView->mainButton() : m_mainView->mainButton();
}

bool InstallerWindow::focusNextPrevChild(bool next)
{
    // Only what shows and takes the focus; the covered main view keeps its controls enabled.
    QList<QWidget *> order;
    for (QWidget *control : keyboardOrder())
        if (control->isVisibleTo(this) && control->isEnabled() &&
            (control->focusPolicy() & Qt::TabFocus))
            order << control;
    if (order.isEmpty())
        return false;
    const qsizetype count = order.size();
    const qsizetype at = order.indexOf(focusWidget());
    const qsizetype to = at < 0 ? (next ? 0 : count - 1) : (at + (next ? 1 : count - 1)) % count;
    order[to]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void InstallerWindow::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (RoundedButton *button = defaultButton(); button && !event->isAutoRepeat())
            button->click();
        break;
    case Qt::Key_Escape:
        // Held down, it would ask again, or log the refusal, at every repeat.
        if (!event->isAutoRepeat())
            close();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}
