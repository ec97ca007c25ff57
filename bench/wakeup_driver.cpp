// Counts the wake-ups of the main thread's event loop with the setup's window shown: idle, then
// during a long download that a loopback HTTPS server paces, for bench/wakeup_bench.sh. It also
// tallies what the loop dispatched during the download, which tells what woke it.
#include "app/main_window_controller.h"
#include "diag/analytics.h"
#include "engine/downloader.h"
#include "test_ca.h"
#include "test_server.h"
#include "ui/installer_window.h"
#include "ui/main_view.h"
#include "ui/progress_bar.h"
#include "ui/settings_panel.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaEnum>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <future>
#include <map>
#include <sys/resource.h>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kChunkBytes = 64 * 1024;
constexpr int kChunkIntervalMs = 50;
constexpr qsizetype kBodyBytes = qsizetype(kChunkBytes) * 20 * 20; // 20 s at that pace
constexpr auto kSettle = 1s; // the first paints of a shown window
constexpr auto kIdleWindow = 5s;
constexpr auto kLeadIn = 3s; // connection, the install view's first paints
constexpr auto kDownloadWindow = 10s;

// How often the kernel has put the calling thread to sleep: in the loop's wait, and in waits for
// a lock or for helper threads inside a pass.
qint64 threadSleeps()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// Counts the loop's wake-ups (awake(), which both dispatchers emit once a pass) and groups the
// real ones by what the main thread dispatched from one sleep to the next, in order: the first
// event is what woke it, the rest follow from it. A sleep is told by the kernel's count of this
// thread's waits between two dispatches, as the glib dispatcher emits aboutToBlock() and
// awake() around a pass whether it slept or not. Events sent from inside a dispatch (paints,
// layout) are its consequences and are left out.
class CountingApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool counting = false;
    qint64 wakeUps = 0;
    std::map<QString, qint64> fromSleep; // what the thread did after a sleep, joined

    void start()
    {
        wakeUps = 0;
        fromSleep.clear();
        m_current.clear();
        m_sleeps = threadSleeps();
        counting = true;
    }
    void stop()
    {
        closeWakeUp();
        counting = false;
    }
    // Connected to the main dispatcher's awake().
    void wokeUp() { wakeUps += counting ? 1 : 0; }

    bool notify(QObject *receiver, QEvent *event) override
    {
        // Objects of the server's thread come through here too.
        if (QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        if (counting && m_depth == 0) {
            if (threadSleeps() != m_sleeps)
                closeWakeUp();
            const QString what = describe(receiver, event);
            if (!m_current.contains(what))
                m_current << what;
        }
        ++m_depth;
        const bool result = QApplication::notify(receiver, event);
        if (--m_depth == 0)
            m_sleeps = threadSleeps();
        return result;
    }

private:
    void closeWakeUp()
    {
        if (!m_current.isEmpty())
            ++fromSleep[m_current.join(u", "_s)];
        m_current.clear();
    }
    static QString describe(const QObject *receiver, const QEvent *event)
    {
        const char *type = QMetaEnum::fromType<QEvent::Type>().valueToKey(event->type());
        QString text = (type ? QString::fromLatin1(type) : QString::number(event->type())) +
                       u" -> "_s + QString::fromLatin1(receiver->metaObject()->className());
        // Which timer: the interval names it (the slides turn every 3.5 s).
        if (const auto *timer = qobject_cast<const QTimer *>(receiver))
            text += u" of %1 ms"_s.arg(timer->interval());
        return text;
    }

    QStringList m_current; // dispatched since the last sleep
    qint64 m_sleeps = 0;   // the thread's waits when its last dispatch ended
    int m_depth = 0;
};

