#include "platform/activity_hold.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The sleep hold against a private bus standing in for the system bus, where the test itself
// is the login manager: it records each Inhibit call and answers when told, with the writing
// end of a pipe whose reading end then tells whether the caller still holds that lock.
class TstActivityHold : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

signals:
    // The system is about to sleep (true) or has woken.
    Q_SCRIPTABLE void PrepareForSleep(bool start);

public slots:
    Q_SCRIPTABLE void Inhibit(const QString &what, const QString &who, const QString &why,
                              const QString &mode)
    {
        m_calls << QStringList{what, who, why, mode}.join(u'|');
        setDelayedReply(true);
        m_waiting << message();
    }

private slots:
    void initTestCase()
    {
        // The bus goes with the test, even one that crashes.
        m_bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_bus.start(u"dbus-daemon"_s,
                    {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s,
                     u"--address=unix:dir="_s + qEnvironmentVariable("QUORVEL_TEST_TMP")});
        QVERIFY(m_bus.waitForReadyRead(5000));
        const QByteArray address = m_bus.readLine().trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        QDBusConnection login =
            QDBusConnection::connectToBus(QString::fromUtf8(address), u"login"_s);
        QVERIFY(login.registerService(u"org.freedesktop.login1"_s) &&
                login.registerObject(u"/org/freedesktop/login1"_s, this,
                                     QDBusConnection::ExportScriptableContents));
    }
    void cleanupTestCase()
    {
        m_bus.terminate(); // lets it take its socket away
        m_bus.waitForFinished();
    }

    // Idle is refused while the hold lives; a suspend the user asks for is only delayed. The
    // call does not wait for the answers, and the hold lets go of both when it goes, and of
    // answers that arrive after it went.
    void blocksIdleAndDelaysSleep()
    {
        std::shared_ptr<void> hold = beginActivityHold(u"Downloading and installing"_s);
        QVERIFY(hold && m_calls.isEmpty());
        const QString asked = u"|Quorvel|Downloading and installing|"_s;
        QTRY_COMPARE(m_calls, (QStringList{u"idle"_s + asked + u"block"_s,
                                           u"sleep"_s + asked + u"delay"_s}));
        answerWaiting();
        QTRY_COMPARE(held(), 2);
        // A suspend that is announced goes ahead at once, whether the delay was granted already
        // or is granted late; after it the delay is asked again.
        emit PrepareForSleep(true);
        QTRY_COMPARE(held(), 1);
        emit PrepareForSleep(false);
        QTRY_COMPARE(m_calls.value(2), u"sleep"_s + asked + u"delay"_s);
        emit PrepareForSleep(true);
        answerWaiting();
        QTRY_COMPARE(held(), 1);
        emit PrepareForSleep(false);
        QTRY_COMPARE(m_calls.size(), 4);
        hold.reset();
        answerWaiting();
        QTRY_COMPARE(held(), 0);
    }

private:
    void answerWaiting()
    {
        for (const QDBusMessage &call : std::exchange(m_waiting, {})) {
            int ends[2];
            QVERIFY(::pipe(ends) == 0);
            m_readEnds << ends[0];
            QDBusConnection(u"login"_s)
                .send(call.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
            ::close(ends[1]);
        }
    }
    // How many of the handed-out locks the caller still holds: the pipe's reading end sees
    // its end only once every copy of the writing end is closed.
    int held() const
    {
        return static_cast<int>(std::count_if(m_readEnds.begin(), m_readEnds.end(), [](int fd) {
            pollfd p{fd, POLLIN, 0};
            return ::poll(&p, 1, 0) == 0;
        }));
    }
    QProcess m_bus;
    QStringList m_calls; // "what|who|why|mode"
    QList<QDBusMessage> m_waiting;
    QList<int> m_readEnds;
};

QTEST_GUILESS_MAIN(TstActivityHold)
#include "tst_activity_hold.moc"
