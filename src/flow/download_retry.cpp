// What follows a download that did not succeed: close, retry after a pause, or give up.
#include "diag/analytics.h"
#include "diag/log.h"
#include "engine/downloader.h"
#include "engine/transfer_error.h"
#include "flow/setup_flow.h"

#include <QFile>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
constexpr qint64 kRetryLimit = 3;
const QString kCancelledText = u"Download cancelled."_s;

// The server refused the request itself: asking again will not change its answer.
bool isRefusal(qint64 status)
{
    return status >= 400 && status <= 499 && status != 408 && status != 429;
}

// Another try would fetch the whole image again into the same lack of room.
bool isOutOfRoom(qint64 code)
{
    return code == TransferError::kNoDiskSpace;
}

QString reasonOf(qint64 status, qint64 code)
{
    switch (code) {
    case 0:
        return u"download_error_http_%1"_s.arg(status);
    case TransferError::kBadSignature:
        return u"download_error_signature"_s;
    case TransferError::kNotDiskImage:
        return u"download_error_not_disk_image"_s;
    default:
        return u"download_error_%1"_s.arg(code);
    }
}
} // namespace

void SetupFlow::downloadFailed(const QString &error, qint64 status, qint64 code)
{
    const QString reason = reasonOf(status, code);
    if (error == kCancelledText) {
        ITLog("FLOW: download cancelled, closing");
        ITTrackEvent(u"install_cancelled"_s);
        emit closeWindow();
        return;
    }
    ITLog("FLOW: download FAILED (HTTP %ld): %@", status, error);
    if (m_closing) {
        emit closeWindow();
        return;
    }
    if (isRefusal(status) || isOutOfRoom(code) || retryCount >= kRetryLimit) {
        // What the image's own checks found is told in the user's language.
        giveUp(code == TransferError::kBadSignature   ? L().downloadNotVerified
               : code == TransferError::kNotDiskImage ? L().notDiskImage
                                                      : error,
               reason);
        return;
    }
    ++retryCount;
    ITTrackEvent(u"install_retry"_s, reason);
    const auto pause = m_settings.retryPause * retryCount;
    ITLog("FLOW: auto-retry %ld/%ld in %.0f ms", retryCount, kRetryLimit, double(pause.count()));
    // Emptied for the next attempt; a bar without a known size stays so until it learns one.
    setProgress(0, m_indeterminate);
    setInstallStatus(&UIStrings::installingWait, QString());
    retryTimer->start(pause);
    setPhase(Phase::WaitingToRetry);
}

void SetupFlow::giveUp(const QString &error, const QString &reason)
{
    ITLog("FLOW: download FAILED after %ld retries, giving up", retryCount);
    ITTrackEvent(u"install_failed"_s, reason);
    showFailedState(FailureKind::Download, error);
    if (m_endRequested)
        endNow();
}

void SetupFlow::retryTimerTick()
{
    if (!m_closing)
        launchDownload();
}

void SetupFlow::dropResumeState()
{
    // The partial image it points to is of no use without it.
    if (pendingResumeData && !destFile.isEmpty())
        QFile::remove(Downloader::partialPath(destFile));
    pendingResumeData.reset();
}
