#include "engine/plist_text.h"

#include <cstdlib>

PlistPtr parsePlist(const QByteArray &text)
{
    plist_t root = nullptr;
    plist_from_memory(text.constData(), static_cast<uint32_t>(text.size()), &root);
    return PlistPtr(root, &plist_free);
}

std::optional<QString> stringValue(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char *value = nullptr;
    plist_get_string_val(node, &value);
    if (!value)
        return std::nullopt;
    QString text = QString::fromUtf8(value);
    std::free(value);
    return text;
}

QList<plist_t> dictsAt(plist_t dict, const char *key)
{
    QList<plist_t> found;
    plist_t array =
        dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    if (!array || plist_get_node_type(array) != PLIST_ARRAY)
        return found;
    for (uint32_t i = 0, n = plist_array_get_size(array); i < n; ++i)
        if (plist_t item = plist_array_get_item(array, i); plist_get_node_type(item) == PLIST_DICT)
            found << item;
    return found;
}

QStringList stringsAt(const QList<plist_t> &dicts, const char *key)
{
    QStringList found;
    for (plist_t dict : dicts)
        if (const std::optional<QString> text = stringValue(plist_dict_get_item(dict, key));
            text && !text->isEmpty())
            found << *text;
    return found;
}
