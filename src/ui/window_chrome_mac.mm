#include "ui/window_chrome.h"

#include <QWidget>

#import <AppKit/AppKit.h>

void applyWindowChrome(QWidget *window)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    // The content spans the whole window under a transparent title bar; the title is set but
    // not shown, and of the standard buttons only the close button stays.
    NSView *view = reinterpret_cast<NSView *>(window->winId());
    NSWindow *nsWindow = view.window;
    nsWindow.styleMask |= NSWindowStyleMaskFullSizeContentView;
    nsWindow.titlebarAppearsTransparent = YES;
    nsWindow.titleVisibility = NSWindowTitleHidden;
    nsWindow.movableByWindowBackground = YES;
    [nsWindow standardWindowButton:NSWindowMiniaturizeButton].hidden = YES;
    [nsWindow standardWindowButton:NSWindowZoomButton].hidden = YES;
}
