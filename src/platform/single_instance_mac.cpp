#include "platform/single_instance.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 1000;
const QByteArray kActivate = "activate\n";

} // namespace

// The temporary folder on macOS is the user's own (under /var/folders), so the name lives there.
SingleInstance::SingleInstance(const QString &identifier)
    : m_identifier(identifier), m_name(QFile::encodeName(QDir::tempPath() + u'/' + identifier +
                                                         u'-' + QString::number(::getuid())))
{
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::readRequests);
}

SingleInstance::Claim SingleInstance::claim()
{
    const QString name = QFile::decodeName(m_name);
    // Two starts at the same moment take turns, so exactly one of them ends up listening.
    QLockFile lock(name + QStringLiteral(".lock"));
    lock.tryLock(kConnectTimeoutMs * 2);

    QLocalSocket other;
    other.connectToServer(name);
    if (other.waitForConnected(kConnectTimeoutMs)) {
        other.write(kActivate);
        other.waitForBytesWritten(kConnectTimeoutMs);
        other.disconnectFromServer();
        return Claim::AnotherRuns;
    }
    // Nobody answers: what is there is left from a run that ended without cleaning up.
    QLocalServer::removeServer(name);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    return m_server.listen(name) ? Claim::Alone : Claim::NotSure;
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
