#pragma once

#include "engine/http_transfer.h"
#include "engine/image_signature.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <optional>

// What a downloaded disk image must pass before it takes its place: the platform's disk-image
// format, and the vendor's signature when there is a key. Fed with the bytes as they are
// written, on the downloader's thread, so that the end costs one signature check.
class ImageCheck
{
public:
    // `publicKey`: the vendor's key as `minisign -G` prints it; empty: no signature is asked for.
    ImageCheck(const QString &imageUrl, const QByteArray &publicKey);

    // The file starts again from its first byte.
    void restart();
    // The file goes on from what `partialPath` holds; false when that cannot be read.
    bool resume(const QString &partialPath);
    void add(const char *data, qsizetype size);

    struct Failure
    {
        bool signature = false; // the signature failed; else the format
        QString why;            // for the log
        long httpStatus = 0;    // the signature file's, when it was refused
    };
    struct Limits
    {
        std::chrono::milliseconds time;       // left for the download
        std::chrono::milliseconds retryPause; // before the signature is asked for again
    };
    // Checks the finished file at `path`, fetching its signature over `transfer` first.
    std::optional<Failure> finish(const QString &path, HttpTransfer &transfer,
                                  const TransferSettings &settings, const Limits &limits,
                                  const std::atomic_bool &stop);

private:
    std::optional<Failure> checkSignature(const QString &path, HttpTransfer &transfer,
                                          const TransferSettings &settings, const Limits &limits,
                                          const std::atomic_bool &stop);
    std::optional<Failure> fetchSignature(QByteArray &text, HttpTransfer &transfer,
                                          const TransferSettings &settings, const Limits &limits,
                                          const std::atomic_bool &stop);

    const QString m_imageUrl;
    const bool m_signed;                       // a key was given: a signature is asked for
    const std::optional<ImagePublicKey> m_key; // none when the key given is unusable
    ImageHasher m_hasher;
};
