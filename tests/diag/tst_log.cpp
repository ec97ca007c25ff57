#include "diag/log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// The log starts once per process, so each scenario runs in a child process of this test
// program with its own state folder; the parent reads what the child left in the file.
namespace Child {

int run(const char *mode)
{
    if (std::strcmp(mode, "lines") == 0) {
        std::printf("before:%s\n", qPrintable(ITLogFilePath()));
        ITLog("T: first %@ %d", QStringLiteral("run"), 1);
        ITLog("");
        ITLog("T: two\nlines");
        ITLog("T: outside %@", QStringLiteral("100% sure %@ %d\n2000-01-01 00:00:00.000  forged"));
        std::printf("after:%s\n", qPrintable(ITLogFilePath()));
        return 0;
    }
    if (std::strcmp(mode, "threads") == 0) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 500; ++i)
                    ITLog("T: thread %d line %d", t, i);
            });
        for (std::thread &th : threads)
            th.join();
        return 0; // returns at once: the queue must still reach the file
    }
    return 2;
}

} // namespace Child

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void formats_data();
    void formats();
    void headerThenLinesAndSecondRunAppends();
    void linesFromThreadsArriveWholeAndInOrderBeforeExit();
    void unusableLogChangesNothing_data();
    void unusableLogChangesNothing();

