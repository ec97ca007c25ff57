#include "diag/log.h"
#include "engine/tool_runner.h"
#include "log_reader.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TstToolRunner : public QObject
{
    Q_OBJECT

private slots:
    void argumentsReachTheToolUnchanged()
    {
        ToolOutput out;
        const int rc = runTool(
            u"/usr/bin/printf"_s,
            {u"[%s]\\n"_s, u"two words"_s, QString(), u"'\"$(id);`id`*"_s, u"Grüße \\ 字"_s}, &out);
        QCOMPARE(rc, 0);
        QCOMPARE(out.standardOutput, u"[two words]\n[]\n['\"$(id);`id`*]\n[Grüße \\ 字]\n"_s);
    }

    void streamsAndStatus_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("status");
        QTest::addColumn<std::optional<QString>>("out");
        QTest::addColumn<std::optional<QString>>("err");
        QTest::newRow("both streams, kept apart")
            << u"echo out; echo err >&2; exit 3"_s << 3 << std::optional(u"out\n"_s)
            << std::optional(u"err\n"_s);
        QTest::newRow("stdout not UTF-8") << u"printf 'ok\\377'; echo fine >&2"_s << 0
                                          << std::optional<QString>() << std::optional(u"fine\n"_s);
        QTest::newRow("silent") << u"exit 0"_s << 0 << std::optional(QString())
                                << std::optional(QString());
        QTest::newRow("killed by a signal")
            << u"kill -9 $$"_s << 128 + 9 << std::optional(QString()) << std::optional(QString());
    }
    void streamsAndStatus()
    {
        QFETCH(QString, script);
        QFETCH(int, status);
        QFETCH(std::optional<QString>, out);
        QFETCH(std::optional<QString>, err);
        ToolOutput output;
        QCOMPARE(runTool(u"/bin/sh"_s, {u"-c"_s, script}, &output), status);
        QCOMPARE(output.standardOutput, out);
        QCOMPARE(output.standardError, err);
    }

    void launchFailure_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::newRow("missing") << u"/no/such/tool"_s;
        QTest::newRow("a folder") << u"/tmp"_s;
        QTest::newRow("not absolute") << u"sh"_s;
    }
    void launchFailure()
    {
        QFETCH(QString, tool);
        ITLog("TEST: mark");
        const qsizetype mark = LogReader::mark();
        ToolOutput output{u"untouched"_s, u"untouched"_s};
        QCOMPARE(runTool(tool, {u"-c"_s, u"exit 0"_s}, &output), -1);
        QCOMPARE(output.standardOutput, u"untouched"_s);
        const QStringList lines = LogReader::messagesSince(mark);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith(u"INST: failed to launch "_s + tool + u": "_s),
                 qPrintable(lines[0]));
        QVERIFY(lines[0].size() > (u"INST: failed to launch "_s + tool + u": "_s).size());
    }
};

QTEST_GUILESS_MAIN(TstToolRunner)
#include "tst_tool_runner.moc"
