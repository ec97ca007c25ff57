#include "ui/focus_ring.h"

#include "ui/colors.h"

#include <QPainter>
#include <QPen>
#include <QWidget>

namespace FocusRing {

namespace {
constexpr double kWidth = 2;
} // namespace

bool shown(const QWidget *control)
{
    // Qt marks the window when Tab or a shortcut moves the focus; the window clears the mark
    // when the mouse is pressed in it.
    return control->hasFocus() && control->window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void paint(QPainter &painter, const QRectF &frame, double radius)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Colors::focusRing, kWidth));
    painter.setBrush(Qt::NoBrush);
    const double inset = kWidth / 2;
    const QRectF ring = frame.adjusted(inset, inset, -inset, -inset);
    const double r = std::max(0.0, std::min(radius, ring.height() / 2) - inset);
    painter.drawRoundedRect(ring, r, r);
    painter.restore();
}

} // namespace FocusRing
