#include "diag/log.h"
#include "l10n/localization.h"
#include "log_reader.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ITLog("TEST: localization"); } // marks count from the log's start
    void buildsOnceInIndexOrder();
    void everyTextIsSetPlainAndFreeOfStrayPlaceholders();
    void separatorsAndFilledFormats();
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

void TestLocalization::everyTextIsSetPlainAndFreeOfStrayPlaceholders()
{
    for (const UIStrings &s : Localization::all()) {
        for (QString UIStrings::*field : UIStrings::textFields) {
            const QString &text = s.*field;
            const QByteArray where = s.code.toUtf8() + ": " + text.toUtf8();
            QVERIFY2(!text.isEmpty(), where.constData());
            // Typographic look-alikes slip in when texts are pasted from elsewhere.
            for (char16_t c : {u'\u2026', u'\u2019', u'\u00A0'})
                QVERIFY2(!text.contains(QChar(c)), where.constData());
            if (field != &UIStrings::couldNotStart)
                QVERIFY2(text == text.trimmed(), where.constData());
            const QString placeholder = field == &UIStrings::exitConfirm      ? u"%@"_s
                                        : field == &UIStrings::installerError ? u"%ld"_s
                                                                              : QString();
            QVERIFY2(text.count(u'%') == (placeholder.isEmpty() ? 0 : 1), where.constData());
            QVERIFY2(placeholder.isEmpty() || text.contains(placeholder), where.constData());
        }
    }
}

void TestLocalization::separatorsAndFilledFormats()
{
    const QList<UIStrings> &all = Localization::all();
    const QString product = u"Quorvel"_s;
    for (qsizetype i = 0; i < all.size(); ++i) {
        const UIStrings &s = all[i];
        // Latin-script languages put a blank before the detail; Chinese and Japanese do not.
        QVERIFY2(s.couldNotStart.endsWith(i < 6 ? u": "_s : u"\uFF1A"_s), qPrintable(s.code));
        const QString question = s.exitQuestion(product);
        QCOMPARE(question.count(product), 1);
        QCOMPARE(question.size(), s.exitConfirm.size() - 2 + product.size());
        const QString error = s.installerErrorText(-5000);
        QVERIFY2(error.contains(u"-5000"_s) && !error.contains(u'%'), qPrintable(error));
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
    // Hyphenated identifiers, as other systems list their preferred languages.
    row("LANGUAGE=en-US", 0);
    row("LANGUAGE=de-CH", 1);
    row("LANGUAGE=es-419", 3);
    row("LANGUAGE=pt-BR", 4);
    row("LANGUAGE=zh-Hans-CN", 6);
    row("LANGUAGE=zh", 6);
    row("LANGUAGE=zh-Hant-TW", 7);
    row("LANGUAGE=zh-TW", 7);
    row("LANGUAGE=zh-HK", 7);
    row("LANGUAGE=zh-Hans-HK", 7);
    row("LANGUAGE=zh-Hans-MO", 7);
    row("LANGUAGE=ja-JP", 8);
    row("LANGUAGE=ko-KR", 0);
    row("", 0);
    // Linux locale names.
    row("LANG=de_DE.UTF-8", 1);
    row("LANG=it_IT@euro", 5);
    row("LANG=zh_TW.UTF-8", 7);
    row("LANG=zh_CN.GB2312", 6);
    row("LANG=pt_BR", 4);
    row("LANG=sr_RS@latin", 0);
    row("LANG=C", 0);
    row("LANG=C.UTF-8", 0);
    row("LANG=POSIX", 0);
    // Which setting counts.
    row("LC_ALL=C LANG=fr_FR", 0);
    row("LC_MESSAGES=it_IT.UTF-8 LANG=fr_FR.UTF-8", 5);
    row("LC_ALL=es_ES LC_MESSAGES=it_IT LANG=fr_FR", 3);
    row("LC_ALL= LANG=it_IT", 5);
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
