#include "diag/analytics.h"
#include "diag/log.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_server.h"

#include <QDir>
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
const QString kMeasurementId = QStringLiteral("G-TEST0000AB");
const QString kSecret = QStringLiteral("test-Secret-0123456789");

void pointAt(const TestServer &server, const QString &secret = kSecret)
{
    AnalyticsSettings s;
    s.host = QStringLiteral("127.0.0.1:") + QString::number(server.port());
    s.measurementId = kMeasurementId;
    s.apiSecret = secret;
    s.caFile = TestCa::instance().caFile;
    ITSetAnalyticsSettings(s);
}

QStringList gaMessagesSince(qsizetype mark)
{
    return LogReader::messagesSince(mark).filter(QRegularExpression(QStringLiteral("^GA: ")));
}

QJsonObject parseObject(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qWarning("not a JSON object: %s", body.constData());
    return doc.object();
}

Response answer(int status, const QByteArray &body = QByteArray())
{
    Response r;
    r.status = status;
    r.body = body;
    return r;
}

Response silence()
{
    Response r;
    r.neverAnswer = true;
    return r;
}

QStringList sortedKeys(const QJsonObject &o)
{
    QStringList keys = o.keys();
    keys.sort();
    return keys;
}

} // namespace

class TestAnalytics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sendsTheEventToBothEndpoints();
    void missingAndEmptyReasonAreTheSame_data();
    void missingAndEmptyReasonAreTheSame();
    void validationAnswerIsTrimmed_data();
    void validationAnswerIsTrimmed();
    void serverThatNeverAnswersEndsInOneErrorPerEndpoint();
    void emptySecretSendsNothing();
    void burstOfEventsStartsNoThreadPerRequest();
    void exitAbandonsRequestsInFlight();
};

void TestAnalytics::initTestCase()
{
    ITLog("TEST: analytics"); // starts the log, so that marks count from here
}

void TestAnalytics::sendsTheEventToBothEndpoints()
{
    TestServer server;
    server.setRoute("/mp/collect", answer(204));
    server.setRoute("/debug/mp/collect", answer(200, "\n  {\"validationMessages\": []}  \r\n\n"));
    pointAt(server);
    // Quotes, a backslash and text outside ASCII must still give valid JSON.
    const QString reason = QStringLiteral("say \"hi\" \\ grüße 日本");
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(QStringLiteral("install_failed"), reason);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    const QStringList lines = gaMessagesSince(mark);
    QCOMPARE(lines.first(), QStringLiteral("GA: event install_failed reason=\"") + reason + u'"');
    QCOMPARE(QSet<QString>(lines.begin() + 1, lines.end()),
             (QSet<QString>{QStringLiteral("GA: install_failed mp/collect -> HTTP 204"),
                            QStringLiteral("GA: install_failed debug/mp/collect -> HTTP 200, "
                                           "validation: {\"validationMessages\": []}")}));

    const QList<RecordedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QStringList targets;
    for (const RecordedRequest &r : requests) {
        targets << QString::fromUtf8(r.target);
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(r.body, requests.first().body);
    }
    targets.sort();
    const QString query = QStringLiteral("?measurement_id=") + kMeasurementId +
                          QStringLiteral("&api_secret=") + kSecret;
    QCOMPARE(targets, (QStringList{QStringLiteral("/debug/mp/collect") + query,
                                   QStringLiteral("/mp/collect") + query}));

    const QByteArray body = requests.first().body;
    QCOMPARE(body, QJsonDocument::fromJson(body).toJson(QJsonDocument::Compact));
    const QJsonObject root = parseObject(body);
    QCOMPARE(sortedKeys(root),
             (QStringList{QStringLiteral("client_id"), QStringLiteral("events")}));
    QVERIFY(
        QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                          "[0-9A-F]{12}$"))
            .match(root.value(QStringLiteral("client_id")).toString())
            .hasMatch());
    const QJsonArray events = root.value(QStringLiteral("events")).toArray();
    QCOMPARE(events.size(), 1);
    const QJsonObject event = events.first().toObject();
    QCOMPARE(sortedKeys(event), (QStringList{QStringLiteral("name"), QStringLiteral("params")}));
    QCOMPARE(event.value(QStringLiteral("name")).toString(), QStringLiteral("install_failed"));
    QCOMPARE(event.value(QStringLiteral("params")).toObject(),
             (QJsonObject{{QStringLiteral("reason"), reason}}));
}

void TestAnalytics::missingAndEmptyReasonAreTheSame_data()
{
    QTest::addColumn<QString>("reason");
    QTest::newRow("absent") << QString();
    QTest::newRow("empty") << QStringLiteral("");
}

void TestAnalytics::missingAndEmptyReasonAreTheSame()
{
    QFETCH(QString, reason);
    TestServer server;
    server.setRoute("/mp/collect", answer(200));
    server.setRoute("/debug/mp/collect", answer(200));
    pointAt(server);
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(QStringLiteral("setup_run"), reason);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    QCOMPARE(gaMessagesSince(mark).first(), QStringLiteral("GA: event setup_run reason=\"\""));
    QCOMPARE(server.requests().size(), 2);
    for (const RecordedRequest &r : server.requests()) {
        const QJsonObject root = parseObject(r.body);
        const QJsonObject event = root.value(QStringLiteral("events")).toArray().first().toObject();
        QVERIFY(event.value(QStringLiteral("params")).isObject());
        QVERIFY(event.value(QStringLiteral("params")).toObject().isEmpty());
        // Every event of one run carries the same client.
        QCOMPARE(root.value(QStringLiteral("client_id")).toString(), ITClientId());
    }
}

