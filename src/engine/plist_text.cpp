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
