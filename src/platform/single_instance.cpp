#include "platform/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 1000;
const QByteArray kActivate = "activate\n";

// The user's runtime folder is private to them; without one, the name goes to the shared
// temporary folder, made unique by the user id.
QString channelFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return runtime;
    return QDir::tempPath();
}

} // namespace

SingleInstance::SingleInstance(const QString &identifier)
    : m_name(channelFolder() + u'/' + identifier + u'-' + QString::number(::getuid()))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::readRequests);
}

bool SingleInstance::claim()
{
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
