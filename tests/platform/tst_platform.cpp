#include "platform/paths.h"
#include "platform/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The platform services the setup flow leans on, where they can be checked for real.
class TstPlatform : public QObject
{
    Q_OBJECT

private slots:
    void oneInstanceAtATime()
    {
        qputenv("XDG_RUNTIME_DIR", qgetenv("QUORVEL_TEST_TMP"));
        SingleInstance first(u"tst.platform"_s), second(u"tst.platform"_s);
        QSignalSpy raised(&first, &SingleInstance::activationRequested);
        QVERIFY(first.claim());
        QVERIFY(!second.claim());
        QTRY_COMPARE(raised.size(), 1);
        // What a run that was killed left behind does not keep the next one from starting.
        const QString stale =
            qEnvironmentVariable("XDG_RUNTIME_DIR") + u"/tst.stale-%1"_s.arg(::getuid());
        QVERIFY(QFile(stale).open(QIODevice::WriteOnly));
        SingleInstance next(u"tst.stale"_s), later(u"tst.stale"_s);
        QVERIFY(next.claim());
        QVERIFY(!later.claim());
    }

    void privateTemporaryFolder()
    {
        const QString folder = Paths::privateTemporaryFolder();
        QCOMPARE(Paths::privateTemporaryFolder(), folder);
        QVERIFY(folder.startsWith(QDir::tempPath() + u"/quorvel-setup-"_s));
        struct stat st = {};
        QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0700 && st.st_uid == ::getuid());
        QVERIFY(QFile(folder + u"/left"_s).open(QIODevice::WriteOnly));
        Paths::removePrivateTemporaryFolder();
        QVERIFY(!QFileInfo::exists(folder));
    }
};

QTEST_GUILESS_MAIN(TstPlatform)
#include "tst_platform.moc"
