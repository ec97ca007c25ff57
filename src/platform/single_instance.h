#pragma once

#include <QLocalServer>
#include <QString>

// Keeps the setup to one running instance per user. The first process to claim the name
// listens; a later one asks it to come to the front and steps aside.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // `identifier` names the program; the user's id is added to it.
    explicit SingleInstance(const QString &identifier);

    // True when this process is now the one instance. False when another one runs: it has been
    // asked to come to the front.
    bool claim();

    // Gives the name up, once the window has gone: a start from now on is a new setup.
    void release();

signals:
    // Another start asked this instance to come to the front.
    void activationRequested();

private:
    void readRequests();

    QString m_name;
    QLocalServer m_server;
};
