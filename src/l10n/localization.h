#pragma once

#include "l10n/ui_strings.h"

#include <QList>

// The nine interface languages. A record's position in all() is the language index that
// the rest of the setup stores and passes around.
class Localization
{
public:
    // en, de, fr, es, pt, it, zh-Hans, zh-Hant, ja. Built on the first call, with the slide
    // captions of the bundle attached; every call returns the same list.
    static const QList<UIStrings> &all();

    // The starting language index, from the user's first preferred language.
    static int detectSystemLanguageIndex();
};