void TestAnalytics::validationAnswerIsTrimmed_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("logged");
    QTest::newRow("blank lines around")
        << QByteArray("\r\n\n\t {\"a\": 1}\n \n") << QStringLiteral("{\"a\": 1}");
    QTest::newRow("no body") << QByteArray() << QString();
    QTest::newRow("only blanks") << QByteArray(" \n\n") << QString();
}

void TestAnalytics::validationAnswerIsTrimmed()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, logged);
    TestServer server;
    server.setRoute("/mp/collect", answer(500, "\nnot trimmed, not logged\n"));
    server.setRoute("/debug/mp/collect", answer(200, body));
    pointAt(server);
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(QStringLiteral("install_success"));

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    const QStringList lines = gaMessagesSince(mark);
    QVERIFY(lines.contains(QStringLiteral("GA: install_success mp/collect -> HTTP 500")));
    QVERIFY(lines.contains(
        QStringLiteral("GA: install_success debug/mp/collect -> HTTP 200, validation: ") + logged));
}

void TestAnalytics::serverThatNeverAnswersEndsInOneErrorPerEndpoint()
{
    TestServer server;
    server.setRoute("/mp/collect", silence());
    server.setRoute("/debug/mp/collect", silence());
    pointAt(server);
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(QStringLiteral("install_start"));

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    QStringList lines = gaMessagesSince(mark).mid(1);
    lines.sort();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith(QStringLiteral("GA: install_start debug/mp/collect ERROR ")),
             qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith(QStringLiteral("GA: install_start mp/collect ERROR ")),
             qPrintable(lines[1]));
    QCOMPARE(server.requests().size(), 2);
}

void TestAnalytics::emptySecretSendsNothing()
{
    TestServer server;
    server.setRoute("/mp/collect", answer(200));
    server.setRoute("/debug/mp/collect", answer(200));
    pointAt(server, QString());
    const qsizetype mark = LogReader::mark();

    ITTrackEvent(QStringLiteral("offline_download"), QStringLiteral("unused"));
    // A later event that is sent shows that the skipped one did not go out before it.
    pointAt(server);
    ITTrackEvent(QStringLiteral("install_cancelled"));

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 4, kWaitMs);
    const QStringList lines = gaMessagesSince(mark);
    QCOMPARE(lines.first(),
             QStringLiteral("GA: SKIPPED offline_download - API_SECRET not configured"));
    QCOMPARE(lines.filter(QStringLiteral("offline_download")).size(), 1);
    QCOMPARE(server.requests().size(), 2);
    for (const RecordedRequest &r : server.requests())
        QVERIFY(!r.body.contains("offline_download"));
}

void TestAnalytics::burstOfEventsStartsNoThreadPerRequest()
{
    const auto threadCount = [] {
        return QDir(QStringLiteral("/proc/self/task"))
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
            .size();
    };
    TestServer server;
    server.setRoute("/mp/collect", answer(200));
    server.setRoute("/debug/mp/collect", answer(200));
    pointAt(server);
    // The first event brings up whatever the sender keeps for the whole run.
    qsizetype mark = LogReader::mark();
    ITTrackEvent(QStringLiteral("warm_up"));
    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    const qsizetype before = threadCount();

    constexpr int kEvents = 40;
    mark = LogReader::mark();
    for (int i = 0; i < kEvents; ++i)
        ITTrackEvent(QStringLiteral("burst_") + QString::number(i));
    QCOMPARE_LE(threadCount(), before);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).filter(QStringLiteral("-> HTTP 200")).size(),
                              2 * kEvents, kWaitMs);
    QCOMPARE(server.requests().size(), 2 + 2 * kEvents);
}

void TestAnalytics::exitAbandonsRequestsInFlight()
{
    TestServer server;
    server.setRoute("/mp/collect", silence());
    server.setRoute("/debug/mp/collect", silence());
    const qsizetype mark = LogReader::mark();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"TST_ANALYTICS_CHILD_HOST"_s, u"127.0.0.1:"_s + QString::number(server.port()));
    env.insert(u"TST_ANALYTICS_CHILD_CA"_s, TestCa::instance().caFile);
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

// The child of exitAbandonsRequestsInFlight: sends one event, ends when told to.
static int runChild()
{
    AnalyticsSettings s;
    s.host = qEnvironmentVariable("TST_ANALYTICS_CHILD_HOST");
    s.measurementId = kMeasurementId;
    s.apiSecret = kSecret;
    s.caFile = qEnvironmentVariable("TST_ANALYTICS_CHILD_CA");
    ITSetAnalyticsSettings(s);
    ITTrackEvent(u"exit_test"_s);
    std::string line;
    std::getline(std::cin, line);
    return 0;
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("TST_ANALYTICS_CHILD_HOST"))
        return runChild();
    QCoreApplication app(argc, argv);
    TestAnalytics test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_analytics.moc"
