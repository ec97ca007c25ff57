#include "diag/log.h"
#include "l10n/localization.h"
#include "l10n/slide_captions.h"
#include "log_reader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// The nine records' caption lists, each joined with "|": `english` where `own` has no entry.
QStringList expected(const QString &english, const QMap<qsizetype, QString> &own = {})
{
    QStringList lists;
    for (qsizetype i = 0; i < 9; ++i)
        lists << own.value(i, english);
    return lists;
}

} // namespace

class TestSlideCaptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsEachLanguageOrTheEnglishList_data();
    void readsEachLanguageOrTheEnglishList();
    void shippedFileHasFourCaptionsPerLanguage();

private:
    QString write(const QByteArray &json);
    // Attaches the captions of `path` to fresh records: their lists and the log lines.
    QStringList attach(const QString &path, QStringList &log);

    QTemporaryDir m_dir;
    int m_files = 0;
};

void TestSlideCaptions::initTestCase()
{
    QVERIFY(m_dir.isValid());
    ITLog("TEST: slide captions"); // marks count from the log's start
    Localization::all();           // its own load of the captions is not under test here
}

QString TestSlideCaptions::write(const QByteArray &json)
{
    const QString path = m_dir.filePath(QString::number(++m_files) + u".json"_s);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(json) != json.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QStringList TestSlideCaptions::attach(const QString &path, QStringList &log)
{
    QList<UIStrings> records = Localization::all();
    for (UIStrings &r : records)
        r.slides.clear();
    const qsizetype mark = LogReader::mark();
    SlideCaptions::attach(records, path);
    log = LogReader::messagesSince(mark);
    QStringList lists;
    for (const UIStrings &r : records)
        lists << r.slides.join(u'|');
    return lists;
}

void TestSlideCaptions::readsEachLanguageOrTheEnglishList_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("lists");
    QTest::addColumn<QStringList>("log");
    const QByteArray en = R"("en": ["e1", "e2", "e3", "e4"])";
    const QString english = u"e1|e2|e3|e4"_s;
    const auto loaded = [](int languages, int captions) {
        return u"L10N: slides loaded for %1 languages (en fallback: %2 captions)"_s.arg(languages)
            .arg(captions);
    };
    QTest::newRow("en and de only")
        << write("{" + en + R"(, "de": ["d1", "d2", "d3", "d4"]})")
        << expected(english, {{1, u"d1|d2|d3|d4"_s}}) << QStringList{loaded(2, 4)};
    QTest::newRow("fr is a string")
        << write("{" + en + R"(, "fr": "f1", "it": ["i1", "i2", "i3", "i4"]})")
        << expected(english, {{5, u"i1|i2|i3|i4"_s}}) << QStringList{loaded(3, 4)};
    QTest::newRow("key in another letter case")
        << write("{" + en + R"(, "zh-hans": ["z1", "z2", "z3", "z4"], "xx": []})")
        << expected(english) << QStringList{loaded(3, 4)};
    // The slideshow reads four captions from every list.
    QTest::newRow("short, long and odd lists")
        << write(
               R"({"en": {"1": "e1"}, "it": ["i1", 2, null], "ja": ["j1", "j2", "j3", "j4", "j5"]})")
        << expected(u"|||"_s, {{5, u"i1|||"_s}, {8, u"j1|j2|j3|j4|j5"_s}})
        << QStringList{loaded(3, 0)};

    const auto unusable = [&](const char *name, const QString &path, const QString &shown) {
        QTest::newRow(name) << path << expected(u"|||"_s)
                            << QStringList{u"L10N: slides.json missing or invalid at "_s + shown,
                                           loaded(0, 0)};
    };
    unusable("not in bundle", QString(), u"(not in bundle)"_s);
    const QString gone = m_dir.filePath(u"gone.json"_s);
    unusable("missing file", gone, gone);
    const QString invalid = write("{" + en + ",}");
    unusable("invalid JSON", invalid, invalid);
    const QString array = write("[{" + en + "}]");
    unusable("array at the top", array, array);
    unusable("a folder", m_dir.path(), m_dir.path());
}

void TestSlideCaptions::readsEachLanguageOrTheEnglishList()
{
    QFETCH(QString, path);
    QFETCH(QStringList, lists);
    QFETCH(QStringList, log);
    QStringList logged;
    QCOMPARE(attach(path, logged), lists);
    QCOMPARE(logged, log);
}

void TestSlideCaptions::shippedFileHasFourCaptionsPerLanguage()
{
    QStringList log;
    const QStringList lists = attach(QStringLiteral(QUORVEL_SHIPPED_SLIDES), log);
    QCOMPARE(log, QStringList{u"L10N: slides loaded for 9 languages (en fallback: 4 captions)"_s});
    for (qsizetype i = 0; i < lists.size(); ++i) {
        const QStringList captions = lists[i].split(u'|');
        QCOMPARE(captions.size(), 4);
        QVERIFY2(i == 0 || lists[i] != lists[0], qPrintable(lists[i])); // no language borrows
        for (const QString &caption : captions)
            QVERIFY2(!caption.isEmpty() && caption == caption.trimmed(), qPrintable(lists[i]));
    }
}

QTEST_GUILESS_MAIN(TestSlideCaptions)
#include "tst_slide_captions.moc"
