#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <plist/plist.h>

#include <memory>
#include <optional>

// Reading the property lists the hdiutil tool prints.
using PlistPtr = std::unique_ptr<void, decltype(&plist_free)>;

// The property list in `text` (XML or binary); null when it is none.
PlistPtr parsePlist(const QByteArray &text);

// The string at `node`; absent when the node is missing or not a string.
std::optional<QString> stringValue(plist_t node);

// The dictionaries in the array at `key` of the dictionary `dict`; none when either is missing
// or of another type.
QList<plist_t> dictsAt(plist_t dict, const char *key);

// The non-empty strings at `key` of each of `dicts`, in order.
QStringList stringsAt(const QList<plist_t> &dicts, const char *key);
