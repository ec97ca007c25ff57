#include "platform/preferred_languages.h"

#include <QLocale>

namespace PreferredLanguages {

QStringList list()
{
    // On macOS this is the system's preferred-languages list, already hyphenated.
    return QLocale::system().uiLanguages();
}

} // namespace PreferredLanguages
