#include "diag/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <thread>

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
        ITLog("T: outside %@", QStringLiteral("100% sure %@ %d"));
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
    void unwritableFolderChangesNothing();

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
    // The time stamp keeps ASCII digits whatever the user's region says.
    const QStringList env = {QStringLiteral("LC_ALL=ar_EG.UTF-8"),
                             QStringLiteral("LANG=ar_EG.UTF-8")};
    const QByteArray out = runChild("lines", state, env);
    QVERIFY(out.contains("before:\n"));
    QVERIFY(out.contains(QByteArray("after:" + path.toUtf8() + '\n')));
    runChild("lines", state, env);

    const QStringList lines = fileLines(path);
    QCOMPARE(lines.size(), 2 * 8);
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
        QCOMPARE(message(base + 7), QStringLiteral("T: outside 100% sure %@ %d"));
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

void TestLog::unwritableFolderChangesNothing()
{
    // A file where the state folder should be: the Logs folder cannot be made.
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    QFile f(blocker);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    const QByteArray out = runChild("lines", blocker);
    QVERIFY(out.contains(QByteArray("after:" + blocker.toUtf8() + "/Logs/quorvel-installer.log")));
    QVERIFY(QFileInfo(blocker).isFile());
    QCOMPARE(QFileInfo(blocker).size(), 0);
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
