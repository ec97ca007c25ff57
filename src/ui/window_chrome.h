#pragma once

class QWidget;

// Gives the setup window its platform look: a titled window with only a close button that
// cannot be resized. On macOS the content also runs under a transparent title bar whose title
// is hidden.
void applyWindowChrome(QWidget *window);
