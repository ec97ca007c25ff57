#include "engine/downloader.h"

#include "diag/log.h"
#include "engine/main_thread.h"
#include "engine/transfer_error.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

bool isSuccess(long status)
{
    return status >= 200 && status <= 299;
}

// A strong ETag, else Last-Modified: what If-Range accepts to prove the file is unchanged.
QByteArray validatorOf(const ResponseInfo &info)
{
    if (!info.etag.isEmpty() && !info.etag.startsWith("W/"))
        return info.etag;
    return info.lastModified;
}

// "bytes START-END/TOTAL": START, and TOTAL (-1 when "*").
std::pair<qint64, qint64> parseContentRange(const QByteArray &value)
{
    const QByteArray range = value.startsWith("bytes ") ? value.mid(6) : QByteArray();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    bool ok = false;
    const qint64 start = range.left(dash).toLongLong(&ok);
    if (dash < 0 || slash < 0 || !ok)
        return {-1, -1};
    const qint64 total = range.mid(slash + 1).toLongLong(&ok);
    return {start, ok ? total : -1};
}

} // namespace

struct Downloader::Attempt
{
    int fd = -1;
    qint64 offset = 0;  // good bytes in the partial file before this request
    qint64 written = 0; // good bytes in the partial file now
    qint64 expected = -1;
    QByteArray validator;
    bool bodyStarted = false;
    bool acceptBody = false; // the final response is the file, not an error page
    bool restartFresh = false;
    int writeErrno = 0;

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

Downloader::Downloader(const QString &url, const QString &destFile,
                       std::optional<QByteArray> resumeData)
    : url(url), destFile(destFile), startResumeData(std::move(resumeData))
{}

Downloader::~Downloader() = default;

QString Downloader::partialPath(const QString &destFile)
{
    return destFile + QStringLiteral(".part");
}

void Downloader::start()
{
    if (m_started)
        return;
    m_started = true;
    if (startResumeData)
        ITLog("DL: RESUME %@ -> %@ (%lu bytes of state)", url, destFile,
              static_cast<quint64>(startResumeData->size()));
    else
        ITLog("DL: GET %@ -> %@", url, destFile);
    std::thread([self = shared_from_this()] { self->run(); }).detach();
}

void Downloader::cancel()
{
    m_cancelled.store(true);
    m_transfer.interrupt();
}

std::optional<ResumeState> Downloader::usableResumeState() const
{
    if (!startResumeData)
        return std::nullopt;
    std::optional<ResumeState> s = ResumeState::decode(*startResumeData);
    // A state for another file, or one whose partial data is gone, cannot be continued.
    if (!s || s->url != url || s->partialFile != partialPath(destFile))
        return std::nullopt;
    const QFileInfo partial(s->partialFile);
    if (!partial.isFile() || partial.size() < s->offset)
        return std::nullopt;
    return s;
}

bool Downloader::openPartial(Attempt &a, qint64 keepBytes)
{
    a.close();
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (keepBytes > 0 ? 0 : O_TRUNC);
    a.fd = ::open(QFile::encodeName(partialPath(destFile)).constData(), flags, 0644);
    if (a.fd < 0) {
        a.writeErrno = errno;
        return false;
    }
    if (keepBytes > 0 &&
        (::ftruncate(a.fd, keepBytes) != 0 || ::lseek(a.fd, 0, SEEK_END) != keepBytes)) {
        a.writeErrno = errno;
        a.close();
        return false;
    }
    a.offset = keepBytes;
    a.written = keepBytes;
    if (keepBytes == 0) {
        a.validator.clear();
        a.expected = -1;
    }
    return true;
}

void Downloader::run()
{
    const auto deadline = Clock::now() + options.totalLimit;
    const TransferSettings settings{options.idleTimeout, options.caFile};
    Attempt a;
    const std::optional<ResumeState> state = usableResumeState();
    if (startResumeData && !state)
        ITLog("DL: resume state not usable, starting from zero");
    if (!openPartial(a, state ? state->offset : 0))
        return reportComplete(transportError(a, TransferError::kWriteError,
                                             TransferError::describeFileError(a.writeErrno)));
    if (state) {
        a.validator = state->validator;
        a.expected = state->total;
    }

    const HttpTransfer::BodySink sink = [this, &a](const ResponseInfo &info, const char *data,
                                                   size_t size) {
        return receive(a, info, data, size);
    };
    ResponseInfo info;
    bool waitingLogged = false;
    for (;;) {
        if (m_cancelled.load())
            return reportComplete(cancelled(a));
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return reportComplete(transportError(a, TransferError::kTimedOut,
                                                 QStringLiteral("The request timed out.")));
        QList<QByteArray> headers;
        if (a.offset > 0)
            headers << "Range: bytes=" + QByteArray::number(a.offset) + '-'
                    << "If-Range: " + a.validator;
        a.bodyStarted = false;
        a.restartFresh = false;
        const TransferResult r =
            m_transfer.get(url, headers, settings, left, m_cancelled, sink, info);
        httpStatus = info.status;
        if (m_cancelled.load())
            return reportComplete(cancelled(a));

        if (!a.bodyStarted && TransferError::isNoConnectivity(r)) {
            if (!waitingLogged)
                ITLog("DL: waiting for connectivity...");
            waitingLogged = true;
            const auto pause = std::min(
                options.connectivityRetry,
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!m_transfer.pause(pause, m_cancelled))
                return reportComplete(cancelled(a));
            continue;
        }
        if (a.offset > 0 && (a.restartFresh || (r.code == 0 && info.status == 416))) {
            ITLog("DL: server cannot continue at offset %lld (HTTP %ld), starting from zero",
                  a.offset, info.status);
            if (!openPartial(a, 0))
                return reportComplete(transportError(
                    a, TransferError::kWriteError, TransferError::describeFileError(a.writeErrno)));
            continue;
        }
        if (r.code == 0)
            return reportComplete(finish(a, info));
        const QString description = a.writeErrno ? TransferError::describeFileError(a.writeErrno)
                                                 : TransferError::describe(r);
        return reportComplete(transportError(a, r.code, description));
    }
}

bool Downloader::receive(Attempt &a, const ResponseInfo &info, const char *data, size_t size)
{
    if (!a.bodyStarted) {
        a.bodyStarted = true;
        beginBody(a, info);
        if (a.restartFresh)
            return false;
    }
    if (!a.acceptBody)
        return true; // an error page: not the file, and not progress
    while (size > 0) {
        const ssize_t n = ::write(a.fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            a.writeErrno = n < 0 ? errno : ENOSPC;
            return false;
        }
        a.written += n;
        data += n;
        size -= static_cast<size_t>(n);
    }
    progress(a.written, a.expected);
    return true;
}

void Downloader::beginBody(Attempt &a, const ResponseInfo &info)
{
    a.acceptBody = isSuccess(info.status);
    if (!a.acceptBody)
        return;
    if (!validatorOf(info).isEmpty())
        a.validator = validatorOf(info);
    if (a.offset > 0 && info.status == 206) {
        const auto [start, total] = parseContentRange(info.contentRange);
        if (start != a.offset) {
            a.restartFresh = true;
            return;
        }
        a.expected =
            total > 0 ? total : (info.contentLength >= 0 ? a.offset + info.contentLength : -1);
        ITLog("DL: resumed at offset %lld / %lld", a.offset, a.expected);
        return;
    }
    if (a.offset > 0) {
        // The range was ignored or the file changed on the server: the whole file follows,
        // so the old bytes must go.
        ITLog("DL: server sent the whole file (HTTP %ld), starting from zero", info.status);
        if (::ftruncate(a.fd, 0) != 0 || ::lseek(a.fd, 0, SEEK_SET) != 0) {
            a.writeErrno = errno;
            a.restartFresh = true;
            return;
        }
        a.offset = 0;
        a.written = 0;
    }
    a.expected = info.contentLength > 0 ? info.contentLength : -1;
}

void Downloader::progress(qint64 written, qint64 expected)
{
    if (m_cancelled.load())
        return;
    if (expected > 0 && !sizeLogged) {
        sizeLogged = true;
        ITLog("DL: content length %lld bytes", expected);
    }
    const auto now = Clock::now();
    const bool complete = expected > 0 && written >= expected;
    if (!complete && now - lastProgressTick < std::chrono::milliseconds(100))
        return;
    lastProgressTick = now;
    postToMainThread([self = shared_from_this(), written, expected] {
        if (self->onProgress)
            self->onProgress(written, expected);
    });
}

Downloader::Outcome Downloader::finish(Attempt &a, const ResponseInfo &info)
{
    a.close();
    const QString partial = partialPath(destFile);
    ITLog("DL: HTTP %ld, moving to %@", info.status, destFile);
    if (!isSuccess(info.status)) {
        QFile::remove(partial);
        ITLog("DL: HTTP %ld, treated as failure", info.status);
        QFile::remove(destFile);
        return {false, formatLogMessage("Server returned HTTP %ld", {info.status})};
    }
    // rename() replaces an older file at destFile in one step.
    if (::rename(QFile::encodeName(partial).constData(), QFile::encodeName(destFile).constData()) !=
        0) {
        ITLog("DL: move FAILED: %@", QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(partial);
        return {false, QStringLiteral("Downloaded file could not be saved.")};
    }
    if (!QFileInfo(destFile).isFile())
        return {false, QStringLiteral("Downloaded file could not be saved.")};
    ITLog("DL: download complete");
    return {true, QString()};
}

Downloader::Outcome Downloader::transportError(Attempt &a, int code, const QString &description)
{
    a.close();
    errorCode = code;
    // Worth continuing only with good bytes and a validator that proves the file unchanged.
    if (a.acceptBody && a.written > 0 && !a.validator.isEmpty()) {
        ResumeState s{url, partialPath(destFile), a.written, a.expected, a.validator};
        resumeData = s.encode();
    } else {
        QFile::remove(partialPath(destFile));
    }
    ITLog("DL: error %ld %@ (resume state: %lu bytes)", code, description,
          static_cast<quint64>(resumeData ? resumeData->size() : 0));
    QFile::remove(destFile);
    return {false, description};
}

Downloader::Outcome Downloader::cancelled(Attempt &a)
{
    a.close();
    ITLog("DL: cancelled by user, partial file deleted");
    QFile::remove(partialPath(destFile));
    QFile::remove(destFile);
    return {false, QStringLiteral("Download cancelled.")};
}

void Downloader::reportComplete(const Outcome &outcome)
{
    postToMainThread([self = shared_from_this(), outcome] {
        if (self->onComplete)
            self->onComplete(outcome.ok, outcome.error);
    });
}
