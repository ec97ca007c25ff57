#pragma once

#include <QPoint>
#include <QWidget>

#include <functional>
#include <optional>

// The setup's one top-level window: a fixed size that only its owner changes, moved by
// dragging any part of its background that does not take the press itself. Its owner decides
// whether a close may go ahead and hears when it does.
class InstallerWindow : public QWidget
{
    Q_OBJECT

public:
    explicit InstallerWindow(const QSize &contentSize);

    // Moves the window to the middle of its screen's free area.
    void center();

    // Asked before the window closes; without it every close goes ahead.
    std::function<bool()> shouldClose;
    // Told once the close has been let through, before the window goes.
    std::function<void()> willClose;

protected:
    void closeEvent(QCloseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    std::optional<QPoint> m_dragOffset; // pointer's offset from the window while we move it
};
