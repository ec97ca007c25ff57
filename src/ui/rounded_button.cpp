#include "ui/rounded_button.h"

#include "ui/fonts.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

RoundedButton::RoundedButton(const QRect &frame, QWidget *parent) : QWidget(parent)
{
    setGeometry(frame);
    // A press on a disabled button is consumed, not handed to the window to move it.
    setAttribute(Qt::WA_NoMousePropagation);
    setFocusPolicy(Qt::StrongFocus);
    setFont(titleFont());
}

void RoundedButton::setTitle(const QString &title)
{
    m_title = title;
    updateGeometry();
    update();
}

void RoundedButton::setFontSize(double size)
{
    m_fontSize = size;
    setFont(titleFont());
    updateGeometry();
}

QFont RoundedButton::titleFont() const
{
    return systemFont(m_fontSize);
}

QSize RoundedButton::sizeHint() const
{
    // The title and a margin of half the pill's height on each side, where the corners bend.
    const QFontMetrics metrics(titleFont());
    return {metrics.horizontalAdvance(m_title) + height(), metrics.height()};
}

void RoundedButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor fill = !isEnabled() ? m_disabledColor : m_hover ? m_hoverColor : m_fillColor;
    const double radius = m_cornerRadius > 0 ? m_cornerRadius : height() / 2.0;
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), radius, radius);
    painter.fillPath(path, fill);

    // White in every state; centred across the width and on the title's own height.
    painter.setFont(titleFont());
    painter.setPen(Qt::white);
    const int h = painter.fontMetrics().height();
    painter.drawText(QRectF(0, (height() - h) / 2.0, width(), h), Qt::AlignHCenter | Qt::AlignTop,
                     m_title);
}

void RoundedButton::enterEvent(QEnterEvent *)
{
    m_hover = true;
    update();
    if (isEnabled())
        setCursor(Qt::PointingHandCursor);
}

void RoundedButton::leaveEvent(QEvent *)
{
    m_hover = false;
    update();
    setCursor(Qt::ArrowCursor);
}

void RoundedButton::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton;
}

void RoundedButton::mouseReleaseEvent(QMouseEvent *event)
{
    // Only where the button is let go counts: leaving and coming back before the release fires.
    const QPointF at = event->position();
    const bool inside = at.x() >= 0 && at.x() < width() && at.y() >= 0 && at.y() < height();
    const bool fire = m_pressed && event->button() == Qt::LeftButton && inside && isEnabled();
    m_pressed = false;
    if (fire)
        emit clicked();
}

void RoundedButton::click()
{
    if (isEnabled() && isVisible())
        emit clicked();
}

void RoundedButton::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat())
        click();
    else
        QWidget::keyPressEvent(event);
}
