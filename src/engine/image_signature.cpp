#include "engine/image_signature.h"

#include <QFile>

#include <algorithm>
#include <sodium.h>

namespace {

constexpr qsizetype kKeyIdSize = 8;
constexpr qsizetype kAlgorithmSize = 2;
constexpr qsizetype kDigestSize = crypto_generichash_BYTES_MAX; // 64: BLAKE2b-512
constexpr qsizetype kSignatureSize = crypto_sign_BYTES;
constexpr qsizetype kChunkSize = 1 << 16;

bool sodiumReady()
{
    return sodium_init() >= 0;
}

bool isBase64Character(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

// Strict base64: the original alphabet, padded, no stray characters, and exactly `size` bytes.
std::optional<QByteArray> decodeExact(const QByteArray &text, qsizetype size)
{
    // libsodium's decoder takes some bytes above 127 for letters.
    if (!std::all_of(text.begin(), text.end(), isBase64Character))
        return std::nullopt;
    QByteArray bytes(size + 1, '\0');
    size_t length = 0;
    const char *end = nullptr;
    if (text.isEmpty() ||
        sodium_base642bin(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size(),
                          text.constData(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.constData() + text.size() || length != size_t(size))
        return std::nullopt;
    bytes.truncate(size);
    return bytes;
}

bool signatureHolds(const QByteArray &signature, const unsigned char *message, size_t size,
                    const QByteArray &key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.data()),
                                       message, size,
                                       reinterpret_cast<const unsigned char *>(key.data())) == 0;
}

bool signatureHolds(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return signatureHolds(signature, reinterpret_cast<const unsigned char *>(message.data()),
                          size_t(message.size()), key);
}

// The legacy form signs the whole file, so it is read once more, mapped rather than copied.
bool fileSignatureHolds(const QString &path, const QByteArray &signature, const QByteArray &key,
                        QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("the image cannot be read");
        return false;
    }
    const qint64 size = file.size();
    const uchar *bytes = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && !bytes) {
        *why = QStringLiteral("the image cannot be read");
        return false;
    }
    static const unsigned char empty = 0;
    if (!signatureHolds(signature, bytes ? bytes : &empty, size_t(size), key)) {
        *why = QStringLiteral("the signature does not match the image");
        return false;
    }
    return true;
}

// The value of the tab-separated `file:` field, if there is exactly one.
std::optional<QByteArray> fileField(const QByteArray &trustedComment)
{
    std::optional<QByteArray> name;
    for (const QByteArray &field : trustedComment.split('\t')) {
        if (!field.startsWith("file:"))
            continue;
        if (name)
            return std::nullopt;
        name = field.mid(5);
    }
    return name;
}

} // namespace

std::optional<ImagePublicKey> ImagePublicKey::parse(const QByteArray &base64Line)
{
    const std::optional<QByteArray> bytes =
        decodeExact(base64Line, kAlgorithmSize + kKeyIdSize + crypto_sign_PUBLICKEYBYTES);
    if (!sodiumReady() || !bytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    ImagePublicKey key;
    key.m_keyId = bytes->mid(kAlgorithmSize, kKeyIdSize);
    key.m_key = bytes->mid(kAlgorithmSize + kKeyIdSize);
    return key;
}

struct ImageHasher::State
{
    crypto_generichash_state hash;
};

ImageHasher::ImageHasher() : m_state(std::make_unique<State>())
{
    // The hash is right even if libsodium could not start; only its choice of faster code is not.
    sodiumReady();
    crypto_generichash_init(&m_state->hash, nullptr, 0, kDigestSize);
}

ImageHasher::~ImageHasher() = default;
ImageHasher::ImageHasher(ImageHasher &&) noexcept = default;
ImageHasher &ImageHasher::operator=(ImageHasher &&) noexcept = default;

void ImageHasher::addData(const char *data, qsizetype size)
{
    crypto_generichash_update(&m_state->hash, reinterpret_cast<const unsigned char *>(data),
                              size_t(size));
}

bool ImageHasher::addFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        addData(chunk.constData(), n);
    }
}

