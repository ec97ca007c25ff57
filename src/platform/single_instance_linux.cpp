#include "platform/paths.h"
#include "platform/single_instance.h"

#include <QFile>
#include <QLocalSocket>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QByteArray kActivate = "activate\n";
constexpr int kBacklog = 8;

// The name lives in the abstract namespace, which any user can bind first: it only brings the
// first window to the front. Who runs is decided by the lock.
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

// Takes the lock on a file that only this user can reach: in a private folder of the user's own
// below the state folder (not the runtime folder, which differs between sessions). True: taken;
// false: held by another run; absent: no lock to trust.
std::optional<bool> takeLock(const QString &identifier, std::shared_ptr<void> &lock)
{
    const QByteArray folder = QFile::encodeName(Paths::stateFolder() + u'/' + identifier);
    // What is missing is made private, as XDG asks of the state folder.
    for (qsizetype end = folder.indexOf('/', 1); end > 0; end = folder.indexOf('/', end + 1))
        ::mkdir(folder.left(end).constData(), 0700);
    ::mkdir(folder.constData(), 0700);
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st = {};
    // No one else may put a file here, nor open this one to hold the lock.
    const bool privateFolder =
        dir >= 0 && ::fstat(dir, &st) == 0 && st.st_uid == ::getuid() && (st.st_mode & 022) == 0;
    // Close-on-exec: the product started at the end would otherwise keep the lock.
    const int fd = privateFolder ? ::openat(dir, "instance.lock",
                                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)
                                 : -1;
    if (dir >= 0)
        ::close(dir);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? std::optional<bool>(false) : std::nullopt;
    }
    lock = std::shared_ptr<void>(nullptr, [fd](void *) { ::close(fd); });
    return true;
}

// Asks the process listening on the name to come to the front, if it is this user's.
bool askToComeForward(const Address &address)
{
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const bool asked =
        client >= 0 &&
        ::connect(client, reinterpret_cast<const sockaddr *>(&address.un), address.length) == 0 &&
        peerIsThisUser(client) &&
        ::send(client, kActivate.constData(), kActivate.size(), MSG_NOSIGNAL) == kActivate.size();
    if (client >= 0)
        ::close(client);
    return asked;
}

} // namespace

SingleInstance::SingleInstance(const QString &identifier)
    : m_identifier(identifier), m_name(identifier.toUtf8() + '-' + QByteArray::number(::getuid()))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::readRequests);
}

SingleInstance::Claim SingleInstance::claim()
{
    const Address address = addressOf(m_name);
    const std::optional<bool> locked = takeLock(m_identifier, m_lock);
    if (locked == false) {
        askToComeForward(address);
        return Claim::AnotherRuns;
    }
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool listening =
        server >= 0 &&
        ::bind(server, reinterpret_cast<const sockaddr *>(&address.un), address.length) == 0 &&
        ::listen(server, kBacklog) == 0 && m_server.listen(server);
    if (!listening && server >= 0)
        ::close(server);
    // The lock holder runs even when another user holds the name: it just cannot be raised.
    if (locked)
        return Claim::Alone;
    // Without a lock to go by, a run of this user's listening on the name is the only sign.
    return !listening && askToComeForward(address) ? Claim::AnotherRuns : Claim::NotSure;
}

void SingleInstance::release()
{
    // The lock first: a start in between runs as a new setup, just not one that can be raised.
    m_lock.reset();
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
