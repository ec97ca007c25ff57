#include "engine/resume_state.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
constexpr int kVersion = 1;
}

QByteArray ResumeState::encode() const
{
    QJsonObject o;
    o[QStringLiteral("version")] = kVersion;
    o[QStringLiteral("url")] = url;
    o[QStringLiteral("partialFile")] = partialFile;
    o[QStringLiteral("offset")] = QString::number(offset);
    o[QStringLiteral("total")] = QString::number(total);
    o[QStringLiteral("validator")] = QString::fromLatin1(validator);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<ResumeState> ResumeState::decode(const QByteArray &bytes)
{
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    const QJsonObject o = doc.object();
    if (!doc.isObject() || o.value(QStringLiteral("version")).toInt() != kVersion)
        return std::nullopt;
    ResumeState s;
    bool offsetOk = false;
    bool totalOk = false;
    s.url = o.value(QStringLiteral("url")).toString();
    s.partialFile = o.value(QStringLiteral("partialFile")).toString();
    s.offset = o.value(QStringLiteral("offset")).toString().toLongLong(&offsetOk);
    s.total = o.value(QStringLiteral("total")).toString().toLongLong(&totalOk);
    s.validator = o.value(QStringLiteral("validator")).toString().toLatin1();
    if (!offsetOk || !totalOk || s.offset <= 0 || s.url.isEmpty() || s.partialFile.isEmpty() ||
        s.validator.isEmpty())
        return std::nullopt;
    return s;
}
