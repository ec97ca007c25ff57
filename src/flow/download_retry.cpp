// What follows a download that did not succeed: close, retry after a pause, or give up.
#include "diag/analytics.h"
#include "diag/log.h"
#include "engine/downloader.h"
#include "engine/transfer_error.h"
#include "flow/main_window_controller.h"
#include "ui/link_label.h"
#include "ui/progress_bar.h"
#include "ui/rounded_button.h"
#include "ui/text_fit.h"

#include <QFile>
#include <QLabel>
#include <QTimer>

#include <chrono>

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
} // namespace

void MainWindowController::downloadFailed(const QString &error, qint64 status, qint64 code)
{
    const QString reason =
        code != 0 ? u"download_error_%1"_s.arg(code) : u"download_error_http_%1"_s.arg(status);
    if (error == kCancelledText) {
        ITLog("FLOW: download cancelled, closing");
        ITTrackEvent(u"install_cancelled"_s);
        closeWindow();
        return;
    }
    ITLog("FLOW: download FAILED (HTTP %ld): %@", status, error);
    if (closing) {
        closeWindow();
        return;
    }
    if (isRefusal(status) || isOutOfRoom(code) || retryCount >= kRetryLimit) {
        giveUp(error, reason);
        return;
    }
    ++retryCount;
    ITTrackEvent(u"install_retry"_s, reason);
    ITLog("FLOW: auto-retry %ld/%ld in %.0f ms", retryCount, kRetryLimit, 1000.0 * retryCount);
    progress->setDoubleValue(0);
    setInstallStatus(L().installingWait, QString());
    retryTimer = std::make_unique<QTimer>();
    retryTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a pause before a retry is never cut short.
    retryTimer->setTimerType(Qt::PreciseTimer);
    retryTimer->setInterval(std::chrono::seconds(retryCount));
    connect(retryTimer.get(), &QTimer::timeout, this, &MainWindowController::retryTimerTick);
    retryTimer->start();
}

void MainWindowController::giveUp(const QString &error, const QString &reason)
{
    ITLog("FLOW: download FAILED after %ld retries, giving up", retryCount);
    ITTrackEvent(u"install_failed"_s, reason);
    showFailedState(error);
    offlineLink->show();
    if (m_endRequested)
        endNow();
}

void MainWindowController::retryTimerTick()
{
    // The timer is the sender of this call: it goes once the call has returned.
    if (QTimer *fired = retryTimer.release())
        fired->deleteLater();
    if (!closing)
        launchDownload();
}

void MainWindowController::dropResumeState()
{
    // The partial image it points to is of no use without it.
    if (pendingResumeData && !destFile.isEmpty())
        QFile::remove(Downloader::partialPath(destFile));
    pendingResumeData.reset();
}
