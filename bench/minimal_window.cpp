// The reference of the start-up benchmark: the least a Qt Widgets program does to put a window
// of the setup's size on the screen. It prints the moment the window is shown and active in the
// setup's log line format, so bench/startup_bench.sh reads both programs the same way.
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <ctime>

namespace {

// Taken when the window is up, printed afterwards: the same clock, local time and millisecond
// truncation as the setup's log stamps.
timespec gVisibleAt{};
bool gPrinted = false;

void printVisible(const QWidget &window)
{
    if (gPrinted)
        return;
    gPrinted = true;
    clock_gettime(CLOCK_REALTIME, &gVisibleAt);
    tm local{};
    localtime_r(&gVisibleAt.tv_sec, &local);
    std::printf("%04d-%02d-%02d %02d:%02d:%02d.%03d  UI: window visible=%d key=%d\n",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(gVisibleAt.tv_nsec / 1000000),
                window.isVisible() ? 1 : 0, window.isActiveWindow() ? 1 : 0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(640, 368);
    window.show();
    window.raise();
    window.activateWindow();
    // As the setup does: the moment it is active, or after a second at most.
    QObject::connect(window.windowHandle(), &QWindow::activeChanged, &window, [&window] {
        if (window.isActiveWindow())
            printVisible(window);
    });
    QTimer::singleShot(1000, &window, [&window] { printVisible(window); });
    return app.exec();
}
