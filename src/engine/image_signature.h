#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// The vendor's Ed25519 public key, as `minisign -G` prints it: one base64 line.
class ImagePublicKey
{
public:
    static std::optional<ImagePublicKey> parse(const QByteArray &base64Line);

    QByteArray keyId() const { return m_keyId; }
    QByteArray key() const { return m_key; }

private:
    ImagePublicKey() = default; // only parse() makes one, so a key is never empty
    QByteArray m_keyId;         // 8 bytes
    QByteArray m_key;           // 32 bytes
};

// BLAKE2b-512 of the image, fed as it arrives, so that checking a prehashed signature at the
// end costs one signature check and no second read of the image.
class ImageHasher
{
public:
    ImageHasher();
    ~ImageHasher();
    ImageHasher(ImageHasher &&) noexcept;
    ImageHasher &operator=(ImageHasher &&) noexcept;

    void addData(const char *data, qsizetype size);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // The partial file of a resumed download, before its new bytes; false if it cannot be read.
    bool addFile(const QString &path);
    // The digest of what was fed so far; feeding may go on.
    QByteArray result() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A `.minisig` file, parsed but not yet trusted.
class ImageSignature
{
public:
    static constexpr qsizetype kMaxSize = 4096;

    // nullopt, with the reason in `why`, for anything but the exact four lines of the format.
    static std::optional<ImageSignature> parse(const QByteArray &text, QString *why);

    bool prehashed() const { return m_algorithm == "ED"; }

    // Whether the signature holds for the image at `imagePath` called `fileName`; `hasher` has
    // been fed the whole image (read only for the prehashed form; the legacy form re-reads the
    // file). On refusal, `why` says which part failed.
    bool verify(const ImagePublicKey &key, const QString &fileName, const ImageHasher &hasher,
                const QString &imagePath, QString *why) const;

private:
    QByteArray m_algorithm;       // "ED": over the BLAKE2b-512 digest; "Ed": over the file
    QByteArray m_keyId;           // 8 bytes
    QByteArray m_signature;       // 64 bytes
    QByteArray m_trustedComment;  // the text after "trusted comment: "
    QByteArray m_globalSignature; // 64 bytes, over the signature and the trusted comment
};
