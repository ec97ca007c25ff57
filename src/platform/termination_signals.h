#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the signals that ask a program to end (SIGTERM, SIGINT, SIGHUP) into `requested` on the
// main thread, so that they can be handled like a request to close the window instead of
// killing the setup in the middle of its work. One per process.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void requested();

private:
    QSocketNotifier *m_notifier = nullptr;
};
