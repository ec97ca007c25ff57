#include "platform/single_instance.h"

#include <QLocalSocket>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QByteArray kActivate = "activate\n";
constexpr int kBacklog = 8;
// A holder that ends between a refused bind and the connect frees the name: try again.
constexpr int kAttempts = 3;

// The name lives in the abstract namespace: no file that another user could make first or that
// a killed run could leave, and it goes with the process that holds it.
struct Address
{
    sockaddr_un un = {};
    socklen_t length = 0;
};

Address addressOf(const QByteArray &name)
{
    Address a;
    a.un.sun_family = AF_UNIX;
    const auto size = std::min(static_cast<std::size_t>(name.size()), sizeof a.un.sun_path - 1);
    std::memcpy(a.un.sun_path + 1, name.constData(), size);
    a.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
    return a;
}

// Whether the process at the other end of `fd` runs as this user, as the kernel saw it.
bool peerIsThisUser(qintptr fd)
{
    ucred peer = {};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           size == sizeof peer && peer.uid == ::getuid();
}

} // namespace

SingleInstance::SingleInstance(const QString &identifier)
    : m_name(identifier.toUtf8() + '-' + QByteArray::number(::getuid()))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::readRequests);
}

SingleInstance::Claim SingleInstance::claim()
{
    const Address address = addressOf(m_name);
    const auto *name = reinterpret_cast<const sockaddr *>(&address.un);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // Binding the name is the claim: of two starts at the same moment exactly one gets it.
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (server < 0)
            return Claim::NotSure;
        if (::bind(server, name, address.length) == 0 && ::listen(server, kBacklog) == 0 &&
            m_server.listen(server))
            return Claim::Alone;
        const int bindError = errno;
        ::close(server);
        if (bindError != EADDRINUSE)
            return Claim::NotSure;

        const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (client < 0)
            return Claim::NotSure;
        if (::connect(client, name, address.length) != 0) {
            const int connectError = errno;
            ::close(client);
            if (connectError == ECONNREFUSED)
                continue;
            return Claim::NotSure;
        }
        // Another user's process holding the name is not this user's setup, and it cannot be
        // asked anything: this run cannot tell whether it is alone.
        const bool asked = peerIsThisUser(client) &&
                           ::send(client, kActivate.constData(), kActivate.size(), MSG_NOSIGNAL) ==
                               kActivate.size();
        ::close(client);
        return asked ? Claim::AnotherRuns : Claim::NotSure;
    }
    return Claim::NotSure;
}

void SingleInstance::release()
{
    m_server.close();
}

void SingleInstance::readRequests()
{
    while (QLocalSocket *client = m_server.nextPendingConnection()) {
        // Only this user's own starts may bring the window to the front.
        if (!peerIsThisUser(client->socketDescriptor())) {
            delete client;
            continue;
        }
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            while (client->canReadLine()) {
                if (client->readLine() == kActivate)
                    emit activationRequested();
            }
        });
    }
}
