#include "l10n/product.h"
#include "platform/activity_hold.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

namespace {

// logind keeps the inhibition while any copy of this descriptor is open.
struct InhibitorLock
{
    QDBusUnixFileDescriptor fd;
};

// A login manager that does not answer must not hold up the setup.
constexpr int kCallTimeoutMs = 2000;

} // namespace

std::shared_ptr<void> beginActivityHold(const QString &reason)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return nullptr;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << Product::displayName << reason
         << QStringLiteral("block");
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return nullptr;
    const auto fd = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    if (!fd.isValid())
        return nullptr;
    return std::make_shared<InhibitorLock>(InhibitorLock{fd});
}
