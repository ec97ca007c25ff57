#include "engine/downloader.h"

#include "diag/log.h"
#include "engine/main_thread.h"
#include "engine/transfer_error.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Only the start of an error page is read: its status alone decides the outcome.
constexpr qint64 kErrorPageLimit = 64 * 1024;

// How often free space is looked at while the body is written; once per write would cost
// more than the write.
constexpr qint64 kSpaceCheckInterval = 4 * 1024 * 1024;
constexpr unsigned long long kSmallDiskShare = 10;

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

struct ContentRange
{
    qint64 start = -1; // -1: unreadable
    qint64 end = -1;
    qint64 total = -1; // -1: "*"
};

// "bytes START-END/TOTAL"
ContentRange parseContentRange(const QByteArray &value)
{
    const QByteArray range = value.startsWith("bytes ") ? value.mid(6) : QByteArray();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash < 0 || slash < dash)
        return {};
    bool startOk = false;
    bool endOk = false;
    bool totalOk = false;
    ContentRange r{range.left(dash).toLongLong(&startOk),
                   range.mid(dash + 1, slash - dash - 1).toLongLong(&endOk),
                   range.mid(slash + 1).toLongLong(&totalOk)};
    if (!startOk || !endOk || r.start < 0 || r.end < r.start)
        return {};
    if (!totalOk)
        r.total = -1;
    return r;
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
    bool badRange = false; // a 206 whose part does not continue the file
    qint64 pageBytes = 0;  // of an error page
    bool pageCut = false;  // the error page was read as far as wanted
    int writeErrno = 0;
    bool noSpace = false;      // the file would pass the size limit or the free-space margin
    qint64 nextSpaceCheck = 0; // look at free space again once this much is written
    Clock::time_point deadline{};

    void newRequest()
    {
        bodyStarted = acceptBody = restartFresh = badRange = false;
        pageBytes = 0;
        pageCut = false;
    }

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
    // A state for another file cannot be continued.
    if (!s || s->url != url || s->partialFile != partialPath(destFile))
        return std::nullopt;
    return s;
}

