#include "ui/flipped_view.h"

#include <QPaintEvent>
#include <QPainter>

FlippedView::FlippedView(const QRect &frame, QWidget *parent) : QWidget(parent)
{
    setGeometry(frame);
}

void FlippedView::setBackgroundColor(std::optional<QColor> color)
{
    m_backgroundColor = color;
    update();
}

void FlippedView::setBorderColor(std::optional<QColor> color)
{
    m_borderColor = color;
    update();
}

void FlippedView::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    if (m_backgroundColor) {
        // Replaces what lies beneath: a translucent fill is not blended.
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(event->rect(), *m_backgroundColor);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    if (m_borderColor) {
        // A 1-point line on the outermost row of points inside the bounds, square at the
        // corners: four strips, so that no corner is left half covered.
        const int w = width(), h = height();
        for (const QRect strip : {QRect(0, 0, w, 1), QRect(0, h - 1, w, 1), QRect(0, 1, 1, h - 2),
                                  QRect(w - 1, 1, 1, h - 2)})
            painter.fillRect(strip, *m_borderColor);
    }
}
