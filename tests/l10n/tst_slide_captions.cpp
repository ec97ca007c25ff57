#include "diag/log.h"
#include "l10n/localization.h"
#include "l10n/slide_captions.h"
#include "log_reader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// The index of a language code in the catalogue.
qsizetype indexOf(const QList<UIStrings> &records, const QString &code)
{
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (records[i].code == code)
            return i;
    }
    return -1;
}

} // namespace

class TestSlideCaptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void languagesFallBackToEnglish_data();
    void languagesFallBackToEnglish();
    void unusableFileGivesEmptyCaptions_data();
    void unusableFileGivesEmptyCaptions();
    void shortOrOddListsReadAsEmptyCaptions();
    void shippedFileHasFourCaptionsPerLanguage();

private:
    QString write(const QByteArray &json);
    // Attaches the captions of `path` to fresh records; returns them and the log lines.
    QList<UIStrings> attach(const QString &path, QStringList *log = nullptr);

    QTemporaryDir m_dir;
    int m_files = 0;
};

void TestSlideCaptions::initTestCase()
{
    QVERIFY(m_dir.isValid());
    ITLog("TEST: slide captions"); // starts the log, so that marks count from here
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

QList<UIStrings> TestSlideCaptions::attach(const QString &path, QStringList *log)
{
    QList<UIStrings> records = Localization::all();
    for (UIStrings &r : records)
        r.slides.clear();
    const qsizetype mark = LogReader::mark();
    SlideCaptions::attach(records, path);
    if (log)
        *log = LogReader::messagesSince(mark);
    return records;
}

void TestSlideCaptions::languagesFallBackToEnglish_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QStringList>("ownLists"); // codes that keep their own captions
    QTest::addColumn<QString>("logged");
    const QByteArray en = R"("en": ["e1", "e2", "e3", "e4"])";
    QTest::newRow("en and de only")
        << "{" + en + R"(, "de": ["d1", "d2", "d3", "d4"]})" << QStringList{u"de"_s}
        << u"L10N: slides loaded for 2 languages (en fallback: 4 captions)"_s;
    QTest::newRow("fr is a string")
        << "{" + en + R"(, "fr": "f1", "it": ["i1", "i2", "i3", "i4"]})" << QStringList{u"it"_s}
        << u"L10N: slides loaded for 3 languages (en fallback: 4 captions)"_s;
    QTest::newRow("key in another letter case")
        << "{" + en + R"(, "zh-hans": ["z1", "z2", "z3", "z4"], "xx": []})" << QStringList()
        << u"L10N: slides loaded for 3 languages (en fallback: 4 captions)"_s;
}

void TestSlideCaptions::languagesFallBackToEnglish()
{
    QFETCH(QByteArray, json);
    QFETCH(QStringList, ownLists);
    QFETCH(QString, logged);
    QStringList log;
    const QList<UIStrings> records = attach(write(json), &log);

    QCOMPARE(log, QStringList{logged});
    const QStringList english{u"e1"_s, u"e2"_s, u"e3"_s, u"e4"_s};
    for (const UIStrings &r : records) {
        if (r.code == u"en"_s || !ownLists.contains(r.code)) {
            QCOMPARE(r.slides, english);
        } else {
            QCOMPARE(r.slides.size(), 4);
            // Own captions start with the language's letter: "d1" for de, "i1" for it.
            for (const QString &caption : r.slides)
                QVERIFY2(caption.startsWith(r.code.at(0)), qPrintable(caption));
        }
    }
}

void TestSlideCaptions::unusableFileGivesEmptyCaptions_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shownPath");
    QTest::newRow("not in bundle") << QString() << u"(not in bundle)"_s;
    const QString gone = m_dir.filePath(u"gone.json"_s);
    QTest::newRow("missing file") << gone << gone;
    const QString invalid = write(R"({"en": ["e1", "e2", "e3", "e4"],})");
    QTest::newRow("invalid JSON") << invalid << invalid;
    const QString array = write(R"([{"en": ["e1", "e2", "e3", "e4"]}])");
    QTest::newRow("array at the top") << array << array;
    QTest::newRow("a folder") << m_dir.path() << m_dir.path();
}

void TestSlideCaptions::unusableFileGivesEmptyCaptions()
{
    QFETCH(QString, path);
    QFETCH(QString, shownPath);
    QStringList log;
    const QList<UIStrings> records = attach(path, &log);

    QCOMPARE(log,
             (QStringList{u"L10N: slides.json missing or invalid at "_s + shownPath,
                          u"L10N: slides loaded for 0 languages (en fallback: 0 captions)"_s}));
    for (const UIStrings &r : records)
        QCOMPARE(r.slides, QStringList(SlideCaptions::kSlideCount, QString()));
}

void TestSlideCaptions::shortOrOddListsReadAsEmptyCaptions()
{
    QStringList log;
    QList<UIStrings> records = attach(
        write(
            R"({"en": {"1": "e1"}, "it": ["i1", 2, null], "ja": ["j1", "j2", "j3", "j4", "j5"]})"),
        &log);
    QCOMPARE(log, QStringList{u"L10N: slides loaded for 3 languages (en fallback: 0 captions)"_s});
    QCOMPARE(records[indexOf(records, u"it"_s)].slides,
             (QStringList{u"i1"_s, QString(), QString(), QString()}));
    QCOMPARE(records[indexOf(records, u"ja"_s)].slides.mid(0, 4),
             (QStringList{u"j1"_s, u"j2"_s, u"j3"_s, u"j4"_s}));
    // An "en" member that is not a list leaves the others with four empty captions.
    QCOMPARE(records[indexOf(records, u"de"_s)].slides,
             QStringList(SlideCaptions::kSlideCount, QString()));
}

void TestSlideCaptions::shippedFileHasFourCaptionsPerLanguage()
{
    QStringList log;
    const QList<UIStrings> records = attach(QStringLiteral(QUORVEL_SHIPPED_SLIDES), &log);
    QCOMPARE(log, QStringList{u"L10N: slides loaded for 9 languages (en fallback: 4 captions)"_s});
    const QStringList english = records.first().slides;
    for (const UIStrings &r : records) {
        QCOMPARE(r.slides.size(), 4);
        QVERIFY2(r.code == u"en"_s || r.slides != english, qPrintable(r.code));
        for (const QString &caption : r.slides)
            QVERIFY2(!caption.trimmed().isEmpty() && caption == caption.trimmed(),
                     qPrintable(r.code));
    }
}

QTEST_GUILESS_MAIN(TestSlideCaptions)
#include "tst_slide_captions.moc"