void runLoopFor(std::chrono::milliseconds length)
{
    QEventLoop loop;
    QTimer::singleShot(length, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Tally
{
    double seconds = 0;
    qint64 wakeUps = 0; // passes of the loop
    qint64 sleeps = 0;
    std::map<QString, qint64> fromSleep;

    // What the target is about: how often the loop, asleep, was woken.
    double fromSleepPerSecond() const
    {
        qint64 n = 0;
        for (const auto &entry : fromSleep)
            n += entry.second;
        return double(n) / seconds;
    }
};

// The timer that ends the window wakes the loop once more; at one in several seconds it stays
// well below the figures' precision.
Tally measure(CountingApplication &app, std::chrono::milliseconds length)
{
    const qint64 sleeps = threadSleeps();
    QElapsedTimer clock;
    clock.start();
    app.start();
    runLoopFor(length);
    app.stop();
    return {static_cast<double>(clock.nsecsElapsed()) / 1e9, app.wakeUps, threadSleeps() - sleeps,
            app.fromSleep};
}

// The rates, then what the thread did after each sleep, most frequent first.
void print(const char *name, const Tally &t)
{
    std::printf("%-13s %5.1f wake-ups/s from sleep, %.1f passes of the loop/s (the thread blocked "
                "%.1f times/s, waits inside a pass included) over %.1f s\n",
                name, t.fromSleepPerSecond(), double(t.wakeUps) / t.seconds,
                double(t.sleeps) / t.seconds, t.seconds);
    std::vector<std::pair<qint64, QString>> causes;
    for (const auto &[what, count] : t.fromSleep)
        causes.emplace_back(count, what);
    std::sort(causes.rbegin(), causes.rend());
    for (const auto &[count, what] : causes)
        std::printf("  %6.1f/s  %s\n", double(count) / t.seconds, qPrintable(what));
}

// The loopback server on a thread of its own, so that its sockets and pacing timer never wake
// the main thread being measured.
class ServerThread : public QThread
{
public:
    std::promise<QString> baseUrl;

protected:
    void run() override
    {
        TestServer server;
        server.setRoute("/quorvel.dmg", {.body = QByteArray(kBodyBytes, 'q'),
                                         .chunkBytes = kChunkBytes,
                                         .chunkIntervalMs = kChunkIntervalMs});
        baseUrl.set_value(server.url(QString()));
        exec();
    }
};

} // namespace

int main(int argc, char **argv)
{
    CountingApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &app,
                     [&app] { app.wokeUp(); });
    ITSetAnalyticsSettings({}); // no secret: events are only logged, nothing is sent

    QTemporaryDir dir;
    const QString caFile = TestCa::instance().caFile; // made here, before the server needs it
    ServerThread server;
    std::future<QString> baseUrl = server.baseUrl.get_future();
    server.start();

    MainWindowController::Settings s;
    SetupFlow::Settings &f = s.flow;
    f.downloadBaseUrl = baseUrl.get();
    f.websiteBaseUrl = u"https://127.0.0.1:9"_s;
    f.caFile = caFile;
    f.temporaryFolder = dir.path();
    // The download outlasts the benchmark: the installer never runs these.
    f.tools = {dir.filePath(u"hdiutil"_s), dir.filePath(u"xattr"_s), dir.filePath(u"osascript"_s),
               dir.filePath(u"ditto"_s)};
    bool ended = false;
    f.platform = {[](const QUrl &) { return true; },
                  [](const QString &) { return true; },
                  [](const QString &) { return std::shared_ptr<void>(); },
                  [] { return false; },
                  [&ended] { ended = true; },
                  {}};
    s.dialogs = {[](QWidget *, const QString &, const QString &, Dialogs::AlertStyle) {},
                 [](QWidget *, const QString &, const QString &) { return true; }, [] {},
                 [](QWidget *, const QString &, const QString &) { return std::nullopt; }};
    auto controller = std::make_unique<MainWindowController>(s);
    controller->window().settingsPanel()->setFolderText(dir.filePath(u"Applications"_s));
    controller->window().show();
    runLoopFor(kSettle);
    const Tally idle = measure(app, kIdleWindow);

    emit controller->window().mainView()->installClicked();
    runLoopFor(kLeadIn);
    const double percentBefore = controller->flow().progressValue() / 10;
    const Tally download = measure(app, kDownloadWindow);
    const double percentAfter = controller->flow().progressValue() / 10;
    const bool inFlight = controller->flow().phase() == SetupFlow::Phase::Downloading;

    // Leaving, as a user who confirms: the transfer is cancelled, and the setup ends once its
    // completion has come back here.
    controller->window().close();
    QElapsedTimer clock;
    clock.start();
    while (!ended && clock.elapsed() < 10000)
        runLoopFor(20ms);
    controller.reset();
    server.quit();
    server.wait();

    if (!inFlight || percentAfter <= percentBefore) {
        std::fprintf(stderr,
                     "the download did not run through the whole window (%.0f %% to %.0f "
                     "%%, in flight: %d)\n",
                     percentBefore, percentAfter, inFlight ? 1 : 0);
        return 1;
    }
    std::printf("after each sleep, what the main loop dispatched until the next, the first event "
                "being what woke it:\n");
    print("idle window:", idle);
    print("download:", download);
    std::printf("  the bar went from %.0f %% to %.0f %% meanwhile\n", percentBefore, percentAfter);
    std::printf("wakeups_download=%.2f wakeups_idle=%.2f\n", download.fromSleepPerSecond(),
                idle.fromSleepPerSecond());
    return 0;
}
