#include "engine/main_thread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QRunnable>
#include <QThreadPool>

#include <mutex>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// Qt hands a posted event or a pool job to the next thread under its own locks, which a
// ThreadSanitizer build cannot see: Qt is not built for it. These tell it what Qt guarantees,
// for the objects handed over here: all that was written before the hand-off is visible after
// the take-over. In other builds they are nothing.
void handOff([[maybe_unused]] void *object)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(object);
#endif
}

void takeOver([[maybe_unused]] void *object)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(object);
#endif
}

// Built whole before it is handed off, so that nothing in it is written afterwards.
class CallEvent : public QEvent
{
public:
    explicit CallEvent(std::function<void()> fn) : QEvent(type()), m_fn(std::move(fn)) {}
    ~CallEvent() override { takeOver(this); } // also when dropped unrun
    CallEvent(const CallEvent &) = delete;
    CallEvent &operator=(const CallEvent &) = delete;

    static QEvent::Type type()
    {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    void run() { m_fn(); }

private:
    std::function<void()> m_fn;
};

// Lives on the main thread and runs what is posted to it.
class MainThreadCalls : public QObject
{
public:
    bool event(QEvent *e) override
    {
        takeOver(e);
        if (e->type() != CallEvent::type())
            return QObject::event(e);
        static_cast<CallEvent *>(e)->run();
        return true;
    }
};

std::mutex gReceiverMutex;
MainThreadCalls *gReceiver = nullptr; // of the application object there is

MainThreadCalls *receiverLocked(QCoreApplication *app)
{
    if (!gReceiver) {
        gReceiver = new MainThreadCalls;
        gReceiver->moveToThread(app->thread());
        // Calls still queued go with the application, unrun, as events posted to it would.
        QObject::connect(app, &QObject::destroyed, [] {
            const std::lock_guard lock(gReceiverMutex);
            delete gReceiver;
            gReceiver = nullptr;
        });
    }
    return gReceiver;
}

class PoolJob : public QRunnable
{
public:
    explicit PoolJob(std::function<void()> fn) : m_fn(std::move(fn)) {}
    void run() override
    {
        takeOver(this);
        m_fn();
    }

private:
    std::function<void()> m_fn;
};

} // namespace

void postToMainThread(std::function<void()> fn)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    auto *call = new CallEvent(std::move(fn));
    handOff(call);
    const std::lock_guard lock(gReceiverMutex);
    QCoreApplication::postEvent(receiverLocked(app), call);
}

void runOnPool(std::function<void()> fn)
{
    auto *job = new PoolJob(std::move(fn));
    handOff(job);
    QThreadPool::globalInstance()->start(job);
}
