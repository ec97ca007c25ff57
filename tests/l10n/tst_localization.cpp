#include "diag/log.h"
#include "l10n/localization.h"
#include "log_reader.h"

#include <QRegularExpression>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ITLog("TEST: localization"); } // marks count from the log's start
    void buildsOnceInIndexOrder();
    void everyTextIsSetPlainAndFormatsOnce();
    void detectsTheStartingLanguage_data();
    void detectsTheStartingLanguage();
};

void TestLocalization::buildsOnceInIndexOrder()
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
    QCOMPARE(codes, (QStringList{u"en"_s, u"de"_s, u"fr"_s, u"es"_s, u"pt"_s, u"it"_s, u"zh-Hans"_s,
                                 u"zh-Hant"_s, u"ja"_s}));
    QCOMPARE(names.size(), 9);
    // The test binary has no bundle resources: the captions step ran once and said so.
    QCOMPARE(LogReader::messagesSince(mark),
             (QStringList{u"L10N: slides.json missing or invalid at (not in bundle)"_s,
                          u"L10N: slides loaded for 0 languages (en fallback: 0 captions)"_s}));
}

void TestLocalization::everyTextIsSetPlainAndFormatsOnce()
{
    const QList<UIStrings> &all = Localization::all();
    const QString product = u"Quorvel"_s;
    // Typographic look-alikes slip in when texts are pasted from elsewhere.
    const QRegularExpression lookAlike(u"[\u2026\u2019\u00A0]"_s);
    for (qsizetype i = 0; i < all.size(); ++i) {
        const UIStrings &s = all[i];
        for (QString UIStrings::*field : UIStrings::textFields) {
            const QString &text = s.*field;
            // Only couldNotStart of the Latin-script languages (before zh-Hans) ends in a blank.
            const bool blank = field == &UIStrings::couldNotStart && i < 6;
            const QString placeholder = field == &UIStrings::exitConfirm      ? u"%@"_s
                                        : field == &UIStrings::installerError ? u"%ld"_s
                                                                              : QString();
            QVERIFY2(!text.trimmed().isEmpty() && !text.contains(lookAlike) &&
                         text == text.trimmed() + (blank ? u" "_s : u""_s),
                     qPrintable(s.code + u": "_s + text));
            QVERIFY2(text.count(u'%') == (placeholder.isEmpty() ? 0 : 1) &&
                         (placeholder.isEmpty() || text.contains(placeholder)),
                     qPrintable(s.code + u": "_s + text));
        }
        QCOMPARE(s.exitQuestion(product), QString(s.exitConfirm).replace(u"%@"_s, product));
        QCOMPARE(s.installerErrorText(-5000),
                 QString(s.installerError).replace(u"%ld"_s, u"-5000"_s));
    }
    QVERIFY(all[1].exitQuestion(product).contains(u"Quorvel-Setup"_s));
    QVERIFY(all[8].exitQuestion(product).startsWith(product + u' '));
}

void TestLocalization::detectsTheStartingLanguage_data()
{
    QTest::addColumn<QString>("settings"); // locale variables; the others are unset
    QTest::addColumn<int>("index");
    const auto row = [](const char *settings, int index) {
        QTest::newRow(*settings ? settings : "nothing set") << QString::fromUtf8(settings) << index;
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

void TestLocalization::detectsTheStartingLanguage()
{
#ifndef Q_OS_LINUX
    QSKIP("the locale variables are how Linux desktops name the preferred languages");
#endif
    QFETCH(QString, settings);
    QFETCH(int, index);
    for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
        qunsetenv(name);
    for (const QString &setting : settings.split(u' ', Qt::SkipEmptyParts)) {
        const qsizetype eq = setting.indexOf(u'=');
        qputenv(setting.left(eq).toUtf8().constData(), setting.mid(eq + 1).toUtf8());
    }
    QCOMPARE(Localization::detectSystemLanguageIndex(), index);
}

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
