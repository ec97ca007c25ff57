#pragma once

#include <QLocalServer>
#include <QString>

#include <memory>

// Keeps the setup to one running instance per user. The first process to claim it holds a lock
// that only this user can take, and listens on a name; a later one asks it to come to the front
// and steps aside.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Claim
    {
        Alone,       // this process is now the one instance
        AnotherRuns, // another one runs and has been asked to come to the front if it can be
        NotSure,     // the lock cannot be trusted or used: run, but as if another instance
                     // might be running
    };
    Q_ENUM(Claim)

    // `identifier` names the program; the user's id is added to it.
    explicit SingleInstance(const QString &identifier);

    Claim claim();

    // Gives the lock and the name up, once the window has gone: a start from now on is a new
    // setup.
    void release();

signals:
    // Another start of this user's asked this instance to come to the front.
    void activationRequested();

private:
    void readRequests();

    QString m_identifier;
    QByteArray m_name;
    std::shared_ptr<void> m_lock; // held while set
    QLocalServer m_server;
};
