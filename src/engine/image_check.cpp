#include "engine/image_check.h"

#include "engine/transfer_error.h"
#include "platform/disk_image_format.h"

#include <QUrl>

using namespace Qt::StringLiterals;

ImageCheck::ImageCheck(const QString &imageUrl, const QByteArray &publicKey)
    : m_imageUrl(imageUrl), m_signed(!publicKey.isEmpty()),
      m_key(m_signed ? ImagePublicKey::parse(publicKey) : std::nullopt)
{}

void ImageCheck::restart()
{
    m_hasher = ImageHasher();
}

bool ImageCheck::resume(const QString &partialPath)
{
    restart();
    return !m_signed || m_hasher.addFile(partialPath);
}

void ImageCheck::add(const char *data, qsizetype size)
{
    if (m_signed)
        m_hasher.addData(data, size);
}

std::optional<ImageCheck::Failure> ImageCheck::finish(const QString &path, HttpTransfer &transfer,
                                                      const TransferSettings &settings,
                                                      std::chrono::milliseconds timeLimit,
                                                      const std::atomic_bool &stop)
{
    if (m_signed) {
        if (std::optional<Failure> failure =
                checkSignature(path, transfer, settings, timeLimit, stop))
            return failure;
    }
    if (!hasDiskImageFormat(path))
        return Failure{false, u"the file is not a disk image"_s};
    return std::nullopt;
}

std::optional<ImageCheck::Failure> ImageCheck::checkSignature(const QString &path,
                                                              HttpTransfer &transfer,
                                                              const TransferSettings &settings,
                                                              std::chrono::milliseconds timeLimit,
                                                              const std::atomic_bool &stop)
{
    if (!m_key)
        return Failure{true, u"the build's public key is unusable"_s};
    QByteArray text;
    bool tooLarge = false;
    const HttpTransfer::BodySink sink = [&](const ResponseInfo &, const char *data, size_t size) {
        tooLarge = text.size() + qint64(size) > ImageSignature::kMaxSize;
        if (!tooLarge)
            text.append(data, qsizetype(size));
        return !tooLarge;
    };
    ResponseInfo info;
    const TransferResult r =
        transfer.get(m_imageUrl + u".minisig"_s, {}, settings, timeLimit, stop, sink, info);
    if (info.status != 0 && (info.status < 200 || info.status > 299))
        return Failure{true, u"the signature file was answered with HTTP %1"_s.arg(info.status),
                       info.status};
    if (tooLarge)
        return Failure{true, u"the signature file is larger than 4 KiB"_s};
    if (r.code != 0)
        return Failure{true,
                       u"the signature file could not be fetched: "_s + TransferError::describe(r)};
    QString why;
    const std::optional<ImageSignature> signature = ImageSignature::parse(text, &why);
    // The name the image was asked for: the other processor's image, signed as such, is refused.
    if (!signature || !signature->verify(*m_key, QUrl(m_imageUrl).fileName(), m_hasher, path, &why))
        return Failure{true, why};
    return std::nullopt;
}
