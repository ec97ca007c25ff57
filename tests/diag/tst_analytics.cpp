#include "diag/analytics.h"
#include "diag/log.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_server.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <iostream>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kWaitMs = 30000;
const QString kMeasurementId = u"G-TEST0000AB"_s;
const QString kSecret = u"test-Secret-0123456789"_s;

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
    ITSetAnalyticsSettings({.host = u"127.0.0.1:%1"_s.arg(server.port()),
                            .measurementId = kMeasurementId,
                            .apiSecret = secret,
                            .caFile = TestCa::instance().caFile});
    return LogReader::mark();
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
    void emptySecretSendsNothing();
    void exitAbandonsRequestsInFlight();
};

void TestAnalytics::sendsTheEventToBothEndpoints_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("report"); // the validation endpoint's answer; null: none ever
    QTest::addColumn<QString>("logged");    // as the log shows it
    // Quotes, a backslash and text outside ASCII must still give valid JSON.
    QTest::newRow("reason to escape, report in blank lines")
        << u"say \"hi\" \\ grüße 日本"_s << QByteArray("\r\n\n\t {\"a\": []}\n \n")
        << u"{\"a\": []}"_s;
    // Empty but not null: no reason at all.
    QTest::newRow("empty reason, blank report") << u""_s << QByteArray(" \n\n") << QString();
    QTest::newRow("server never answers") << QString() << QByteArray() << QString();
}

void TestAnalytics::sendsTheEventToBothEndpoints()
{
    QFETCH(QString, reason);
    QFETCH(QByteArray, report);
    QFETCH(QString, logged);
    const bool silent = report.isNull();
    TestServer server;
    const qsizetype mark = serve(server, silent, report);
    QElapsedTimer clock;
    clock.start();

    ITTrackEvent(u"install_failed"_s, reason);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 3, kWaitMs);
    QStringList lines = gaMessagesSince(mark);
    QCOMPARE(lines.takeFirst(), u"GA: event install_failed reason=\""_s + reason + u'"');
    lines.sort(); // debug/mp/collect first
    const QString ga = u"GA: install_failed "_s;
    if (silent) {
        QCOMPARE_GE(clock.elapsed(), 5000); // the time-out, not a failure to reach the server
        QVERIFY2(lines[0].startsWith(ga + u"debug/mp/collect ERROR "_s) &&
                     lines[1].startsWith(ga + u"mp/collect ERROR "_s),
                 qPrintable(lines.join(u'\n')));
    } else {
        QCOMPARE(lines, (QStringList{ga + u"debug/mp/collect -> HTTP 200, validation: "_s + logged,
                                     ga + u"mp/collect -> HTTP 500"_s}));
    }

    const QJsonObject params =
        reason.isEmpty() ? QJsonObject() : QJsonObject{{u"reason"_s, reason}};
    const QJsonObject event{{u"name"_s, u"install_failed"_s}, {u"params"_s, params}};
    // Compact JSON; one client id for every event of the run, as every row compares with it.
    const QJsonObject body{{u"client_id"_s, ITClientId()}, {u"events"_s, QJsonArray{event}}};
    const QList<RecordedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    for (const RecordedRequest &r : requests) {
        QCOMPARE(r.method, "POST");
        QCOMPARE(r.headers.value("content-type"), "application/json");
        QCOMPARE(r.body, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
    const QByteArray query =
        "?measurement_id=" + kMeasurementId.toUtf8() + "&api_secret=" + kSecret.toUtf8();
    QCOMPARE((QSet<QByteArray>{requests[0].target, requests[1].target}),
             (QSet<QByteArray>{"/mp/collect" + query, "/debug/mp/collect" + query}));
    const QRegularExpression uuid(
        u"^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"_s);
    QVERIFY2(uuid.match(ITClientId()).hasMatch(), qPrintable(ITClientId()));
}

void TestAnalytics::emptySecretSendsNothing()
{
    TestServer server;
    const qsizetype mark = serve(server, false, {}, QString());
    ITTrackEvent(u"offline_download"_s, u"unused"_s);
    serve(server, false); // an event after it shows that the skipped one did not go out first
    ITTrackEvent(u"install_cancelled"_s);

    QTRY_COMPARE_WITH_TIMEOUT(gaMessagesSince(mark).size(), 4, kWaitMs);
    const QStringList lines = gaMessagesSince(mark);
    QCOMPARE(lines.first(), u"GA: SKIPPED offline_download - API_SECRET not configured"_s);
    QCOMPARE(lines.filter(u"offline_download"_s).size(), 1);
    QCOMPARE(server.requests().size(), 2); // the answered pair of install_cancelled
}

void TestAnalytics::exitAbandonsRequestsInFlight()
{
    TestServer server;
    const qsizetype mark = serve(server, true);
    // The child inherits these; this process read them at its start.
    qputenv("TST_ANALYTICS_HOST", "127.0.0.1:" + QByteArray::number(server.port()));
    qputenv("TST_ANALYTICS_CA", TestCa::instance().caFile.toUtf8());
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {});
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
        // It trusts its parent's authority rather than making its own.
        ITSetAnalyticsSettings({.host = qEnvironmentVariable("TST_ANALYTICS_HOST"),
                                .measurementId = kMeasurementId,
                                .apiSecret = kSecret,
                                .caFile = qEnvironmentVariable("TST_ANALYTICS_CA")});
        ITTrackEvent(u"exit_test"_s);
        std::cin.get();
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestAnalytics test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_analytics.moc"
