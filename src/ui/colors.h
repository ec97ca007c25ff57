#pragma once

#include <QColor>

// The window's colours, sRGB.
namespace Colors {
inline const QColor background{245, 245, 245};
inline const QColor text{51, 51, 51};
inline const QColor brand{59, 54, 99};
inline const QColor detail{128, 128, 128}; // a grey of 50 % white
inline const QColor link{62, 123, 250};
inline const QColor focusRing{62, 123, 250}; // the system's accent
inline const QColor teal{0, 175, 168};
inline const QColor tealHover{0, 149, 143};
inline const QColor settingsBackground{247, 249, 251};
inline const QColor slidePanel{220, 237, 251};
} // namespace Colors

// The window's fixed geometry, in points.
namespace WindowGeometry {
inline constexpr int width = 640;
inline constexpr int height = 368;
inline constexpr int settingsHeight = 148; // added below while the settings panel is open
} // namespace WindowGeometry
