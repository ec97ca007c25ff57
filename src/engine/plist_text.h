#pragma once

#include <QByteArray>
#include <QString>

#include <plist/plist.h>

#include <memory>
#include <optional>

// Reading the property lists the hdiutil tool prints.
using PlistPtr = std::unique_ptr<void, decltype(&plist_free)>;

// The property list in `text` (XML or binary); null when it is none.
PlistPtr parsePlist(const QByteArray &text);

// The string at `node`; absent when the node is missing or not a string.
std::optional<QString> stringValue(plist_t node);
