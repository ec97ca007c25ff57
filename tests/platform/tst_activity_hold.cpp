#include "platform/activity_hold.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The login manager as the hold sees it: records each Inhibit call and hands back the writing
// end of a pipe, whose reading end then tells whether the caller still holds it. Answers at
// once, or when told to.
class FakeLogin : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    QStringList calls;   // "what|who|why|mode"
    QList<int> readEnds; // one per answered call
    bool holdAnswers = false;
    QList<QDBusMessage> unanswered;

    void answer(const QDBusMessage &call)
    {
        int ends[2];
        if (::pipe(ends) != 0)
            qFatal("pipe");
        readEnds << ends[0];
        QDBusConnection(u"login"_s)
            .send(call.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
        ::close(ends[1]);
    }
    // How many of the handed-out locks the caller still holds.
    int held() const
    {
        int open = 0;
        for (int fd : readEnds) {
            pollfd p{fd, POLLIN, 0};
            open += ::poll(&p, 1, 0) == 0 ? 1 : 0;
        }
        return open;
    }

public slots:
    Q_SCRIPTABLE QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who,
                                                 const QString &why, const QString &mode)
    {
        calls << QStringList{what, who, why, mode}.join(u'|');
        setDelayedReply(true);
        if (holdAnswers)
            unanswered << message();
        else
            answer(message());
        return {};
    }
};

// The sleep hold against a private bus standing in for the system bus.
class TstActivityHold : public QObject
{
    Q_OBJECT

    QProcess m_bus;
    FakeLogin m_login;

private slots:
    void initTestCase()
    {
        const QString socket = qEnvironmentVariable("QUORVEL_TEST_TMP") + u"/system_bus"_s;
        QFile::remove(socket);
        // The bus goes with the test, even one that crashes.
        m_bus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_bus.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s,
                                       u"--address=unix:path="_s + socket});
        QVERIFY(m_bus.waitForReadyRead(5000));
        const QByteArray address = m_bus.readLine().trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        QDBusConnection login =
            QDBusConnection::connectToBus(QString::fromUtf8(address), u"login"_s);
        QVERIFY(login.registerService(u"org.freedesktop.login1"_s) &&
                login.registerObject(u"/org/freedesktop/login1"_s, &m_login,
                                     QDBusConnection::ExportScriptableSlots));
    }
    void cleanupTestCase()
    {
        m_bus.terminate();
        m_bus.waitForFinished();
    }
    void init()
    {
        m_login.calls.clear();
        m_login.readEnds.clear();
        m_login.holdAnswers = false;
    }

    // Idle is refused while the hold lives; a suspend the user asks for is only delayed. The
    // call does not wait for the answer, and the hold lets go of both when it goes.
    void asksForIdleBlockedAndSleepDelayed()
    {
        m_login.holdAnswers = true;
        std::shared_ptr<void> hold = beginActivityHold(u"Downloading and installing"_s);
        QVERIFY(hold && m_login.calls.isEmpty());
        const QString asked = u"|Quorvel|Downloading and installing|"_s;
        QTRY_COMPARE(m_login.calls, (QStringList{u"idle"_s + asked + u"block"_s,
                                                 u"sleep"_s + asked + u"delay"_s}));
        for (const QDBusMessage &call : std::exchange(m_login.unanswered, {}))
            m_login.answer(call);
        QTRY_COMPARE(m_login.held(), 2);
        // A suspend that is announced goes ahead at once, whether the delay was granted already
        // or is granted late; after it the delay is asked again.
        const auto announce = [](bool start) {
            return QDBusConnection(u"login"_s)
                .send(QDBusMessage::createSignal(u"/org/freedesktop/login1"_s,
                                                 u"org.freedesktop.login1.Manager"_s,
                                                 u"PrepareForSleep"_s)
                      << start);
        };
        QVERIFY(announce(true));
        QTRY_COMPARE(m_login.held(), 1);
        QVERIFY(announce(false));
        QTRY_COMPARE(m_login.calls.size(), 3);
        QCOMPARE(m_login.calls.last(), u"sleep"_s + asked + u"delay"_s);
        QVERIFY(announce(true));
        m_login.answer(m_login.unanswered.takeFirst());
        QTRY_COMPARE(m_login.held(), 1);
        hold.reset();
        QTRY_COMPARE(m_login.held(), 0);
    }

    // Answers that arrive after the hold was let go are not kept.
    void lateAnswersAreDropped()
    {
        m_login.holdAnswers = true;
        std::shared_ptr<void> hold = beginActivityHold(u"late"_s);
        QTRY_COMPARE(m_login.calls.size(), 2);
        hold.reset();
        for (const QDBusMessage &call : std::exchange(m_login.unanswered, {}))
            m_login.answer(call);
        QTRY_COMPARE(m_login.held(), 0);
    }
};

QTEST_GUILESS_MAIN(TstActivityHold)
#include "tst_activity_hold.moc"
