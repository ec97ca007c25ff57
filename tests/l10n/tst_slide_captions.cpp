#include "diag/log.h"
#include "l10n/localization.h"
#include "l10n/slide_captions.h"
#include "log_reader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// What attach() returns: the nine caption lists, each joined with "|" (`english` where `own`
// has no entry), then `log`.
QStringList outcome(const QStringList &log, const QString &english,
                    const QMap<qsizetype, QString> &own = {})
{
    QStringList lists;
    for (qsizetype i = 0; i < 9; ++i)
        lists << own.value(i, english);
    return lists + log;
}

QString loaded(int languages, int captions)
{
    return u"L10N: slides loaded for %1 languages (en fallback: %2 captions)"_s.arg(languages).arg(
        captions);
}

// Attaches the captions of `path` to fresh records; returns their lists and the log lines.
QStringList attach(const QString &path)
{
    QList<UIStrings> records = Localization::all();
    for (UIStrings &r : records)
        r.slides.clear();
    const qsizetype mark = LogReader::mark();
    SlideCaptions::attach(records, path);
    QStringList lists;
    for (const UIStrings &r : records)
        lists << r.slides.join(u'|');
    return lists + LogReader::messagesSince(mark);
}

// A new file in a temporary folder that holds `json`; none for a null `json`.
QString fileWith(const QByteArray &json)
{
    static QTemporaryDir dir;
    static int files = 0;
    QFile f(dir.filePath(QString::number(++files) + u".json"_s));
    if (!json.isNull() && (!f.open(QIODevice::WriteOnly) || f.write(json) != json.size()))
        qFatal("cannot write %s", qPrintable(f.fileName()));
    return f.fileName();
}

} // namespace

class TestSlideCaptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ITLog("TEST: slide captions"); } // marks count from the log's start
    void readsEachLanguageOrTheEnglishList_data();
    void readsEachLanguageOrTheEnglishList();
    void shippedFileHasFourCaptionsPerLanguage();
};

void TestSlideCaptions::readsEachLanguageOrTheEnglishList_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("outcome");
    const QByteArray en = R"("en": ["e1", "e2", "e3", "e4"])";
    const QString english = u"e1|e2|e3|e4"_s;
    // Not an array, or a key in another letter case: the English list.
    QTest::newRow("own lists, else English")
        << fileWith("{" + en + R"(, "de": ["d1", "d2", "d3", "d4"], "fr": "f1", "zh-hans": []})")
        << outcome({loaded(4, 4)}, english, {{1, u"d1|d2|d3|d4"_s}});
    // The slideshow reads four captions from every list.
    QTest::newRow("short, long and odd lists")
        << fileWith(R"({"en": {"1": "e1"}, "it": ["i1", 2, null], "ja": ["j1", "j2", "j3", "j4",
                    "j5"]})")
        << outcome({loaded(3, 0)}, u"|||"_s, {{5, u"i1|||"_s}, {8, u"j1|j2|j3|j4|j5"_s}});
    const auto unusable = [](const char *name, const QString &path) {
        QTest::newRow(name) << path
                            << outcome({u"L10N: slides.json missing or invalid at "_s + path,
                                        loaded(0, 0)},
                                       u"|||"_s);
    };
    unusable("missing file", fileWith(QByteArray()));
    unusable("invalid JSON", fileWith("{" + en + ",}"));
    unusable("array at the top", fileWith("[{" + en + "}]"));
}

void TestSlideCaptions::readsEachLanguageOrTheEnglishList()
{
    QFETCH(QString, path);
    QFETCH(QStringList, outcome);
    QCOMPARE(attach(path), outcome);
}

void TestSlideCaptions::shippedFileHasFourCaptionsPerLanguage()
{
    const QStringList lists = attach(QStringLiteral(QUORVEL_SHIPPED_SLIDES));
    QCOMPARE(lists.mid(9), QStringList{loaded(9, 4)});
    for (qsizetype i = 0; i < 9; ++i) {
        const QStringList captions = lists[i].split(u'|');
        QCOMPARE(captions.size(), 4);
        QVERIFY2(i == 0 || lists[i] != lists[0], qPrintable(lists[i])); // no language borrows
        for (const QString &caption : captions)
            QVERIFY2(!caption.isEmpty() && caption == caption.trimmed(), qPrintable(lists[i]));
    }
}

QTEST_GUILESS_MAIN(TestSlideCaptions)
#include "tst_slide_captions.moc"
