#include "platform/single_instance.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 1000;
const QByteArray kActivate = "activate\n";

// A folder that only this user can enter: someone else could otherwise put a socket there first
// and keep the setup from ever starting.
bool isPrivateFolder(const QString &path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

// The user's runtime folder; without one, a folder of the user's own in the temporary folder.
// Empty when neither is private.
QString channelFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime))
        return runtime;
    const QString own =
        QDir::tempPath() + QStringLiteral("/quorvel-instance-") + QString::number(::getuid());
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    return isPrivateFolder(own) ? own : QString();
}

} // namespace

SingleInstance::SingleInstance(const QString &identifier)
{
    const QString folder = channelFolder();
    if (!folder.isEmpty())
        m_name = folder + u'/' + identifier + u'-' + QString::number(::getuid());
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::readRequests);
}

bool SingleInstance::claim()
{
    // Without a private place for the name, running twice is better than not running at all.
    if (m_name.isEmpty())
        return true;
    // Two starts at the same moment take turns, so exactly one of them ends up listening.
    QLockFile lock(m_name + QStringLiteral(".lock"));
    lock.tryLock(kConnectTimeoutMs * 2);

    QLocalSocket other;
    other.connectToServer(m_name);
    if (other.waitForConnected(kConnectTimeoutMs)) {
        other.write(kActivate);
        other.waitForBytesWritten(kConnectTimeoutMs);
        other.disconnectFromServer();
        return false;
    }
    // Nobody answers: what is there is left from a run that ended without cleaning up.
    QLocalServer::removeServer(m_name);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    // Not being able to listen is no reason to refuse to run.
    m_server.listen(m_name);
    return true;
}

void SingleInstance::release()
{
    m_server.close();
}

void SingleInstance::readRequests()
{
    while (QLocalSocket *client = m_server.nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            while (client->canReadLine()) {
                if (client->readLine() == kActivate)
                    emit activationRequested();
            }
        });
    }
}
