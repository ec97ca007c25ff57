#include "ui/dots_view.h"

#include <QMouseEvent>
#include <QPainter>

namespace {
constexpr double kDot = 8;
constexpr double kPitch = 16; // a dot and the gap after it
} // namespace

DotsView::DotsView(const QRect &frame, QWidget *parent) : QWidget(parent)
{
    setGeometry(frame);
    setFocusPolicy(Qt::StrongFocus);
}

void DotsView::setActiveIndex(int index)
{
    m_activeIndex = index;
    update();
}

QPointF DotsView::origin() const
{
    const double row = m_count * kDot + (m_count - 1) * kDot;
    return {(width() - row) / 2, (height() - kDot) / 2};
}

int DotsView::dotAt(double x) const
{
    // Truncated toward zero, so a click up to one pitch left of the first dot still picks it.
    const int index = static_cast<int>((x - origin().x()) / kPitch);
    return index >= 0 && index < m_count ? index : -1;
}

void DotsView::paintEvent(QPaintEvent *)
{
    if (m_count <= 0)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QPointF o = origin();
    for (int i = 0; i < m_count; ++i) {
        painter.setBrush(i == m_activeIndex ? QColor(0, 175, 168) : QColor(208, 208, 208));
        painter.drawEllipse(QRectF(o.x() + kPitch * i, o.y(), kDot, kDot));
    }
}

void DotsView::mousePressEvent(QMouseEvent *event)
{
    // The other buttons open menus or paste; they do not turn the slides.
    if (event->button() != Qt::LeftButton)
        return;
    const int index = dotAt(event->position().x());
    if (index >= 0 && onSelect)
        onSelect(index);
}

void DotsView::keyPressEvent(QKeyEvent *event)
{
    const int step = event->key() == Qt::Key_Left ? -1 : event->key() == Qt::Key_Right ? 1 : 0;
    const int index = m_activeIndex + step;
    if (step == 0 || index < 0 || index >= m_count) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (onSelect)
        onSelect(index);
}
