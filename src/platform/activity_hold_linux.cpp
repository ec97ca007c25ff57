#include "l10n/product.h"
#include "platform/activity_hold.h"

#include <QDBusAbstractInterface>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

namespace {

// A login manager that does not answer must not keep a watcher forever.
constexpr int kCallTimeoutMs = 25000;

// logind's manager as far as the hold needs it. Made without introspection, so nothing waits.
class LoginManager : public QDBusAbstractInterface
{
    Q_OBJECT

public:
    explicit LoginManager(const QDBusConnection &bus, QObject *parent)
        : QDBusAbstractInterface(QStringLiteral("org.freedesktop.login1"),
                                 QStringLiteral("/org/freedesktop/login1"),
                                 "org.freedesktop.login1.Manager", bus, parent)
    {
        setTimeout(kCallTimeoutMs);
    }

signals:
    // Relayed from the bus once connected to: the system is about to sleep (true) or has woken.
    void PrepareForSleep(bool start);
};

// logind keeps an inhibition while any copy of its descriptor is open. The answers are awaited
// by children of the hold: once it goes, answers that arrive later are dropped, and with them
// their descriptors.
class InhibitorLocks : public QObject
{
    Q_OBJECT

public:
    InhibitorLocks(const QDBusConnection &bus, const QString &reason)
        : m_manager(new LoginManager(bus, this)), m_reason(reason)
    {
        // The system does not go idle while we work. A suspend the user asks for is not refused:
        // it waits only until the delay lock is let go, which happens as soon as it is announced.
        ask(kIdle, QStringLiteral("block"));
        ask(kSleep, QStringLiteral("delay"));
        connect(m_manager, &LoginManager::PrepareForSleep, this, [this](bool start) {
            ++m_sleepRound; // an answer still on its way belongs to the round before
            m_sleep = {};
            if (!start)
                ask(kSleep, QStringLiteral("delay"));
        });
    }

private:
    static constexpr QLatin1StringView kIdle{"idle"}, kSleep{"sleep"};

    void ask(QLatin1StringView what, const QString &mode)
    {
        auto *watcher = new QDBusPendingCallWatcher(
            m_manager->asyncCall(QStringLiteral("Inhibit"), QString(what), Product::displayName,
                                 m_reason, mode),
            this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, watcher, what, round = m_sleepRound] {
                    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
                    if (reply.isValid() && what == kIdle)
                        m_idle = reply.value();
                    else if (reply.isValid() && round == m_sleepRound)
                        m_sleep = reply.value();
                    watcher->deleteLater();
                });
    }

    LoginManager *m_manager;
    const QString m_reason;
    QDBusUnixFileDescriptor m_idle, m_sleep;
    int m_sleepRound = 0;
};

} // namespace

std::shared_ptr<void> beginActivityHold(const QString &reason)
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return nullptr;
    return std::make_shared<InhibitorLocks>(bus, reason);
}

#include "activity_hold_linux.moc"
