#pragma once

#include <QPoint>
#include <QWidget>

#include <functional>
#include <optional>

class FinishView;
class InstallView;
class MainView;
class RoundedButton;
class SettingsPanel;
struct UIStrings;

// The setup's one top-level window: the main view as its content, the settings panel that
// grows the window downwards (its link opens and closes it), and the install and finish views
// that cover the main view (Hide minimizes). A fixed size that only it changes, moved by
// dragging any part of its background that does not take the press itself. Whoever owns it
// decides whether a close may go ahead.
//
// The keyboard reaches every control of the view that shows, in reading order, with Tab and
// Shift+Tab; Return and Enter press the view's default button, Escape closes as the close
// button does. When a view comes to show, its main button takes the focus.
class InstallerWindow : public QWidget
{
    Q_OBJECT

public:
    explicit InstallerWindow(const QString &resourcesFolder);

    MainView *mainView() const { return m_mainView; }
    SettingsPanel *settingsPanel() const { return m_settingsPanel; }
    InstallView *installView() const { return m_installView; }
    FinishView *finishView() const { return m_finishView; }

    // Every text of every view, in one language.
    void relabel(const UIStrings &strings);
    // Opens or closes the settings panel. The window grows and shrinks at its bottom edge.
    void settingsClicked();
    bool settingsShown() const { return m_settingsShown; }
    // The install view over the main view, the slideshow from its start; or the main view.
    void showInstallView(bool show);
    bool installViewShown() const { return m_installShown; }
    // The finish view over the others, which go.
    void showFinishView();
    // Moves the window to the middle of its screen's free area.
    void center();

    // `shouldClose` is asked before the window closes; without it every close goes ahead.
    // `willClose` is told once the close has been let through, before the window goes.
    void setCloseHandlers(std::function<bool()> shouldClose, std::function<void()> willClose);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    // The controls of the view that shows, in reading order; and its default button.
    QList<QWidget *> keyboardOrder() const;
    RoundedButton *defaultButton() const;

    MainView *m_mainView;
    SettingsPanel *m_settingsPanel;
    InstallView *m_installView;
    FinishView *m_finishView;
    bool m_settingsShown = false;
    bool m_installShown = false;
    std::function<bool()> m_shouldClose;
    std::function<void()> m_willClose;
    std::optional<QPoint> m_dragOffset; // pointer's offset from the window while we move it
};
