#include "diag/analytics.h"
#include "diag/log.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_files.h"
#include "test_server.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;
const QString kSecret = u"test-Secret/0123+456789 &x=1"_s; // not a safe query as it stands

void setHost(const QString &host, const QString &caFile, const QString &secret = kSecret)
{
    ITSetAnalyticsSettings(
        {.host = host, .measurementId = u"G-TEST0000AB"_s, .apiSecret = secret, .caFile = caFile});
}

// Points the events at `server`, which answers the collection endpoint with a 500 and the
// validation endpoint with `report`, or never answers; returns a log mark.
qsizetype serve(TestServer &server, bool silent, const QByteArray &report = {},
                const QString &secret = kSecret)
{
    Response collect, validation;
    collect.status = 500;
    collect.body = "\nnot logged\n";
    validation.body = report;
    collect.neverAnswer = validation.neverAnswer = silent;
    server.setRoute("/mp/collect", collect);
    server.setRoute("/debug/mp/collect", validation);
    setHost(u"127.0.0.1:%1"_s.arg(server.port()), TestCa::instance().caFile, secret);
    return LogReader::mark();
}

QStringList gaMessagesSince(qsizetype mark)
{
    return LogReader::messagesSince(mark).filter(QRegularExpression(u"^GA: "_s));
}

// The log starts once per process, so each scenario of it runs in a child process of this
// test program with its own state folder; the parent reads what the child left in the file.
int childMain(const char *mode)
{
    if (std::strcmp(mode, "lines") == 0) {
        std::printf("before:%s\n", qPrintable(ITLogFilePath()));
        ITLog("T: first %@ %d", u"run"_s, 1);
        ITLog("");
        ITLog("T: two\nlines");
        ITLog("T: outside %@", u"100% sure %@ %d\n2000-01-01 00:00:00.000  forged"_s);
        std::printf("after:%s\n", qPrintable(ITLogFilePath()));
        return 0;
    }
    if (std::strcmp(mode, "exit") == 0) { // sends one event, ends when told to
        setHost(qEnvironmentVariable("TST_HOST"), qEnvironmentVariable("TST_CA"));
        ITTrackEvent(u"exit_test"_s);
        std::getchar();
        return 0;
    }
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

} // namespace

