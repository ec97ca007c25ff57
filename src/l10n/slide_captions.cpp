#include "l10n/slide_captions.h"

#include "diag/log.h"
#include "platform/paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <optional>

namespace SlideCaptions {

namespace {

// The slideshow shows caption i for slide i without looking at the list's length, so a short
// list is padded and an entry that is not text reads as an empty caption.
QStringList captionsFrom(const QJsonArray &entries)
{
    QStringList captions;
    for (const QJsonValue &entry : entries)
        captions << (entry.isString() ? entry.toString() : QString());
    while (captions.size() < kSlideCount)
        captions << QString();
    return captions;
}

// The top-level object of the file, or nothing when there is no file, it cannot be read, it
// is not JSON or its top level is not an object.
std::optional<QJsonObject> readCatalogue(const QString &path)
{
    if (path.isEmpty())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace

QString resourcePath()
{
    const QString folder = Paths::resourcesFolder();
    if (folder.isEmpty())
        return {};
    const QString path = folder + QStringLiteral("/slides.json");
    return QFileInfo(path).isFile() ? path : QString();
}

void attach(QList<UIStrings> &records, const QString &path)
{
    const std::optional<QJsonObject> catalogue = readCatalogue(path);
    if (!catalogue)
        ITLog("L10N: slides.json missing or invalid at %@",
              path.isEmpty() ? QStringLiteral("(not in bundle)") : path);
    const QJsonObject top = catalogue.value_or(QJsonObject());

    const QJsonArray english = top.value(QLatin1StringView("en")).toArray();
    const QStringList englishCaptions = captionsFrom(english);
    for (UIStrings &record : records) {
        const QJsonValue own = top.value(record.code);
        record.slides = own.isArray() ? captionsFrom(own.toArray()) : englishCaptions;
    }
    ITLog("L10N: slides loaded for %lu languages (en fallback: %lu captions)",
          static_cast<quint64>(top.size()), static_cast<quint64>(english.size()));
}

} // namespace SlideCaptions
