#include "l10n/localization.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

const char *const kLocaleVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

} // namespace

class TestLanguageDetection : public QObject
{
    Q_OBJECT

private slots:
    void firstPreferredLanguage_data();
    void firstPreferredLanguage();
    void linuxLocaleSettings_data();
    void linuxLocaleSettings();
};

void TestLanguageDetection::firstPreferredLanguage_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<int>("index");
    QTest::newRow("en-US") << u"en-US"_s << 0;
    QTest::newRow("de-CH") << u"de-CH"_s << 1;
    QTest::newRow("fr-CA") << u"fr-CA"_s << 2;
    QTest::newRow("es-419") << u"es-419"_s << 3;
    QTest::newRow("pt-BR") << u"pt-BR"_s << 4;
    QTest::newRow("it") << u"it"_s << 5;
    QTest::newRow("zh-Hans-CN") << u"zh-Hans-CN"_s << 6;
    QTest::newRow("zh") << u"zh"_s << 6;
    QTest::newRow("zh-Hant-TW") << u"zh-Hant-TW"_s << 7;
    QTest::newRow("zh-TW") << u"zh-TW"_s << 7;
    QTest::newRow("zh-HK") << u"zh-HK"_s << 7;
    QTest::newRow("zh-Hans-HK") << u"zh-Hans-HK"_s << 7;
    QTest::newRow("zh-Hans-MO") << u"zh-Hans-MO"_s << 7;
    QTest::newRow("upper case") << u"ZH-HANT"_s << 7;
    QTest::newRow("ja-JP") << u"ja-JP"_s << 8;
    QTest::newRow("ko-KR") << u"ko-KR"_s << 0;
    QTest::newRow("empty") << QString() << 0;
}

void TestLanguageDetection::firstPreferredLanguage()
{
    QFETCH(QString, identifier);
    QFETCH(int, index);
    QCOMPARE(Localization::languageIndexFor(identifier), index);
}

void TestLanguageDetection::linuxLocaleSettings_data()
{
    QTest::addColumn<QStringList>("values"); // LANGUAGE, LC_ALL, LC_MESSAGES, LANG; "-": unset
    QTest::addColumn<int>("index");
    const auto row = [](const char *name, QStringList values, int index) {
        QTest::newRow(name) << values << index;
    };
    row("nothing set", {u"-"_s, u"-"_s, u"-"_s, u"-"_s}, 0);
    row("LANG with codeset", {u"-"_s, u"-"_s, u"-"_s, u"de_DE.UTF-8"_s}, 1);
    row("zh_TW.UTF-8", {u"-"_s, u"-"_s, u"-"_s, u"zh_TW.UTF-8"_s}, 7);
    row("zh_HK", {u"-"_s, u"-"_s, u"-"_s, u"zh_HK"_s}, 7);
    row("zh_CN.GB2312", {u"-"_s, u"-"_s, u"-"_s, u"zh_CN.GB2312"_s}, 6);
    row("pt_BR", {u"-"_s, u"-"_s, u"-"_s, u"pt_BR"_s}, 4);
    row("ja_JP.eucJP", {u"-"_s, u"-"_s, u"-"_s, u"ja_JP.eucJP"_s}, 8);
    row("modifier dropped", {u"-"_s, u"-"_s, u"-"_s, u"sr_RS@latin"_s}, 0);
    row("modifier after a supported language", {u"-"_s, u"-"_s, u"-"_s, u"ca_ES@valencia"_s}, 0);
    row("C", {u"-"_s, u"-"_s, u"-"_s, u"C"_s}, 0);
    row("C.UTF-8", {u"-"_s, u"-"_s, u"-"_s, u"C.UTF-8"_s}, 0);
    row("POSIX", {u"-"_s, u"-"_s, u"-"_s, u"POSIX"_s}, 0);
    row("C before a later setting", {u"-"_s, u"C"_s, u"-"_s, u"fr_FR"_s}, 0);
    row("LC_MESSAGES over LANG", {u"-"_s, u"-"_s, u"it_IT.UTF-8"_s, u"fr_FR.UTF-8"_s}, 5);
    row("LC_ALL over LC_MESSAGES", {u"-"_s, u"es_ES"_s, u"it_IT"_s, u"fr_FR"_s}, 3);
    row("empty LC_ALL is unset", {u"-"_s, u""_s, u"-"_s, u"it_IT"_s}, 5);
    row("LANGUAGE first", {u"ja:de"_s, u"-"_s, u"-"_s, u"fr_FR.UTF-8"_s}, 8);
    row("empty LANGUAGE entry skipped", {u":de_AT"_s, u"-"_s, u"-"_s, u"fr_FR"_s}, 1);
    row("empty LANGUAGE is unset", {u""_s, u"-"_s, u"-"_s, u"fr_FR"_s}, 2);
    row("only the first language counts", {u"ko_KR:de_DE"_s, u"-"_s, u"-"_s, u"de_DE"_s}, 0);
}

void TestLanguageDetection::linuxLocaleSettings()
{
#ifndef Q_OS_LINUX
    QSKIP("the locale variables are how Linux desktops name the preferred languages");
#endif
    QFETCH(QStringList, values);
    QFETCH(int, index);
    for (int i = 0; i < 4; ++i) {
        if (values[i] == u"-"_s)
            qunsetenv(kLocaleVariables[i]);
        else
            qputenv(kLocaleVariables[i], values[i].toUtf8());
    }
    QCOMPARE(Localization::detectSystemLanguageIndex(), index);
}

QTEST_GUILESS_MAIN(TestLanguageDetection)
#include "tst_language_detection.moc"
