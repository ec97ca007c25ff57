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
// validation endpoint with `report`, or for a null one never answers; returns a log mark.
qsizetype serve(TestServer &server, const QByteArray &report = {}, const QString &secret = kSecret)
{
    const bool silent = report.isNull();
    server.setRoute("/mp/collect",
                    {.status = 500, .body = "\nnot logged\n", .neverAnswer = silent});
    server.setRoute("/debug/mp/collect", {.body = report, .neverAnswer = silent});
    setHost(u"127.0.0.1:%1"_s.arg(server.port()), TestCa::instance().caFile, secret);
    return LogReader::mark();
}

QStringList gaMessagesSince(qsizetype mark)
{
    return LogReader::messagesSince(mark).filter(QRegularExpression(u"^GA: "_s));
}

// The log starts once per process, so each scenario of it runs in a child process of this
// test program: "exit HOST CA" sends one event and ends as the setup does when told to;
// "lines STATE" logs with STATE as its state folder. The parent reads what the child left.
int childMain(char **args)
{
    if (std::strcmp(args[0], "exit") == 0) {
        setHost(QString::fromUtf8(args[1]), QString::fromUtf8(args[2]));
        ITTrackEvent(u"exit_test"_s);
        std::getchar();
        ITAnalyticsFlush(2000);
        ITLogFlush(1000);
        ::_exit(0);
    }
    qputenv("XDG_STATE_HOME", args[1]);
    // The time stamp keeps ASCII digits whatever the user's region says, and is local time:
    // here five and a half hours ahead of UTC.
    qputenv("LC_ALL", "ar_EG.UTF-8");
    qputenv("LANG", "ar_EG.UTF-8");
    qputenv("TZ", "XST-5:30");
    std::printf("before:%s\n", qPrintable(ITLogFilePath()));
    ITLog("%d %ld %lld %lu in %.0f ms, 100%% %@", -1, qint64(-2), qint64(1) << 40,
          quint64(18446744073709551615ull), 2000.0, u"done"_s);
    ITLog("");
    // An argument is never a format; a missing one is empty.
    ITLog("language=%@, dir=\"%@\" b %d", u"日本語 Ünïcode"_s, u"/tmp/%@%d%n%s"_s);
    // An argument cannot break a line nor forge the next one; only the format may.
    ITLog(
        "a\n%@|%5.4s",
        u"1\n2\r3\t4\x01\x1b\x7f\u0085\u2028\u202e\u2069\u00a0ü日\n2000-01-01 00:00:00.000  forged"_s,
        "\n\n\n\n\n");
    std::printf("after:%s\n", qPrintable(ITLogFilePath()));
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
    void writesOnlyAPlainFile_data()
    {
        QTest::addColumn<QString>("make"); // what the log's name holds, made in its folder
        QTest::newRow("plain file") << u""_s;
        QTest::newRow("symlink") << u"ln -s ../victim quorvel-installer.log"_s;
        QTest::newRow("hard link") << u"ln ../victim quorvel-installer.log"_s;
        QTest::newRow("fifo") << u"mkfifo quorvel-installer.log"_s;
        QTest::newRow("fifo being read") << u"mkfifo quorvel-installer.log"_s;
    }

    // Formats, stamps and appends whole lines to a plain file of its own. Through any other
    // name the run goes on without a log, and nothing reaches a file.
    void writesOnlyAPlainFile()
    {
        QFETCH(QString, make);
        const QString state = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const QString logs = state + u"/Logs"_s, path = logs + u"/quorvel-installer.log"_s;
        QVERIFY(QDir().mkpath(logs) && writeFile(state + u"/victim"_s, {}) &&
                QProcess::execute(u"sh"_s, {u"-ec"_s, u"cd \"$0\"; "_s + make, logs}) == 0);
        int reader = -1; // lets the log open the fifo at once
        if (QByteArray(QTest::currentDataTag()).endsWith("read"))
            QVERIFY((reader = ::open(QFile::encodeName(path), O_RDONLY | O_NONBLOCK)) >= 0);
        QCOMPARE(runChild({u"lines"_s, state}), "before:\nafter:" + path.toUtf8() + '\n');
        if (!make.isEmpty()) {
            char c; // nothing for the victim, nor for the fifo's reader
            QVERIFY(readFile(state + u"/victim"_s).isEmpty() &&
                    (reader < 0 || ::read(reader, &c, 1) == 0));
            ::close(reader);
            return;
        }
        runChild({u"lines"_s, state});
        // Others may not read where the user installs.
        QCOMPARE(QFile::permissions(path),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

        QString text = QString::fromUtf8(readFile(path));
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
        // Each thread's lines whole and in its order, 500 a run; the rest as written.
        QList<int> next(4);
        QStringList rest;
        const QRegularExpression fromThread(u"^\\|T: thread (\\d) line (\\d+)$"_s);
        for (const QString &line : text.split(u'\n')) {
            const QRegularExpressionMatch m = fromThread.match(line);
            if (!m.hasMatch())
                rest << line;
            else
                QCOMPARE(m.captured(2).toInt(), next[m.captured(1).toInt()]++ % 500);
        }
        QCOMPARE(next, QList<int>(4, 1000));
        const QString run = u"|======== Quorvel Setup started ========\n|Bundle: /\n|OS: \n"
                            u"|-1 -2 1099511627776 18446744073709551615 in 2000 ms, 100% done\n|\n"
                            u"|language=日本語 Ünïcode, dir=\"/tmp/%@%d%n%s\" b \n"
                            u"|a\n1\\n2\\r3\\t4\\x01\\x1b\\x7f\\u0085\\u2028\\u202e\\u2069\u00a0ü日"
                            u"\\n2000-01-01 00:00:00.000  forged|\\n\\n\\n\\n\n"_s;
        QCOMPARE(rest.join(u'\n'), run + run);
    }

    void sendsTheEventToBothEndpoints_data()
    {
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("report"); // the validation endpoint's answer; null: none ever
        QTest::addColumn<QStringList>("logged"); // validation, then collection
        const QString answered = u"-> HTTP 200, validation: "_s;
        // Quotes, a backslash and text outside ASCII must still give valid JSON.
        QTest::newRow("reason to escape, report in blank lines")
            << kSecret << u"say \"hi\" \\ grüße 日本"_s << QByteArray("\r\n\n\t {\"a\": []}\n \n")
            << QStringList{answered + u"{\"a\": []}"_s, u"-> HTTP 500"_s};
        // Empty but not null: no reason at all.
        QTest::newRow("empty reason, blank report")
            << kSecret << u""_s << QByteArray(" \n\n") << QStringList{answered, u"-> HTTP 500"_s};
        QTest::newRow("server never answers")
            << kSecret << QString() << QByteArray() << QStringList(2, u"ERROR timed out"_s);
        QTest::newRow("no secret") << QString() << u"unused"_s << QByteArray("") << QStringList();
    }

    void sendsTheEventToBothEndpoints()
    {
        QFETCH(QString, secret);
        QFETCH(QString, reason);
        QFETCH(QByteArray, report);
        QFETCH(QStringList, logged);
        TestServer server;
        const qsizetype mark = serve(server, report, secret);

        ITTrackEvent(u"install_failed"_s, reason);

        const QStringList expected =
            secret.isEmpty()
                ? QStringList{u"GA: SKIPPED install_failed - API_SECRET not configured"_s}
                : QStringList{u"GA: event install_failed reason=\""_s + reason + u'"',
                              u"GA: install_failed debug/mp/collect "_s + logged.value(0),
                              u"GA: install_failed mp/collect "_s + logged.value(1)};
        QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), expected.size(), kWaitMs);
        QStringList lines = gaMessagesSince(mark);
        lines.sort(); // the event, then debug/mp/collect
        // The time-out, not a failure to reach the server.
        lines.replaceInStrings(QRegularExpression(u"ERROR .*timed out.*"_s), u"ERROR timed out"_s);
        QCOMPARE(lines, expected);

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
        QCOMPARE(posts, (secret.isEmpty() ? QByteArrayList()
                                          : QByteArrayList{"POST /debug" + rest, "POST " + rest}));
    }

    void exitWaitsForRequestsInFlight_data()
    {
        QTest::addColumn<QByteArray>("report"); // null: nothing is ever answered
        QTest::newRow("no answer") << QByteArray();
        QTest::newRow("answered before") << QByteArray("{}");
    }

    // The end waits for requests in flight, but not into their time-out, which would be logged;
    // it says so only when it waits. (The end-to-end test sees slow answers arrive.)
    void exitWaitsForRequestsInFlight()
    {
        QFETCH(QByteArray, report);
        TestServer server;
        const qsizetype mark = serve(server, report);
        // It trusts its parent's authority rather than making its own.
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {u"--child"_s, u"exit"_s, u"127.0.0.1:%1"_s.arg(server.port()),
                     TestCa::instance().caFile});
        // Both requests are open on the server, or answered, when the child is told to end.
        const qsizetype before = report.isNull() ? 1 : 3;
        QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 2, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), before, kWaitMs);
        child.write("exit\n");
        QVERIFY(child.waitForFinished(kWaitMs) && child.exitCode() == 0);
        const QStringList waiting{u"GA: waiting for requests in flight: exit_test mp/collect, "
                                  u"exit_test debug/mp/collect"_s};
        QCOMPARE(gaMessagesSince(mark).mid(before), report.isNull() ? waiting : QStringList());
    }

private:
    // Runs this program as a child with `args`; returns its standard output.
    static QByteArray runChild(const QStringList &args)
    {
        QProcess p;
        p.start(QCoreApplication::applicationFilePath(), QStringList{u"--child"_s} + args);
        const bool ended = p.waitForFinished(kWaitMs);
        [&] { QVERIFY(ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0); }();
        return p.readAllStandardOutput();
    }

    QTemporaryDir m_dir;
};

int main(int argc, char **argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--child") == 0)
        return childMain(argv + 2);
    QCoreApplication app(argc, argv);
    TestDiag test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"