bool Downloader::reusePartial(Attempt &a, const ResumeState &s)
{
    // O_NONBLOCK: a FIFO in its place must not hang the open.
    const int fd = ::open(QFile::encodeName(s.partialFile).constData(),
                          O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    // Only a plain file of our own with no other name is continued: anything else may hold
    // another user's bytes, or lead our writes into some other file.
    struct stat st
    {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1 || st.st_size < s.offset || ::ftruncate(fd, s.offset) != 0 ||
        ::lseek(fd, 0, SEEK_END) != s.offset || (m_check && !m_check->resume(s.partialFile))) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    a.fd = fd;
    a.offset = a.written = s.offset;
    a.expected = s.total;
    a.validator = s.validator;
    return true;
}

bool Downloader::createPartial(Attempt &a)
{
    a.close();
    const QByteArray path = QFile::encodeName(partialPath(destFile));
    // Whatever lies there goes, so that the new file is ours alone and no link is followed.
    ::unlink(path.constData());
    a.fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (a.fd < 0) {
        a.writeErrno = errno;
        return false;
    }
    a.offset = a.written = 0;
    a.expected = -1;
    a.validator.clear();
    if (m_check)
        m_check->restart();
    return true;
}

void Downloader::run()
{
    // Every outcome but success removes destFile and success replaces it. Gone now, the old
    // copy does not hold its space while the new one is written.
    QFile::remove(destFile);
    const auto deadline = Clock::now() + options.totalLimit;
    const TransferSettings settings{options.idleTimeout, options.caFile};
    if (options.diskImage)
        m_check.emplace(url, options.publicKey);
    Attempt a;
    a.deadline = deadline;
    std::optional<ResumeState> state = usableResumeState();
    if (state && !reusePartial(a, *state))
        state.reset();
    if (startResumeData && !state)
        ITLog("DL: resume state not usable, starting from zero");
    if (!state && !createPartial(a))
        return reportComplete(transportError(a, TransferError::kWriteError,
                                             TransferError::describeFileError(a.writeErrno)));

    const HttpTransfer::BodySink sink = [this, &a](const ResponseInfo &info, const char *data,
                                                   size_t size) {
        return receive(a, info, data, size);
    };
    ResponseInfo info;
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
        a.newRequest();
        const TransferResult r =
            m_transfer.get(url, headers, settings, left, m_cancelled, sink, info);
        httpStatus = info.status;
        if (m_cancelled.load())
            return reportComplete(cancelled(a));
        if (a.noSpace)
            return reportComplete(noDiskSpace(a));

        if (!a.bodyStarted && TransferError::isNoConnectivity(r)) {
            setWaiting(true);
            const auto pause = std::min(
                options.connectivityRetry,
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!m_transfer.pause(pause, m_cancelled))
                return reportComplete(cancelled(a));
            continue;
        }
        setWaiting(false);
        const bool answered = r.code == 0 || a.pageCut;
        if (a.offset > 0 && (a.restartFresh || (answered && info.status == 416))) {
            ITLog("DL: server cannot continue at offset %lld (HTTP %ld), starting from zero",
                  a.offset, info.status);
            if (!createPartial(a))
                return reportComplete(transportError(
                    a, TransferError::kWriteError, TransferError::describeFileError(a.writeErrno)));
            continue;
        }
        if (a.badRange ||
            (answered && isSuccess(info.status) && a.expected >= 0 && a.written != a.expected)) {
            ITLog("DL: %lld of %lld bytes received", a.written, a.expected);
            return reportComplete(transportError(
                a, TransferError::kPartialFile,
                TransferError::describe({TransferError::kPartialFile, 0, {}, false})));
        }
        if (answered)
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
        setWaiting(false);
        beginBody(a, info);
        a.nextSpaceCheck = a.written;
    }
    if (a.restartFresh || a.badRange)
        return false;
    if (!a.acceptBody) { // an error page: not the file, and not progress
        a.pageBytes += static_cast<qint64>(size);
        a.pageCut = a.pageBytes > kErrorPageLimit;
        return !a.pageCut;
    }
    if (!hasRoom(a, static_cast<qint64>(size)))
        return false;
    while (size > 0) {
        const ssize_t n = ::write(a.fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            a.writeErrno = n < 0 ? errno : ENOSPC;
            return false;
        }
        if (m_check)
            m_check->add(data, n);
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
    if (info.status == 206) {
        const ContentRange part = parseContentRange(info.contentRange);
        if (a.offset > 0 && part.start != a.offset) {
            a.restartFresh = true;
            return;
        }
        // The part must start where our bytes end, lie inside the file, and be as long as it
        // says; else its bytes cannot be placed.
        if (part.start != a.offset || (part.total >= 0 && part.end >= part.total) ||
            (info.contentLength >= 0 && info.contentLength != part.end - part.start + 1)) {
            ITLog("DL: HTTP 206 with \"%@\" does not continue offset %lld",
                  QString::fromLatin1(info.contentRange), a.offset);
            a.acceptBody = false;
            a.badRange = true;
            return;
        }
        if (!validatorOf(info).isEmpty())
            a.validator = validatorOf(info);
        a.expected = part.total >= 0 ? part.total : part.end + 1;
        if (a.offset > 0)
            ITLog("DL: resumed at offset %lld / %lld", a.offset, a.expected);
        return;
    }
    if (!validatorOf(info).isEmpty())
        a.validator = validatorOf(info);
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
        if (m_check)
            m_check->restart();
    }
    a.expected = info.contentLength > 0 ? info.contentLength : -1;
}

