#pragma once

#include <QLocalServer>
#include <QString>

// Keeps the setup to one running instance per user. The first process to claim the name
// listens; a later one asks it to come to the front and steps aside.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Claim
    {
        Alone,       // this process is now the one instance
        AnotherRuns, // another one runs and has been asked to come to the front
        NotSure,     // the name is held by someone else, or cannot be used: run, but as if
                     // another instance might be running
    };
    Q_ENUM(Claim)

    // `identifier` names the program; the user's id is added to it.
    explicit SingleInstance(const QString &identifier);

    Claim claim();

    // Gives the name up, once the window has gone: a start from now on is a new setup.
    void release();

signals:
    // Another start of this user's asked this instance to come to the front.
    void activationRequested();

private:
    void readRequests();

    QByteArray m_name;
    QLocalServer m_server;
};
