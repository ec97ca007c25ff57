#include "platform/preferred_languages.h"

namespace PreferredLanguages {

namespace {

// "language[_territory][.codeset][@modifier]" -> "language[-territory]"; the C locale is
// the untranslated program, which is English.
QString identifierFromLocaleName(QString name)
{
    name.truncate(name.indexOf(u'@') < 0 ? name.size() : name.indexOf(u'@'));
    name.truncate(name.indexOf(u'.') < 0 ? name.size() : name.indexOf(u'.'));
    if (name == QLatin1StringView("C") || name == QLatin1StringView("POSIX"))
        return QStringLiteral("en");
    return name.replace(u'_', u'-');
}

} // namespace

QStringList list()
{
    QStringList languages;
    // LANGUAGE is the desktop's ordered list of message languages, separated by colons.
    const QStringList wanted = qEnvironmentVariable("LANGUAGE").split(u':', Qt::SkipEmptyParts);
    for (const QString &entry : wanted) {
        const QString id = identifierFromLocaleName(entry);
        if (!id.isEmpty())
            languages << id;
    }
    // Otherwise the first set one of these names the messages' locale; an empty value is unset.
    for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(variable);
        if (value.isEmpty())
            continue;
        const QString id = identifierFromLocaleName(value);
        if (!id.isEmpty() && !languages.contains(id))
            languages << id;
        break;
    }
    return languages;
}

} // namespace PreferredLanguages
