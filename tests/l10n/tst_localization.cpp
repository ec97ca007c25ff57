#include "l10n/localization.h"
#include "l10n/slide_captions.h"
#include "log_reader.h"
#include "test_files.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

QString loaded(int languages, int captions)
{
    return u"L10N: slides loaded for %1 languages (en fallback: %2 captions)"_s.arg(languages).arg(
        captions);
}

// Attaches the captions of a file holding `json` (none for a null one) to fresh records;
// returns their lists, each joined with "|", and then the log lines, the file named FILE.
QStringList attach(const QByteArray &json)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"slides.json"_s);
    if (!json.isNull() && !writeFile(path, json))
        return {};
    QList<UIStrings> records = Localization::all();
    const qsizetype mark = LogReader::mark();
    SlideCaptions::attach(records, path);
    QStringList lists;
    for (const UIStrings &r : records)
        lists << r.slides.join(u'|');
    return lists + LogReader::messagesSince(mark).replaceInStrings(path, u"FILE"_s);
}

} // namespace

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    // Each language has its own word for everything, and its own four slide captions as
    // shipped; none borrows the English one.
    void everyTextIsSetTrimmedAndFormatsOnce()
    {
        QList<UIStrings> all = Localization::all();
        const qsizetype mark = LogReader::mark();
        SlideCaptions::attach(all, QStringLiteral(QUORVEL_SHIPPED_SLIDES));
        QCOMPARE(LogReader::messagesSince(mark), QStringList{loaded(9, 4)});
        for (qsizetype i = 0; i < all.size(); ++i) {
            const UIStrings &s = all[i];
            for (QString UIStrings::*field : UIStrings::textFields) {
                const QString &text = s.*field;
                // Only couldNotStart of the Latin-script languages (before zh-Hans) ends in a
                // blank.
                const bool blank = field == &UIStrings::couldNotStart && i < 6;
                const QString placeholder = field == &UIStrings::exitConfirm      ? u"%@"_s
                                            : field == &UIStrings::installerError ? u"%ld"_s
                                                                                  : QString();
                // Three dots end a text in every language or in none.
                QVERIFY2(!text.trimmed().isEmpty() && (i == 0 || text != all[0].*field) &&
                             text == text.trimmed() + (blank ? u" "_s : u""_s) &&
                             text.endsWith(u"..."_s) == (all[0].*field).endsWith(u"..."_s) &&
                             text.count(u'%') == (placeholder.isEmpty() ? 0 : 1) &&
                             text.contains(placeholder),
                         qPrintable(s.code + u": "_s + text));
            }
            QVERIFY2(s.slides.size() == 4 && !s.slides.contains(QString()) &&
                         (i == 0 || s.slides != all[0].slides),
                     qPrintable(s.slides.join(u'|')));
            QCOMPARE(s.exitQuestion(u"Quorvel"_s),
                     QString(s.exitConfirm).replace(u"%@"_s, u"Quorvel"_s));
            QCOMPARE(s.installerErrorText(-5000),
                     QString(s.installerError).replace(u"%ld"_s, u"-5000"_s));
        }
    }

    void detectsTheStartingLanguage_data()
    {
        QTest::addColumn<QString>("settings"); // Linux locale variables; the others unset
        QTest::addColumn<QString>("code");     // of the language picked
        const auto row = [](const char *settings, const char *code) {
            QTest::newRow(*settings ? settings : "nothing set")
                << QString::fromUtf8(settings) << QString::fromLatin1(code);
        };
        // Hyphenated identifiers; Chinese by script, and by region where the region decides.
        row("", "en");
        row("LANGUAGE=zh-Hans-CN", "zh-Hans");
        row("LANGUAGE=zh-Hant", "zh-Hant");
        row("LANGUAGE=zh-Hans-HK", "zh-Hant");
        row("LANGUAGE=zh-Hans-MO", "zh-Hant");
        // Linux locale names, and which setting counts.
        row("LANG=zh_TW.UTF-8", "zh-Hant");
        row("LANG=pt_BR", "pt");
        row("LC_ALL=sr_RS@latin LANG=de_DE", "en");
        row("LC_ALL=C LANG=fr_FR", "en");
        row("LC_MESSAGES=POSIX LANG=de_DE", "en");
        row("LC_ALL= LC_MESSAGES=it_IT.UTF-8 LANG=fr_FR.UTF-8", "it");
        row("LC_ALL=es_ES LC_MESSAGES=it_IT LANG=fr_FR", "es");
        row("LANGUAGE=ja:de LANG=fr_FR", "ja");
        row("LANGUAGE=:de_AT LANG=fr_FR", "de");
        row("LANGUAGE= LANG=fr_FR", "fr");
        row("LANGUAGE=ko_KR:de_DE LANG=de_DE", "en");
    }

    void detectsTheStartingLanguage()
    {
        QFETCH(QString, settings);
        QFETCH(QString, code);
        for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
            qunsetenv(name);
        for (const QString &setting : settings.split(u' ', Qt::SkipEmptyParts))
            qputenv(setting.section(u'=', 0, 0).toUtf8().constData(),
                    setting.section(u'=', 1).toUtf8());
        // By code: the index must also name that language's record.
        QCOMPARE(Localization::all().value(Localization::detectSystemLanguageIndex()).code, code);
    }

    void readsEachLanguageOrTheEnglishList_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("outcome"); // what attach() returns
        const QByteArray en = R"("en": ["e1", "e2", "e3", "e4"])";
        const QString e = u"e1|e2|e3|e4"_s;
        // Not an array, or a key in another letter case: the English list.
        QTest::newRow("own lists, else English")
            << "{" + en + R"(, "de": ["d1", "d2", "d3", "d4"], "fr": "f1", "zh-hans": []})"
            << QStringList{e, u"d1|d2|d3|d4"_s, e, e, e, e, e, e, e, loaded(4, 4)};
        // The slideshow reads four captions from every list.
        const QString none = u"|||"_s;
        QTest::newRow("short, long and odd lists")
            << QByteArray(R"({"en": {"1": "e1"}, "it": ["i1", 2, null], "ja": ["j1", "j2", "j3",
                    "j4", "j5"]})")
            << QStringList(5, none) +
                   QStringList{u"i1|||"_s, none, none, u"j1|j2|j3|j4|j5"_s, loaded(3, 0)};
        const QStringList unusable =
            QStringList(9, none) +
            QStringList{u"L10N: slides.json missing or invalid at FILE"_s, loaded(0, 0)};
        QTest::newRow("missing file") << QByteArray() << unusable;
        QTest::newRow("invalid JSON") << "{" + en + ",}" << unusable;
        QTest::newRow("array at the top") << "[{" + en + "}]" << unusable;
    }

    void readsEachLanguageOrTheEnglishList()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, outcome);
        QCOMPARE(attach(json), outcome);
    }
};

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
