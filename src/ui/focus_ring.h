#pragma once

#include <QRectF>

class QPainter;
class QWidget;

// The ring that shows which of the window's own controls has the focus. Like a browser's
// :focus-visible, it shows only once the keyboard has moved the focus: a window used with
// the mouse alone never shows it.
namespace FocusRing {

bool shown(const QWidget *control);
// Strokes the ring just inside `frame`, with corners of `radius`.
void paint(QPainter &painter, const QRectF &frame, double radius);

} // namespace FocusRing
