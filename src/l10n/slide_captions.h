#pragma once

#include "l10n/ui_strings.h"

#include <QList>

namespace SlideCaptions {

// The slideshow has this many slides; every caption list holds at least as many entries.
constexpr qsizetype kSlideCount = 4;

// slides.json in the bundle's resources; empty when the bundle has none.
QString resourcePath();

// Fills the records' slides from the caption file at `path` (empty: there is none). A
// language without its own list gets the English one; a missing or non-text caption is empty.
void attach(QList<UIStrings> &records, const QString &path);

} // namespace SlideCaptions
