#include "l10n/localization.h"

#include "diag/log_format.h"
#include "l10n/language_tables.h"
#include "l10n/slide_captions.h"
#include "platform/preferred_languages.h"

QString UIStrings::exitQuestion(const QString &productName) const
{
    return formatLogMessage(exitConfirm.toUtf8().constData(), {productName});
}

QString UIStrings::installerErrorText(long errorCode) const
{
    return formatLogMessage(installerError.toUtf8().constData(), {errorCode});
}

const QList<UIStrings> &Localization::all()
{
    // Built once and never released: views read these records for the life of the process.
    static const QList<UIStrings> *langs = [] {
        auto *list = new QList<UIStrings>(languageTables());
        SlideCaptions::attach(*list, SlideCaptions::resourcePath());
        return list;
    }();
    return *langs;
}

namespace {

// Plain prefix and substring tests on the lower-cased identifier ("pt-BR", "zh-Hant-TW").
int languageIndexFor(const QString &identifier)
{
    const QString id = identifier.toLower();
    const auto startsWith = [&id](const char *prefix) {
        return id.startsWith(QLatin1StringView(prefix));
    };
    if (startsWith("de"))
        return 1;
    if (startsWith("fr"))
        return 2;
    if (startsWith("es"))
        return 3;
    if (startsWith("pt"))
        return 4;
    if (startsWith("it"))
        return 5;
    if (startsWith("zh")) {
        for (const char *traditional : {"hant", "-tw", "-hk", "-mo"}) {
            if (id.contains(QLatin1StringView(traditional)))
                return 7;
        }
        return 6;
    }
    if (startsWith("ja"))
        return 8;
    return 0;
}

} // namespace

int Localization::detectSystemLanguageIndex()
{
    const QStringList preferred = PreferredLanguages::list();
    return languageIndexFor(preferred.isEmpty() ? QStringLiteral("en") : preferred.first());
}
