#pragma once

#include "l10n/ui_strings.h"

#include <QList>

// The nine compiled records in index order, without slide captions.
QList<UIStrings> languageTables();
