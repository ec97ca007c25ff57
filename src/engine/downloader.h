#pragma once

#include "engine/http_transfer.h"
#include "engine/image_check.h"
#include "engine/resume_state.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// One HTTP(S) download of one file to `destFile`, on a worker thread of its own. Reports
// throttled progress and exactly one completion on the main thread; after a transport error
// it leaves `resumeData`, from which a new Downloader continues the transfer.
//
// Create it with std::make_shared: it keeps itself alive until its completion has run.
class Downloader : public std::enable_shared_from_this<Downloader>
{
public:
    struct Options
    {
        std::chrono::milliseconds idleTimeout{30000};      // no data for this long: time-out
        std::chrono::milliseconds totalLimit{3600 * 1000}; // the whole transfer, waiting included
        std::chrono::milliseconds connectivityRetry{3000}; // pause between tries without network
        QString caFile;                                    // trust only these anchors (tests)
        qint64 sizeLimit = qint64(16) << 30;    // a larger file fails as not enough disk space
        qint64 spaceMargin = qint64(256) << 20; // free space the download leaves on its disk,
                                                // at most a tenth of the disk
        // The file is a disk image: it must be one, and signed with this key when one is given
        // (`minisign -G`'s line), before it is moved into place.
        bool diskImage = false;
        QByteArray publicKey;
    };

    Downloader(const QString &url, const QString &destFile,
               std::optional<QByteArray> resumeData = std::nullopt);
    ~Downloader();

    std::function<void(qint64 totalBytesWritten, qint64 totalBytesExpectedToWrite)> onProgress;
    std::function<void(bool ok, const QString &error)> onComplete;
    // A wait for the network begins (true) with a try that finds no name or no route, and ends
    // (false) with the first try that gets through, or with the download.
    std::function<void(bool waiting)> onWaitingForNetwork;
    qint64 httpStatus = 0;
    qint64 errorCode = 0;
    std::optional<QByteArray> resumeData;

    Options options;

    void start();
    void cancel();

    // Where the body is received before it is moved into place.
    static QString partialPath(const QString &destFile);

private:
    struct Attempt;
    struct Outcome
    {
        bool ok = false;
        QString error;
    };

    void run();
    std::optional<ResumeState> usableResumeState() const;
    bool reusePartial(Attempt &attempt, const ResumeState &state);
    bool createPartial(Attempt &attempt);
    bool receive(Attempt &attempt, const ResponseInfo &info, const char *data, size_t size);
    void beginBody(Attempt &attempt, const ResponseInfo &info);
    bool hasRoom(Attempt &attempt, qint64 incoming);
    void progress(qint64 written, qint64 expected);
    void setWaiting(bool waiting);
    Outcome finish(Attempt &attempt, const ResponseInfo &info);
    Outcome transportError(Attempt &attempt, int code, const QString &description);
    Outcome noDiskSpace(Attempt &attempt);
    std::optional<Outcome> checkImage(Attempt &attempt);
    void keepOrDropPartial(Attempt &attempt);
    Outcome cancelled(Attempt &attempt);
    void reportComplete(const Outcome &outcome);

    const QString url;
    const QString destFile;
    const std::optional<QByteArray> startResumeData;
    std::atomic_bool m_cancelled{false};
    bool sizeLogged = false;
    bool waitingForNetwork = false; // on the worker thread
    std::chrono::steady_clock::time_point lastProgressTick{};
    HttpTransfer m_transfer;
    std::optional<ImageCheck> m_check; // with options.diskImage, from the start
    bool m_started = false;
};
