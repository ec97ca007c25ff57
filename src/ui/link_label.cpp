#include "ui/link_label.h"

#include <QMouseEvent>

LinkLabel::LinkLabel(QWidget *parent) : QLabel(parent)
{
    setCursor(Qt::PointingHandCursor);
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
