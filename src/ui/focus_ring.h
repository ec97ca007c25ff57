#pragma once

#include <QPointer>
#include <QWidget>

// The ring in the accent colour around whichever control of the window has the focus, the
// same on the window's own controls as on the system's. It lies around the control, not inside
// it, so the control draws as ever. Like a browser's :focus-visible it shows only once the keyboard
// has moved the focus, and a press of the mouse anywhere in the window hides it again: a window
// used with the mouse alone never shows it.
class FocusRing : public QWidget
{
    Q_OBJECT

public:
    explicit FocusRing(QWidget *window);

    // The control it is around while it shows.
    QWidget *control() const { return isVisible() ? m_control.data() : nullptr; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void follow();

    QWidget *const m_window;
    QPointer<QWidget> m_control;
    double m_radius = 0;
};
