#include "diag/analytics.h"
#include "diag/log.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <iostream>
#include <string>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;
const QString kMeasurementId = u"G-TEST0000AB"_s;
const QString kSecret = u"test-Secret-0123456789"_s;

void pointAt(const QString &host, const QString &secret = kSecret)
{
    AnalyticsSettings s;
    s.host = host;
    s.measurementId = kMeasurementId;
    s.apiSecret = secret;
    // A child process trusts its parent's authority rather than making its own.
    s.caFile = qEnvironmentVariableIsSet("TST_ANALYTICS_CA")
                   ? qEnvironmentVariable("TST_ANALYTICS_CA")
                   : TestCa::instance().caFile;
    ITSetAnalyticsSettings(s);
}

QString hostOf(const TestServer &server)
{
    return u"127.0.0.1:"_s + QString::number(server.port());
}

void answerBoth(TestServer &server, Response collect, Response debug)
{
    server.setRoute("/mp/collect", collect);
    server.setRoute("/debug/mp/collect", debug);
}

Response answer(int status, const QByteArray &body = QByteArray(), bool never = false)
{
    Response r;
    r.status = status;
    r.body = body;
    r.neverAnswer = never;
    return r;
}

QStringList gaMessagesSince(qsizetype mark)
{
    return LogReader::messagesSince(mark).filter(QRegularExpression(u"^GA: "_s));
}

} // namespace

class TestAnalytics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ITLog("TEST: analytics"); } // marks count from the log's start
    void sendsTheEventToBothEndpoints_data();
    void sendsTheEventToBothEndpoints();
    void serverThatNeverAnswersEndsInOneErrorPerEndpoint();
    void emptySecretSendsNothing();
    void exitAbandonsRequestsInFlight();
};

void TestAnalytics::sendsTheEventToBothEndpoints_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("report"); // the validation endpoint's answer
    QTest::addColumn<QString>("logged");    // as the log shows it
    // Quotes, a backslash and text outside ASCII must still give valid JSON.
    QTest::newRow("reason to escape, report in blank lines")
        << u"say \"hi\" \\ grüße 日本"_s << QByteArray("\r\n\n\t {\"a\": []}\n \n")
        << u"{\"a\": []}"_s;
    QTest::newRow("no reason, no report") << QString() << QByteArray() << QString();
    QTest::newRow("empty reason, blank report") << u""_s << QByteArray(" \n\n") << QString();
}

void TestAnalytics::sendsTheEventToBothEndpoints()
{
    QFETCH(QString, reason);
    QFETCH(QByteArray, report);
    QFETCH(QString, logged);
    TestServer server;
    answerBoth(server, answer(500, "\nnot logged\n"), answer(200, report));
    pointAt(hostOf(server));
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(u"install_failed"_s, reason);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    const QStringList lines = gaMessagesSince(mark);
    QCOMPARE(lines.first(), u"GA: event install_failed reason=\""_s + reason + u'"');
    QCOMPARE(QSet<QString>(lines.begin() + 1, lines.end()),
             (QSet<QString>{u"GA: install_failed mp/collect -> HTTP 500"_s,
                            u"GA: install_failed debug/mp/collect -> HTTP 200, validation: "_s +
                                logged}));

    const QList<RecordedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QSet<QByteArray> targets;
    for (const RecordedRequest &r : requests) {
        targets << r.target;
        QCOMPARE(r.method, "POST");
        QCOMPARE(r.headers.value("content-type"), "application/json");
        QCOMPARE(r.body, requests.first().body);
    }
    const QByteArray query =
        "?measurement_id=" + kMeasurementId.toUtf8() + "&api_secret=" + kSecret.toUtf8();
    QCOMPARE(targets, (QSet<QByteArray>{"/mp/collect" + query, "/debug/mp/collect" + query}));

    const QByteArray body = requests.first().body;
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    QCOMPARE(body, doc.toJson(QJsonDocument::Compact));
    const QJsonObject params =
        reason.isEmpty() ? QJsonObject() : QJsonObject{{u"reason"_s, reason}};
    const QJsonObject event{{u"name"_s, u"install_failed"_s}, {u"params"_s, params}};
    // One client id for every event of the run.
    QCOMPARE(doc.object(),
             (QJsonObject{{u"client_id"_s, ITClientId()}, {u"events"_s, QJsonArray{event}}}));
    QVERIFY(QRegularExpression(
                u"^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"_s)
                .match(ITClientId())
                .hasMatch());
}

void TestAnalytics::serverThatNeverAnswersEndsInOneErrorPerEndpoint()
{
    TestServer server;
    answerBoth(server, answer(200, {}, true), answer(200, {}, true));
    pointAt(hostOf(server));
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(u"install_start"_s);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    QStringList lines = gaMessagesSince(mark).mid(1);
    lines.sort();
    QVERIFY2(lines[0].startsWith(u"GA: install_start debug/mp/collect ERROR "_s),
             qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith(u"GA: install_start mp/collect ERROR "_s), qPrintable(lines[1]));
}

void TestAnalytics::emptySecretSendsNothing()
{
    TestServer server;
    answerBoth(server, answer(200), answer(200));
    pointAt(hostOf(server), QString());
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(u"offline_download"_s, u"unused"_s);
    // An event sent after it shows that the skipped one did not go out first.
    pointAt(hostOf(server));
    ITTrackEvent(u"install_cancelled"_s);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 4, kWaitMs);
    const QStringList lines = gaMessagesSince(mark);
    QCOMPARE(lines.first(), u"GA: SKIPPED offline_download - API_SECRET not configured"_s);
    QCOMPARE(lines.filter(u"offline_download"_s).size(), 1);
    QCOMPARE(server.requests().size(), 2);
    for (const RecordedRequest &r : server.requests())
        QVERIFY(!r.body.contains("offline_download"));
}

void TestAnalytics::exitAbandonsRequestsInFlight()
{
    TestServer server;
    answerBoth(server, answer(200, {}, true), answer(200, {}, true));
    const qsizetype mark = LogReader::mark();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"TST_ANALYTICS_HOST"_s, hostOf(server));
    env.insert(u"TST_ANALYTICS_CA"_s, TestCa::instance().caFile);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForStarted());

    // Both requests are open on the server when the child is told to end.
    QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 2, kWaitMs);
    child.write("exit\n");
    QVERIFY(child.waitForFinished(kWaitMs));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    // Waiting for the answers would have run into the time-out and logged it.
    QCOMPARE(gaMessagesSince(mark), QStringList{u"GA: event exit_test reason=\"\""_s});
}

int main(int argc, char **argv)
{
    // The child of exitAbandonsRequestsInFlight: sends one event, ends when told to.
    if (qEnvironmentVariableIsSet("TST_ANALYTICS_HOST")) {
        pointAt(qEnvironmentVariable("TST_ANALYTICS_HOST"));
        ITTrackEvent(u"exit_test"_s);
        std::string line;
        std::getline(std::cin, line);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestAnalytics test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_analytics.moc"
