#include "engine/image_check.h"

#include "diag/log.h"
#include "engine/transfer_error.h"
#include "platform/disk_image_format.h"

#include <QUrl>

using namespace Qt::StringLiterals;

namespace {
// The signature is a small file: a server that holds it back longer than this is not waited
// for, nor one that fails this many times.
constexpr std::chrono::seconds kSignatureTime{60};
constexpr int kSignatureTries = 3;
} // namespace

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
                                                      const Limits &limits,
                                                      const std::atomic_bool &stop)
{
    if (m_signed) {
        if (std::optional<Failure> failure = checkSignature(path, transfer, settings, limits, stop))
            return failure;
    }
    if (!hasDiskImageFormat(path))
        return Failure{false, u"the file is not a disk image"_s};
    return std::nullopt;
}

std::optional<ImageCheck::Failure> ImageCheck::checkSignature(const QString &path,
                                                              HttpTransfer &transfer,
                                                              const TransferSettings &settings,
                                                              const Limits &limits,
                                                              const std::atomic_bool &stop)
{
    if (!m_key)
        return Failure{true, u"the build's public key is unusable"_s};
    QByteArray text;
    if (std::optional<Failure> failure = fetchSignature(text, transfer, settings, limits, stop))
        return failure;
    QString why;
    const std::optional<ImageSignature> signature = ImageSignature::parse(text, &why);
    // The name the image was asked for: the other processor's image, signed as such, is refused.
    if (!signature || !signature->verify(*m_key, QUrl(m_imageUrl).fileName(), m_hasher, path, &why))
        return Failure{true, why};
    return std::nullopt;
}

// A failure that may pass (the network, a busy server) is tried again after a pause, so that
// the image already downloaded is kept; the whole fetch has a bound of its own.
std::optional<ImageCheck::Failure> ImageCheck::fetchSignature(QByteArray &text,
                                                              HttpTransfer &transfer,
                                                              const TransferSettings &settings,
                                                              const Limits &limits,
                                                              const std::atomic_bool &stop)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + std::min<milliseconds>(limits.time, kSignatureTime);
    for (int tries = 1;; ++tries) {
        text.clear();
        bool tooLarge = false;
        const HttpTransfer::BodySink sink = [&](const ResponseInfo &, const char *data,
                                                size_t size) {
            tooLarge = text.size() + qint64(size) > ImageSignature::kMaxSize;
            if (!tooLarge)
                text.append(data, qsizetype(size));
            return !tooLarge;
        };
        ResponseInfo info;
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        const TransferResult r = transfer.get(m_imageUrl + u".minisig"_s, {}, settings,
                                              std::max(left, 1ms), stop, sink, info);
        const bool answered = r.code == 0 || tooLarge;
        Failure failure{true, {}, 0};
        if (answered && (info.status < 200 || info.status > 299))
            failure = {true, u"the signature file was answered with HTTP %1"_s.arg(info.status),
                       info.status};
        else if (tooLarge)
            failure.why = u"the signature file is larger than 4 KiB"_s;
        else if (!answered)
            failure.why =
                u"the signature file could not be fetched: "_s + TransferError::describe(r);
        else
            return std::nullopt;
        const bool passing =
            !answered || info.status == 408 || info.status == 429 || info.status >= 500;
        if (!passing || tries == kSignatureTries ||
            steady_clock::now() + limits.retryPause >= deadline ||
            !transfer.pause(limits.retryPause, stop))
            return failure;
        ITLog("DL: %@, trying again", failure.why);
    }
}