QByteArray ImageHasher::result() const
{
    crypto_generichash_state copy = m_state->hash;
    QByteArray digest(kDigestSize, '\0');
    crypto_generichash_final(&copy, reinterpret_cast<unsigned char *>(digest.data()), kDigestSize);
    return digest;
}

std::optional<ImageSignature> ImageSignature::parse(const QByteArray &text, QString *why)
{
    if (text.isEmpty()) {
        *why = QStringLiteral("the signature file is empty");
        return std::nullopt;
    }
    if (text.size() > kMaxSize) {
        *why = QStringLiteral("the signature file is larger than 4 KiB");
        return std::nullopt;
    }
    // Line ends as minisign reads them: a file saved with CRLF is the same file.
    QByteArray body = QByteArray(text).replace("\r\n", "\n");
    if (body.endsWith('\n'))
        body.chop(1);
    const QList<QByteArray> lines = body.split('\n');
    if (lines.size() != 4 || body.contains('\r') || body.contains('\0')) {
        *why = QStringLiteral("the signature file does not have the four lines of its format");
        return std::nullopt;
    }
    if (!lines[0].startsWith("untrusted comment: ")) {
        *why = QStringLiteral("the untrusted comment line is malformed");
        return std::nullopt;
    }
    const std::optional<QByteArray> signature =
        decodeExact(lines[1], kAlgorithmSize + kKeyIdSize + kSignatureSize);
    if (!signature) {
        *why = QStringLiteral("the signature line is not base64 of the right length");
        return std::nullopt;
    }
    const QByteArray algorithm = signature->left(kAlgorithmSize);
    if (algorithm != "ED" && algorithm != "Ed") {
        *why = QStringLiteral("the signature algorithm is unknown");
        return std::nullopt;
    }
    static const QByteArray trustedPrefix = "trusted comment: ";
    if (!lines[2].startsWith(trustedPrefix)) {
        *why = QStringLiteral("the trusted comment line is malformed");
        return std::nullopt;
    }
    const std::optional<QByteArray> global = decodeExact(lines[3], kSignatureSize);
    if (!global) {
        *why = QStringLiteral("the global signature line is not base64 of the right length");
        return std::nullopt;
    }
    ImageSignature s;
    s.m_algorithm = algorithm;
    s.m_keyId = signature->mid(kAlgorithmSize, kKeyIdSize);
    s.m_signature = signature->mid(kAlgorithmSize + kKeyIdSize);
    s.m_trustedComment = lines[2].mid(trustedPrefix.size());
    s.m_globalSignature = *global;
    return s;
}

bool ImageSignature::verify(const ImagePublicKey &key, const QString &fileName,
                            const ImageHasher &hasher, const QString &imagePath, QString *why) const
{
    if (!sodiumReady()) {
        *why = QStringLiteral("the cryptography library cannot start");
        return false;
    }
    if (m_keyId != key.keyId()) {
        *why = QStringLiteral("the signature's key id is not the vendor key's");
        return false;
    }
    // The trusted comment is read only once its own signature holds.
    if (!signatureHolds(m_globalSignature, m_signature + m_trustedComment, key.key())) {
        *why = QStringLiteral("the global signature does not match the trusted comment");
        return false;
    }
    if (prehashed()) {
        if (!signatureHolds(m_signature, hasher.result(), key.key())) {
            *why = QStringLiteral("the signature does not match the image");
            return false;
        }
    } else if (!fileSignatureHolds(imagePath, m_signature, key.key(), why)) {
        return false;
    }
    if (fileField(m_trustedComment) != fileName.toUtf8()) {
        *why = QStringLiteral("the trusted comment names another file");
        return false;
    }
    return true;
}
