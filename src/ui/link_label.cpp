#include "ui/link_label.h"

#include <QMouseEvent>
#include <QStyle>

LinkLabel::LinkLabel(QWidget *parent) : QLabel(parent)
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void LinkLabel::mousePressEvent(QMouseEvent *event)
{
    // Taken even when it is not the left button: a link is not a handle to move the window by.
    m_pressed = event->button() == Qt::LeftButton;
}

void LinkLabel::mouseReleaseEvent(QMouseEvent *event)
{
    const bool fire = m_pressed && event->button() == Qt::LeftButton &&
                      QRectF(rect()).contains(event->position());
    m_pressed = false;
    if (fire)
        emit clicked();
}

void LinkLabel::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            emit clicked();
        break;
    default:
        QLabel::keyPressEvent(event);
    }
}

QRect LinkLabel::textFrame() const
{
    return style()->itemTextRect(fontMetrics(), contentsRect(), int(alignment()), true, text());
}
