#include "diag/log.h"
#include "l10n/localization.h"
#include "log_reader.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void buildsOnceInIndexOrder();
    void everyTextIsSetAndPlain();
    void formatStringsKeepTheirOnePlaceholder();
    void couldNotStartEndsInItsSeparator();
    void exitQuestionPlacesTheProductName();
};

void TestLocalization::initTestCase()
{
    ITLog("TEST: localization"); // starts the log, so that marks count from here
}

void TestLocalization::buildsOnceInIndexOrder()
{
    const qsizetype mark = LogReader::mark();
    const QList<UIStrings> &first = Localization::all();
    const QList<UIStrings> &second = Localization::all();
    QCOMPARE(&first, &second);

    QStringList codes;
    QStringList names;
    for (const UIStrings &s : first) {
        codes << s.code;
        names << s.langName;
    }
    QCOMPARE(codes, (QStringList{u"en"_s, u"de"_s, u"fr"_s, u"es"_s, u"pt"_s, u"it"_s, u"zh-Hans"_s,
                                 u"zh-Hant"_s, u"ja"_s}));
    names.removeDuplicates();
    QCOMPARE(names.size(), 9);

    // The test binary has no bundle resources: the captions step ran once and said so.
    QCOMPARE(LogReader::messagesSince(mark),
             (QStringList{u"L10N: slides.json missing or invalid at (not in bundle)"_s,
                          u"L10N: slides loaded for 0 languages (en fallback: 0 captions)"_s}));
}

void TestLocalization::everyTextIsSetAndPlain()
{
    for (const UIStrings &s : Localization::all()) {
        for (QString UIStrings::*field : UIStrings::textFields) {
            const QString &text = s.*field;
            const QByteArray where = s.code.toUtf8() + ": " + text.toUtf8();
            QVERIFY2(!text.isEmpty(), where.constData());
            // Typographic look-alikes slip in when texts are pasted from elsewhere.
            QVERIFY2(!text.contains(QChar(0x2026)) && !text.contains(QChar(0x2019)) &&
                         !text.contains(QChar(0x00A0)),
                     where.constData());
            if (field != &UIStrings::couldNotStart)
                QVERIFY2(text == text.trimmed(), where.constData());
        }
    }
}

void TestLocalization::formatStringsKeepTheirOnePlaceholder()
{
    for (const UIStrings &s : Localization::all()) {
        for (QString UIStrings::*field : UIStrings::textFields) {
            const QString &text = s.*field;
            const QByteArray where = s.code.toUtf8() + ": " + text.toUtf8();
            if (field == &UIStrings::exitConfirm) {
                QVERIFY2(text.count(u'%') == 1 && text.count(u"%@"_s) == 1, where.constData());
            } else if (field == &UIStrings::installerError) {
                QVERIFY2(text.count(u'%') == 1 && text.count(u"%ld"_s) == 1, where.constData());
                const QString filled = s.installerErrorText(-5000);
                QVERIFY2(filled.contains(u"-5000"_s) && !filled.contains(u'%'),
                         filled.toUtf8().constData());
            } else {
                QVERIFY2(!text.contains(u'%'), where.constData());
            }
        }
    }
}

void TestLocalization::couldNotStartEndsInItsSeparator()
{
    const QList<UIStrings> &all = Localization::all();
    for (qsizetype i = 0; i < all.size(); ++i) {
        const QString &text = all[i].couldNotStart;
        // Latin-script languages put a blank before the detail; Chinese and Japanese do not.
        const QString ending = i < 6 ? u": "_s : QString(QChar(0xFF1A));
        QVERIFY2(text.endsWith(ending), text.toUtf8().constData());
    }
}

void TestLocalization::exitQuestionPlacesTheProductName()
{
    const QString product = u"Quorvel"_s;
    for (const UIStrings &s : Localization::all()) {
        const QString question = s.exitQuestion(product);
        QCOMPARE(question.count(product), 1);
        QVERIFY(!question.contains(u'%'));
        QCOMPARE(question.size(), s.exitConfirm.size() - 2 + product.size());
    }
    QVERIFY(Localization::all()[1].exitQuestion(product).contains(u"Quorvel-Setup"_s));
    QVERIFY(Localization::all()[8].exitQuestion(product).startsWith(product + u' '));
}

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
