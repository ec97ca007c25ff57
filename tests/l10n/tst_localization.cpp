#include "diag/log.h"
#include "l10n/localization.h"
#include "l10n/slide_captions.h"
#include "log_reader.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

QString loaded(int languages, int captions)
{
    return u"L10N: slides loaded for %1 languages (en fallback: %2 captions)"_s.arg(languages).arg(
        captions);
}

// Attaches the captions of `path` to fresh records; returns their lists, each joined with
// "|", and then the log lines.
QStringList attach(const QString &path)
{
    QList<UIStrings> records = Localization::all();
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

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ITLog("TEST: localization"); } // marks count from the log's start
    void buildsOnceInIndexOrder()
    {
        const qsizetype mark = LogReader::mark();
        const QList<UIStrings> &all = Localization::all();
        QCOMPARE(&all, &Localization::all());
        QStringList codes;
        QSet<QString> names;
        for (const UIStrings &s : all) {
            codes << s.code;
            names << s.langName;
        }
        QCOMPARE(codes, (QStringList{u"en"_s, u"de"_s, u"fr"_s, u"es"_s, u"pt"_s, u"it"_s,
                                     u"zh-Hans"_s, u"zh-Hant"_s, u"ja"_s}));
        QCOMPARE(names.size(), 9);
        // The test binary has no bundle resources: the captions step ran once and said so.
        QCOMPARE(LogReader::messagesSince(mark),
                 (QStringList{u"L10N: slides.json missing or invalid at (not in bundle)"_s,
                              loaded(0, 0)}));
    }

    void everyTextIsSetPlainAndFormatsOnce()
    {
        const QList<UIStrings> &all = Localization::all();
        const QString product = u"Quorvel"_s;
        // Typographic look-alikes slip in when texts are pasted from elsewhere.
        const QRegularExpression lookAlike(u"[\u2026\u2019\u00A0]"_s);
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
                QVERIFY2(!text.trimmed().isEmpty() && !text.contains(lookAlike) &&
                             text == text.trimmed() + (blank ? u" "_s : u""_s) &&
                             text.count(u'%') == (placeholder.isEmpty() ? 0 : 1) &&
                             text.contains(placeholder),
                         qPrintable(s.code + u": "_s + text));
            }
            QCOMPARE(s.exitQuestion(product), QString(s.exitConfirm).replace(u"%@"_s, product));
            QCOMPARE(s.installerErrorText(-5000),
                     QString(s.installerError).replace(u"%ld"_s, u"-5000"_s));
        }
    }

    void detectsTheStartingLanguage_data()
    {
        QTest::addColumn<QString>("settings"); // locale variables; the others are unset
        QTest::addColumn<int>("index");
        const auto row = [](const char *settings, int index) {
            QTest::newRow(*settings ? settings : "nothing set")
                << QString::fromUtf8(settings) << index;
        };
        // Hyphenated identifiers; Chinese by script, and by region where the region decides.
        row("", 0);
        row("LANGUAGE=zh-Hans-CN", 6);
        row("LANGUAGE=zh-Hant", 7);
        row("LANGUAGE=zh-Hans-HK", 7);
        row("LANGUAGE=zh-Hans-MO", 7);
        // Linux locale names, and which setting counts.
        row("LANG=zh_TW.UTF-8", 7);
        row("LANG=pt_BR", 4);
        row("LC_ALL=sr_RS@latin LANG=de_DE", 0);
        row("LC_ALL=C LANG=fr_FR", 0);
        row("LC_MESSAGES=POSIX LANG=de_DE", 0);
        row("LC_ALL= LC_MESSAGES=it_IT.UTF-8 LANG=fr_FR.UTF-8", 5);
        row("LC_ALL=es_ES LC_MESSAGES=it_IT LANG=fr_FR", 3);
        row("LANGUAGE=ja:de LANG=fr_FR", 8);
        row("LANGUAGE=:de_AT LANG=fr_FR", 1);
        row("LANGUAGE= LANG=fr_FR", 2);
        row("LANGUAGE=ko_KR:de_DE LANG=de_DE", 0);
    }

    void detectsTheStartingLanguage()
    {
#ifndef Q_OS_LINUX
        QSKIP("the locale variables are how Linux desktops name the preferred languages");
#endif
        QFETCH(QString, settings);
        QFETCH(int, index);
        for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
            qunsetenv(name);
        for (const QString &setting : settings.split(u' ', Qt::SkipEmptyParts))
            qputenv(setting.section(u'=', 0, 0).toUtf8().constData(),
                    setting.section(u'=', 1).toUtf8());
        QCOMPARE(Localization::detectSystemLanguageIndex(), index);
    }

    void readsEachLanguageOrTheEnglishList_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("outcome"); // what attach() returns
        const QByteArray en = R"("en": ["e1", "e2", "e3", "e4"])";
        const QString e = u"e1|e2|e3|e4"_s;
        // Not an array, or a key in another letter case: the English list.
        QTest::newRow("own lists, else English")
            << fileWith("{" + en +
                        R"(, "de": ["d1", "d2", "d3", "d4"], "fr": "f1", "zh-hans": []})")
            << QStringList{e, u"d1|d2|d3|d4"_s, e, e, e, e, e, e, e, loaded(4, 4)};
        // The slideshow reads four captions from every list.
        const QString none = u"|||"_s;
        QTest::newRow("short, long and odd lists")
            << fileWith(R"({"en": {"1": "e1"}, "it": ["i1", 2, null], "ja": ["j1", "j2", "j3", "j4",
                    "j5"]})")
            << QStringList{
                   none,        none, none, none, none, u"i1|||"_s, none, none, u"j1|j2|j3|j4|j5"_s,
                   loaded(3, 0)};
        const auto unusable = [&](const char *name, const QString &path) {
            QTest::newRow(name) << path
                                << QStringList(9, none) +
                                       QStringList{u"L10N: slides.json missing or invalid at "_s +
                                                       path,
                                                   loaded(0, 0)};
        };
        unusable("missing file", fileWith(QByteArray()));
        unusable("invalid JSON", fileWith("{" + en + ",}"));
        unusable("array at the top", fileWith("[{" + en + "}]"));
    }

    void readsEachLanguageOrTheEnglishList()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, outcome);
        QCOMPARE(attach(path), outcome);
    }

    void shippedFileHasFourCaptionsPerLanguage()
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
};

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
