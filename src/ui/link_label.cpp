#include "ui/link_label.h"

#include "ui/focus_ring.h"

#include <QMouseEvent>
#include <QPainter>
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

void LinkLabel::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (!FocusRing::shown(this))
        return;
    // Around the text where it stands, not the whole frame: a centred link is as wide as the
    // window.
    const QRect text =
        style()->itemTextRect(fontMetrics(), contentsRect(), int(alignment()), true, this->text());
    QPainter painter(this);
    FocusRing::paint(painter, QRectF(text.adjusted(-3, -1, 3, 1)).intersected(QRectF(rect())), 3);
}
