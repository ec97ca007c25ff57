#pragma once

class QWidget;

// Sets the widget's font to `pixelSize` (weight and family kept) and, while its natural width
// is wider than its frame, lowers the size one pixel at a time, not below
// kMinimumFitPixelSize. Returns the size it settled on.
int fitFontToWidth(QWidget *widget, int pixelSize);

// Sets the widget's font size in pixels, keeping its weight and family.
void setFontPixelSize(QWidget *widget, int pixelSize);

// The widget's natural width is no wider than its frame.
bool textFits(const QWidget *widget);