class TestDiag : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ITLog("TEST: diag"); } // marks count from the log's start
    void formats()
    {
        const QStringList rendered = {
            formatLogMessage("%d %ld %lld %lu in %.0f ms, 100%% %@",
                             {-1, qint64(-2), qint64(1) << 40, quint64(18446744073709551615ull),
                              2000.0, u"done"_s}),
            // An argument is never a format; a missing one is empty.
            formatLogMessage("language=%@, dir=\"%@\" b %d",
                             {u"日本語 Ünïcode"_s, u"/tmp/%@%d%n%s"_s}),
            // A typed folder cannot start a log line of its own; only the format may.
            formatLogMessage(
                "a\n%@|%5.4s",
                {u"1\n2\r3\t4\x01\x1b\x7f\u0085\u2028\u202e\u2069\u00a0ü日"_s, "\n\n\n\n\n"})};
        QCOMPARE(
            rendered,
            (QStringList{
                u"-1 -2 1099511627776 18446744073709551615 in 2000 ms, 100% done"_s,
                u"language=日本語 Ünïcode, dir=\"/tmp/%@%d%n%s\" b "_s,
                u"a\n1\\n2\\r3\\t4\\x01\\x1b\\x7f\\u0085\\u2028\\u202e\\u2069\u00a0ü日|\\n\\n\\n\\n"_s}));
    }

    void headerThenLinesAndSecondRunAppends()
    {
        const QString state = m_dir.filePath(u"lines"_s);
        const QString path = state + u"/Logs/quorvel-installer.log"_s;
        // The time stamp keeps ASCII digits whatever the user's region says, and is local time:
        // here five and a half hours ahead of UTC.
        const QStringList env = {u"XDG_STATE_HOME="_s + state, u"LC_ALL=ar_EG.UTF-8"_s,
                                 u"LANG=ar_EG.UTF-8"_s, u"TZ=XST-5:30"_s};
        QCOMPARE(runChild("lines", env), QByteArray("before:\nafter:" + path.toUtf8() + '\n'));
        runChild("lines", env);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0600u); // others may not read where the user installs

        QString text = logText(state);
        QDateTime stamped = QDateTime::fromString(text.left(23), u"yyyy-MM-dd HH:mm:ss.zzz"_s);
        stamped.setTimeZone(QTimeZone::utc());
        QVERIFY2(qAbs(stamped.secsTo(QDateTime::currentDateTimeUtc().addSecs(19800))) < 120,
                 qPrintable(text.left(23)));
        // A stamped line reads "|message" here; the bundle and system are cut to their start.
        const auto atLineStart = [](const QString &re) {
            return QRegularExpression(re, QRegularExpression::MultilineOption);
        };
        text.replace(atLineStart(u"^\\d{4}(-\\d\\d){2} \\d\\d(:\\d\\d){2}\\.\\d{3}  "_s), u"|"_s)
            .replace(atLineStart(u"^(\\|Bundle: /|\\|OS: ).*$"_s), u"\\1"_s);
        const QString run = u"|======== Quorvel Setup started ========\n|Bundle: /\n|OS: \n"
                            u"|T: first run 1\n|\n|T: two\nlines\n"
                            u"|T: outside 100% sure %@ %d\\n2000-01-01 00:00:00.000  forged\n"_s;
        QCOMPARE(text, run + run);
    }

    void linesFromThreadsArriveWholeAndInOrderBeforeExit()
    {
        const QString state = m_dir.filePath(u"threads"_s);
        runChild("threads", {u"XDG_STATE_HOME="_s + state});
        const QStringList lines = logText(state).split(u'\n');
        QCOMPARE(lines.size(), 3 + 4 * 500 + 1); // and an empty rest after the last line break
        int next[4] = {};
        const QRegularExpression re(u"  T: thread (\\d) line (\\d+)$"_s);
        for (const QString &line : lines.mid(3, 4 * 500)) {
            const QRegularExpressionMatch m = re.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QCOMPARE(m.captured(2).toInt(), next[m.captured(1).toInt()]++);
        }
    }

    void unusableLogChangesNothing_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"symlink", "hard link", "fifo", "fifo being read"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

    // The run goes on without a log, and nothing reaches a file through the log's name.
    void unusableLogChangesNothing()
    {
        QFETCH(QString, kind);
        const QString state = m_dir.filePath(kind), victim = state + u"/victim"_s;
        const QByteArray log = QFile::encodeName(state + u"/Logs/quorvel-installer.log"_s);
        QVERIFY(QDir().mkpath(state + u"/Logs"_s) && QFile(victim).open(QIODevice::WriteOnly));
        QCOMPARE(kind == "symlink"_L1     ? ::symlink(QFile::encodeName(victim), log)
                 : kind == "hard link"_L1 ? ::link(QFile::encodeName(victim), log)
                                          : ::mkfifo(log, 0600),
                 0);
        int reader = -1; // lets the log open the fifo at once
        if (kind.endsWith("read"_L1))
            QVERIFY((reader = ::open(log, O_RDONLY | O_NONBLOCK)) >= 0);
        QCOMPARE(runChild("lines", {u"XDG_STATE_HOME="_s + state}),
                 QByteArray("before:\nafter:" + log + '\n'));
        QCOMPARE(QFileInfo(victim).size(), 0);
        char c;
        QVERIFY(reader < 0 || ::read(reader, &c, 1) == 0);
        ::close(reader);
    }

    void sendsTheEventToBothEndpoints_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("report"); // the validation endpoint's answer; null: none ever
        QTest::addColumn<QStringList>("logged"); // validation, then collection
        const QString answered = u"-> HTTP 200, validation: "_s;
        // Quotes, a backslash and text outside ASCII must still give valid JSON.
        QTest::newRow("reason to escape, report in blank lines")
            << u"say \"hi\" \\ grüße 日本"_s << QByteArray("\r\n\n\t {\"a\": []}\n \n")
            << QStringList{answered + u"{\"a\": []}"_s, u"-> HTTP 500"_s};
        // Empty but not null: no reason at all.
        QTest::newRow("empty reason, blank report")
            << u""_s << QByteArray(" \n\n") << QStringList{answered, u"-> HTTP 500"_s};
        QTest::newRow("server never answers")
            << QString() << QByteArray() << QStringList{u"ERROR timed out"_s, u"ERROR timed out"_s};
    }

    void sendsTheEventToBothEndpoints()
    {
        QFETCH(QString, reason);
        QFETCH(QByteArray, report);
        QFETCH(QStringList, logged);
        TestServer server;
        const qsizetype mark = serve(server, report.isNull(), report);

        ITTrackEvent(u"install_failed"_s, reason);

        QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
        QStringList lines = gaMessagesSince(mark);
        lines.sort(); // the event, then debug/mp/collect
        // The time-out, not a failure to reach the server.
        lines.replaceInStrings(QRegularExpression(u"ERROR .*timed out.*"_s), u"ERROR timed out"_s);
        const QString ga = u"GA: install_failed "_s;
        QCOMPARE(lines, (QStringList{u"GA: event install_failed reason=\""_s + reason + u'"',
                                     ga + u"debug/mp/collect "_s + logged[0],
                                     ga + u"mp/collect "_s + logged[1]}));

        const QJsonObject params =
            reason.isEmpty() ? QJsonObject() : QJsonObject{{u"reason"_s, reason}};
        const QJsonObject event{{u"name"_s, u"install_failed"_s}, {u"params"_s, params}};
        // Compact JSON; one client id for every event of the run, as every row compares with it.
        const QJsonObject body{{u"client_id"_s, ITClientId()}, {u"events"_s, QJsonArray{event}}};
        QByteArrayList posts;
        for (const RecordedRequest &r : server.requests())
            posts << r.method + ' ' + r.target + ' ' + r.headers.value("content-type") + ' ' +
                         r.body;
        std::sort(posts.begin(), posts.end());
        const QByteArray rest = "/mp/collect?measurement_id=G-TEST0000AB&api_secret="
                                "test-Secret%2F0123%2B456789%20%26x%3D1 application/json " +
                                QJsonDocument(body).toJson(QJsonDocument::Compact);
        QCOMPARE(posts, (QByteArrayList{"POST /debug" + rest, "POST " + rest}));
    }

    void emptySecretSendsNothing()
    {
        TestServer server;
        const qsizetype mark = serve(server, false, {}, QString());
        ITTrackEvent(u"offline_download"_s, u"unused"_s);
        serve(server, false); // an event after it shows that the skipped one did not go out first
        ITTrackEvent(u"install_cancelled"_s);

        QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 4, kWaitMs);
        const QStringList lines = gaMessagesSince(mark);
        QCOMPARE(lines.first(), u"GA: SKIPPED offline_download - API_SECRET not configured"_s);
        QCOMPARE(server.requests().size(), 2); // the answered pair of install_cancelled
    }

    void exitAbandonsRequestsInFlight()
    {
        TestServer server;
        const qsizetype mark = serve(server, true);
        // It trusts its parent's authority rather than making its own.
        const QStringList env = {u"TST_HOST=127.0.0.1:%1"_s.arg(server.port()),
                                 u"TST_CA="_s + TestCa::instance().caFile};
        runChild("exit", env, [&](QProcess &child) {
            // Both requests are open on the server when the child is told to end.
            QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 2, kWaitMs);
            child.write("exit\n");
        });
        // Waiting for the answers would have run into the time-out and logged it.
        QCOMPARE(gaMessagesSince(mark), QStringList{u"GA: event exit_test reason=\"\""_s});
    }

private:
    // Runs this program as a child in `mode`, with `env` ("NAME=value") added, and `meanwhile`
    // while it runs; returns its standard output.
    static QByteArray runChild(const char *mode, const QStringList &env,
                               const std::function<void(QProcess &)> &meanwhile = {})
    {
        QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
        for (const QString &kv : env)
            all.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
        QProcess p;
        p.setProcessEnvironment(all);
        p.start(QCoreApplication::applicationFilePath(), {u"--child"_s, QLatin1String(mode)});
        if (meanwhile)
            meanwhile(p);
        const bool ended = p.waitForFinished(30000);
        [&] { QVERIFY(ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0); }();
        return p.readAllStandardOutput();
    }

    static QString logText(const QString &state)
    {
        return QString::fromUtf8(readFile(state + u"/Logs/quorvel-installer.log"_s));
    }

    QTemporaryDir m_dir;
};

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return childMain(argv[2]);
    QCoreApplication app(argc, argv);
    TestDiag test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"
