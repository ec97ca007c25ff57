#include "ui/window_chrome.h"

#include <QWidget>

void applyWindowChrome(QWidget *window)
{
    // Only the close button where the window manager honours the hints; the fixed size keeps
    // it from being resized or maximised.
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint);
}
