#pragma once

#include <QStringList>

namespace PreferredLanguages {

// The user's preferred interface languages, most preferred first, as hyphenated identifiers
// of language, optional script and optional region ("de-CH", "zh-Hant-TW", "pt-BR"); the
// letter case is as the system gives it. Empty when the system names none.
QStringList list();

} // namespace PreferredLanguages
