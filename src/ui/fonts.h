#pragma once

#include <QFont>

// The system interface font at a size in device-independent pixels (the window's points).
QFont systemFont(double pixelSize, bool bold = false);

// The smallest size a text is shrunk to when it does not fit its control.
inline constexpr int kMinimumFitPixelSize = 9;
