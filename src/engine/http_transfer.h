#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>

// The final response's status line and the headers the downloader decides on.
struct ResponseInfo
{
    long status = 0;
    qint64 contentLength = -1;
    QByteArray etag;
    QByteArray lastModified;
    QByteArray contentRange;
};

struct TransferSettings
{
    std::chrono::milliseconds idleTimeout{30000};
    QString caFile; // trust only these anchors (tests); empty: the system's
};

// How one request ended: curl's code, the socket error behind it, and curl's own words.
struct TransferResult
{
    int code = 0;
    int osErrno = 0;
    QString detail;
    bool redirected = false;
};

// One GET at a time over libcurl, driven on the calling thread. `interrupt` may be called
// from any thread: it wakes a running request or pause, which then look at the stop flag.
class HttpTransfer
{
public:
    // Receives each piece of the final response's body; false stops the transfer as a
    // write error.
    using BodySink = std::function<bool(const ResponseInfo &, const char *data, size_t size)>;

    HttpTransfer();
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer &) = delete;
    HttpTransfer &operator=(const HttpTransfer &) = delete;

    TransferResult get(const QString &url, const QList<QByteArray> &headers,
                       const TransferSettings &settings, std::chrono::milliseconds timeLimit,
                       const std::atomic_bool &stop, const BodySink &sink, ResponseInfo &info);

    // Sleeps for `duration` unless interrupted; false when the stop flag is raised.
    bool pause(std::chrono::milliseconds duration, const std::atomic_bool &stop);

    void interrupt();

private:
    void *m_multi;
};
