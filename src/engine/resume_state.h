#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What the next attempt needs to continue a cut transfer: where the partial body lies, how
// much of it is good, and the server's validator, so that bytes of two versions of the file
// are never joined. Callers treat the encoded form as opaque.
struct ResumeState
{
    QString url;
    QString partialFile;
    qint64 offset = 0;
    qint64 total = -1;    // size of the whole file when the server said so
    QByteArray validator; // strong ETag or Last-Modified, sent back as If-Range

    QByteArray encode() const;
    static std::optional<ResumeState> decode(const QByteArray &bytes);
};