// Whether `incoming` more bytes keep the file inside the size limit, and the rest of it would
// leave the margin free on the partial file's file system.
bool Downloader::hasRoom(Attempt &a, qint64 incoming)
{
    const qint64 size = std::max(a.expected, a.written + incoming);
    if (size > options.sizeLimit) {
        ITLog("DL: %lld bytes are past the limit of %lld bytes", size, options.sizeLimit);
        a.noSpace = true;
        return false;
    }
    if (a.written < a.nextSpaceCheck)
        return true;
    a.nextSpaceCheck = a.written + kSpaceCheckInterval;
    struct statvfs fs
    {};
    unsigned long long freeBytes = 0, diskBytes = 0;
    if (::fstatvfs(a.fd, &fs) != 0 ||
        __builtin_mul_overflow(fs.f_bavail, fs.f_frsize, &freeBytes) ||
        __builtin_mul_overflow(fs.f_blocks, fs.f_frsize, &diskBytes))
        return true; // unknown: a full disk still fails the write
    // A small disk (a temporary folder in memory) keeps a tenth of itself free, not the margin.
    const qint64 margin =
        std::min<qint64>(options.spaceMargin, static_cast<qint64>(diskBytes / kSmallDiskShare));
    const qint64 needed = margin + std::max<qint64>(0, a.expected - a.written);
    if (freeBytes >= static_cast<unsigned long long>(needed))
        return true;
    ITLog("DL: %llu bytes free, %lld needed", freeBytes, needed);
    a.noSpace = true;
    return false;
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

void Downloader::setWaiting(bool waiting)
{
    if (waiting == waitingForNetwork)
        return;
    waitingForNetwork = waiting;
    if (waiting)
        ITLog("DL: waiting for connectivity...");
    postToMainThread([self = shared_from_this(), waiting] {
        if (self->onWaitingForNetwork)
            self->onWaitingForNetwork(waiting);
    });
}

Downloader::Outcome Downloader::finish(Attempt &a, const ResponseInfo &info)
{
    a.close();
    const QString partial = partialPath(destFile);
    ITLog("DL: HTTP %ld, moving to %@", info.status, destFile);
    if (!isSuccess(info.status)) {
        keepOrDropPartial(a);
        ITLog("DL: HTTP %ld, treated as failure", info.status);
        QFile::remove(destFile);
        return {false, formatLogMessage("Server returned HTTP %ld", {info.status})};
    }
    if (std::optional<Outcome> refused = checkImage(a))
        return *refused;
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
    keepOrDropPartial(a);
    ITLog("DL: error %ld %@ (resume state: %lu bytes)", code, description,
          static_cast<quint64>(resumeData ? resumeData->size() : 0));
    QFile::remove(destFile);
    return {false, description};
}

// A file that fails its check goes, and no state is handed on: another try starts from zero.
std::optional<Downloader::Outcome> Downloader::checkImage(Attempt &a)
{
    if (!m_check)
        return std::nullopt;
    const QString partial = partialPath(destFile);
    const auto left =
        std::max(std::chrono::duration_cast<std::chrono::milliseconds>(a.deadline - Clock::now()),
                 std::chrono::milliseconds(1));
    const std::optional<ImageCheck::Failure> failure =
        m_check->finish(partial, m_transfer, {options.idleTimeout, options.caFile},
                        {left, options.connectivityRetry}, m_cancelled);
    if (m_cancelled.load())
        return cancelled(a);
    if (!failure) {
        if (!options.publicKey.isEmpty())
            ITLog("DL: signature verified");
        return std::nullopt;
    }
    QFile::remove(partial);
    QFile::remove(destFile);
    errorCode = failure->signature ? TransferError::kBadSignature : TransferError::kNotDiskImage;
    if (failure->httpStatus != 0)
        httpStatus = failure->httpStatus;
    ITLog(failure->signature ? "DL: signature check failed: %@" : "DL: not a disk image: %@",
          failure->why);
    return Outcome{false, TransferError::describe({int(errorCode), 0, {}, false})};
}

// Resuming would need the same room again, and the bytes kept would fill the disk meanwhile.
Downloader::Outcome Downloader::noDiskSpace(Attempt &a)
{
    a.close();
    errorCode = TransferError::kNoDiskSpace;
    const QString description =
        TransferError::describe({TransferError::kNoDiskSpace, 0, {}, false});
    ITLog("DL: error %ld %@, partial file deleted", errorCode, description);
    QFile::remove(partialPath(destFile));
    QFile::remove(destFile);
    return {false, description};
}

// Worth continuing only with good bytes and a validator that proves the file unchanged; an
// attempt that added none hands on the state it started from.
void Downloader::keepOrDropPartial(Attempt &a)
{
    if (a.written > 0 && !a.validator.isEmpty())
        resumeData =
            ResumeState{url, partialPath(destFile), a.written, a.expected, a.validator}.encode();
    else
        QFile::remove(partialPath(destFile));
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
    setWaiting(false);
    postToMainThread([self = shared_from_this(), outcome] {
        if (self->onComplete)
            self->onComplete(outcome.ok, outcome.error);
    });
}
