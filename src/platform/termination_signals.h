#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the signals that ask a program to end (SIGTERM, SIGINT, SIGHUP) into `requested` on the
// main thread, so that the setup ends in its own way instead of being killed in the middle of
// its work. One per process.
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
