#include "l10n/product.h"
#include "platform/activity_hold.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <utility>

namespace {

// logind keeps an inhibition while any copy of its descriptor is open. The answers are awaited
// by children of the hold: once it goes, answers that arrive later are dropped, and with them
// their descriptors.
class InhibitorLocks : public QObject
{
public:
    void keep(const QDBusUnixFileDescriptor &fd) { m_fds << fd; }

private:
    QList<QDBusUnixFileDescriptor> m_fds;
};

// A login manager that does not answer must not keep a watcher forever.
constexpr int kCallTimeoutMs = 25000;

} // namespace

std::shared_ptr<void> beginActivityHold(const QString &reason)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return nullptr;
    auto locks = std::make_shared<InhibitorLocks>();
    // The system does not go idle while we work; a suspend the user asks for only waits a moment
    // (logind's delay) instead of being refused. Neither call waits on the main thread.
    for (const auto &[what, mode] : {std::pair("idle", "block"), std::pair("sleep", "delay")}) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QString::fromLatin1(what) << Product::displayName << reason
             << QString::fromLatin1(mode);
        auto *watcher =
            new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), locks.get());
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, locks.get(),
                         [held = locks.get(), watcher] {
                             const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
                             if (reply.isValid() && reply.value().isValid())
                                 held->keep(reply.value());
                             watcher->deleteLater();
                         });
    }
    return locks;
}