private:
    // Runs a child with its state folder under `home`; returns its standard output.
    QByteArray runChild(const char *mode, const QString &stateHome,
                        const QStringList &extraEnv = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
        for (const QString &kv : extraEnv)
            env.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--child"), QString::fromLatin1(mode)});
        [&] {
            QVERIFY(p.waitForFinished(30000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 0);
        }();
        return p.readAllStandardOutput();
    }

    static QStringList fileLines(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
        if (lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    QTemporaryDir m_dir;
};

void TestLog::formats_data()
{
    QTest::addColumn<QString>("rendered");
    QTest::addColumn<QString>("expected");
    QTest::newRow("text") << formatLogMessage("UI: ready, language=%@, default dir=%@",
                                              {QStringLiteral("de"), "/Applications"})
                          << QStringLiteral("UI: ready, language=de, default dir=/Applications");
    QTest::newRow("signed") << formatLogMessage("%d %ld %lld", {-1, qint64(-2), qint64(1) << 40})
                            << QStringLiteral("-1 -2 1099511627776");
    QTest::newRow("unsigned") << formatLogMessage("%lu bytes", {quint64(18446744073709551615ull)})
                              << QStringLiteral("18446744073709551615 bytes");
    QTest::newRow("no decimals") << formatLogMessage("in %.0f ms", {2000.0})
                                 << QStringLiteral("in 2000 ms");
    QTest::newRow("percent") << formatLogMessage("100%% %@", {QStringLiteral("done")})
                             << QStringLiteral("100% done");
    QTest::newRow("argument is never a format")
        << formatLogMessage("dir=\"%@\"", {QStringLiteral("/tmp/%@%d%n%s")})
        << QStringLiteral("dir=\"/tmp/%@%d%n%s\"");
    QTest::newRow("missing argument")
        << formatLogMessage("a %@ b %d", {QStringLiteral("x")}) << QStringLiteral("a x b ");
    QTest::newRow("non-ascii") << formatLogMessage("%@", {QStringLiteral("日本語 Ünïcode")})
                               << QStringLiteral("日本語 Ünïcode");
    // A typed folder cannot start a log line of its own; only the format may.
    QTest::newRow("controls escaped")
        << formatLogMessage("a\n%@|%5.4s",
                            {QStringLiteral("1\n2\r3\t4\x01\x1b\x7f\u0085\u00a0ü日"), "\n\n\n\n\n"})
        << QStringLiteral("a\n1\\n2\\r3\\t4\\x01\\x1b\\x7f\\u0085\u00a0ü日|\\n\\n\\n\\n");
}

void TestLog::formats()
{
    QFETCH(QString, rendered);
    QFETCH(QString, expected);
    QCOMPARE(rendered, expected);
}

void TestLog::headerThenLinesAndSecondRunAppends()
{
    const QString state = m_dir.filePath(QStringLiteral("first/state"));
    const QString path = state + QStringLiteral("/Logs/quorvel-installer.log");
    // The time stamp keeps ASCII digits whatever the user's region says, and is local time:
    // here five and a half hours ahead of UTC.
    const QStringList env = {QStringLiteral("LC_ALL=ar_EG.UTF-8"),
                             QStringLiteral("LANG=ar_EG.UTF-8"), QStringLiteral("TZ=XST-5:30")};
    const QByteArray out = runChild("lines", state, env);
    QVERIFY(out.contains("before:\n"));
    QVERIFY(out.contains(QByteArray("after:" + path.toUtf8() + '\n')));
    runChild("lines", state, env);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0600u); // others may not read where the user installs

    const QStringList lines = fileLines(path);
    QCOMPARE(lines.size(), 2 * 8);
    QDateTime stamped =
        QDateTime::fromString(lines[0].left(23), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    stamped.setTimeZone(QTimeZone::utc());
    QVERIFY2(qAbs(stamped.secsTo(QDateTime::currentDateTimeUtc().addSecs(19800))) < 120,
             qPrintable(lines[0]));
    const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  "));
    const auto message = [&](int i) { return QString(lines[i]).remove(stamp); };
    for (int run = 0; run < 2; ++run) {
        const int base = run * 8;
        QCOMPARE(message(base), QStringLiteral("======== Quorvel Setup started ========"));
        QVERIFY(message(base + 1).startsWith(QStringLiteral("Bundle: /")));
        QVERIFY(message(base + 2).startsWith(QStringLiteral("OS: ")));
        QCOMPARE(message(base + 3), QStringLiteral("T: first run 1"));
        QVERIFY(lines[base + 4].endsWith(QStringLiteral("  ")));
        QCOMPARE(message(base + 4), QString());
        QCOMPARE(message(base + 5), QStringLiteral("T: two"));
        QCOMPARE(lines[base + 6], QStringLiteral("lines"));
        QCOMPARE(message(base + 7),
                 QStringLiteral("T: outside 100% sure %@ %d\\n2000-01-01 00:00:00.000  forged"));
        for (int i : {0, 1, 2, 3, 4, 5, 7})
            QVERIFY2(stamp.match(lines[base + i]).hasMatch(), qPrintable(lines[base + i]));
    }
}

void TestLog::linesFromThreadsArriveWholeAndInOrderBeforeExit()
{
    const QString state = m_dir.filePath(QStringLiteral("threads/state"));
    runChild("threads", state);
    const QStringList lines = fileLines(state + QStringLiteral("/Logs/quorvel-installer.log"));
    QCOMPARE(lines.size(), 3 + 4 * 500);
    int next[4] = {0, 0, 0, 0};
    const QRegularExpression re(QStringLiteral("  T: thread (\\d) line (\\d+)$"));
    for (qsizetype i = 3; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = re.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        const int t = m.captured(1).toInt();
        QCOMPARE(m.captured(2).toInt(), next[t]++);
    }
}

void TestLog::unusableLogChangesNothing_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"state folder is a file", "symlink", "dangling symlink", "hard link",
                             "fifo", "fifo being read"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

// The run goes on without a log, and nothing reaches a file through the log's name.
void TestLog::unusableLogChangesNothing()
{
    QFETCH(QString, kind);
    const QString base = m_dir.filePath(kind);
    const QString victim = base + QStringLiteral("/victim");
    const QString absent = base + QStringLiteral("/absent");
    QString state = base + QStringLiteral("/state");
    const QString log = state + QStringLiteral("/Logs/quorvel-installer.log");
    QVERIFY(QDir().mkpath(state + QStringLiteral("/Logs")));
    QVERIFY(QFile(victim).open(QIODevice::WriteOnly));
    if (kind == QLatin1String("state folder is a file"))
        state = victim;
    else if (kind == QLatin1String("symlink"))
        QVERIFY(QFile::link(victim, log));
    else if (kind == QLatin1String("dangling symlink"))
        QVERIFY(QFile::link(absent, log));
    else if (kind == QLatin1String("hard link"))
        QCOMPARE(::link(QFile::encodeName(victim), QFile::encodeName(log)), 0);
    else
        QCOMPARE(::mkfifo(QFile::encodeName(log), 0600), 0);
    int reader = -1; // lets the log open the fifo at once
    if (kind.endsWith(QLatin1String("read")))
        QVERIFY((reader = ::open(QFile::encodeName(log), O_RDONLY | O_NONBLOCK)) >= 0);
    const QByteArray out = runChild("lines", state);
    QVERIFY(out.contains(QByteArray("after:" + state.toUtf8() + "/Logs/quorvel-installer.log")));
    QCOMPARE(QFileInfo(victim).size(), 0);
    QVERIFY(!QFileInfo::exists(absent));
    char c;
    QVERIFY(reader < 0 || ::read(reader, &c, 1) == 0);
    ::close(reader);
}

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return Child::run(argv[2]);
    QCoreApplication app(argc, argv);
    TestLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"
