#include "engine/http_transfer.h"

#include "engine/transfer_error.h"

#include <curl/curl.h>

#include <mutex>

namespace {

constexpr char kUserAgent[] = "QuorvelOnlineInstaller/1.0";
// Below curl's own limit, which it reports as a mere receive error.
constexpr size_t kMaxHeaderBytes = 256 * 1024;

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct RequestContext
{
    ResponseInfo *info;
    const HttpTransfer::BodySink *sink;
    const std::atomic_bool *stop;
    CURL *easy;
    bool statusRead = false;
    size_t headerBytes = 0; // of every response in a redirect chain
    bool tooLarge = false;
    bool bodySeen = false;
};

size_t onHeader(char *data, size_t size, size_t count, void *user)
{
    auto *ctx = static_cast<RequestContext *>(user);
    ctx->headerBytes += size * count;
    if (ctx->headerBytes > kMaxHeaderBytes) {
        ctx->tooLarge = true;
        return 0;
    }
    const QByteArray line = QByteArray(data, static_cast<qsizetype>(size * count)).trimmed();
    if (line.startsWith("HTTP/")) {
        // Every response of a redirect chain starts again; only the last one counts.
        *ctx->info = ResponseInfo{};
        ctx->info->status = line.split(' ').value(1).toLong();
        return size * count;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return size * count;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "etag")
        ctx->info->etag = value;
    else if (name == "last-modified")
        ctx->info->lastModified = value;
    else if (name == "content-range")
        ctx->info->contentRange = value;
    else if (name == "content-length")
        ctx->info->contentLength = value.toLongLong();
    return size * count;
}

size_t onBody(char *data, size_t size, size_t count, void *user)
{
    auto *ctx = static_cast<RequestContext *>(user);
    ctx->bodySeen = true;
    if (ctx->stop->load())
        return 0;
    return (*ctx->sink)(*ctx->info, data, size * count) ? size * count : 0;
}

} // namespace

HttpTransfer::HttpTransfer()
{
    initCurlOnce();
    m_multi = curl_multi_init();
}

HttpTransfer::~HttpTransfer()
{
    curl_multi_cleanup(static_cast<CURLM *>(m_multi));
}

void HttpTransfer::interrupt()
{
    curl_multi_wakeup(static_cast<CURLM *>(m_multi));
}

bool HttpTransfer::pause(std::chrono::milliseconds duration, const std::atomic_bool &stop)
{
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + duration;
    while (!stop.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return true;
        curl_multi_poll(static_cast<CURLM *>(m_multi), nullptr, 0, static_cast<int>(left.count()),
                        nullptr);
    }
    return false;
}

TransferResult HttpTransfer::get(const QString &url, const QList<QByteArray> &headers,
                                 const TransferSettings &settings,
                                 std::chrono::milliseconds timeLimit, const std::atomic_bool &stop,
                                 const BodySink &sink, ResponseInfo &info)
{
    auto *multi = static_cast<CURLM *>(m_multi);
    CURL *easy = curl_easy_init();
    RequestContext ctx{&info, &sink, &stop, easy};
    info = ResponseInfo{};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray urlBytes = url.toUtf8();
    const QByteArray caFile = settings.caFile.toLocal8Bit();
    const bool secure = url.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);

    curl_slist *headerList = nullptr;
    for (const QByteArray &h : headers)
        headerList = curl_slist_append(headerList, h.constData());

    curl_easy_setopt(easy, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Once on https, a redirect may not drop to plain http.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A cancel does not wait for a name lookup that may take as long as the name server likes.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
    const long idleSeconds =
        std::max<long>(1, static_cast<long>((settings.idleTimeout.count() + 999) / 1000));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(settings.idleTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                     std::max<long>(1, static_cast<long>(timeLimit.count())));
    if (!caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &ctx);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &ctx);

    TransferResult result;
    curl_multi_add_handle(multi, easy);
    int running = 1;
    CURLcode code = CURLE_OK;
    while (running > 0 && !stop.load()) {
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        if (running > 0)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    int queued = 0;
    while (CURLMsg *msg = curl_multi_info_read(multi, &queued)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy)
            code = msg->data.result;
    }
    if (running > 0 || stop.load())
        code = CURLE_ABORTED_BY_CALLBACK;

    long osErrno = 0;
    long redirects = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
    if (code == CURLE_UNSUPPORTED_PROTOCOL && redirects == 0) {
        char *redirectUrl = nullptr;
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &redirectUrl);
        redirects = redirectUrl ? 1 : 0;
    }
    // curl 7 reports a header line longer than its buffer as out of memory.
    const bool tooLarge = ctx.tooLarge || (code == CURLE_OUT_OF_MEMORY && !ctx.bodySeen);
    result.code = tooLarge ? TransferError::kResponseTooLarge : static_cast<int>(code);
    result.osErrno = static_cast<int>(osErrno);
    result.detail = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
    result.redirected = redirects > 0;

    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
    return result;
}
