#include "diag/analytics.h"

#include "diag/log.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A validation report is a few hundred bytes; a runaway answer must not fill the memory.
constexpr qsizetype kMaxAnswerBytes = 256 * 1024;

std::mutex gSettingsMutex;

AnalyticsSettings &settingsLocked()
{
    // Until the program hands over its settings there is no secret, so nothing is sent.
    static auto *settings = new AnalyticsSettings();
    return *settings;
}

AnalyticsSettings currentSettings()
{
    const std::lock_guard lock(gSettingsMutex);
    return settingsLocked();
}

QString gClientId;
std::once_flag gClientIdOnce;

struct PostRequest
{
    QByteArray url;
    QByteArray body;
    QByteArray caFile;
    QString label;
    QString eventName;
    bool isValidation = false;
    long timeoutMs = 5000;

    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    QByteArray answer;
    char error[CURL_ERROR_SIZE] = {};

    PostRequest() = default;
    PostRequest(const PostRequest &) = delete;
    PostRequest &operator=(const PostRequest &) = delete;
    ~PostRequest()
    {
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
};

size_t onAnswer(char *data, size_t size, size_t count, void *user)
{
    auto *request = static_cast<PostRequest *>(user);
    const size_t bytes = size * count;
    if (request->isValidation) {
        const qsizetype room = kMaxAnswerBytes - request->answer.size();
        request->answer.append(data, std::min(room, static_cast<qsizetype>(bytes)));
    }
    return bytes;
}

class PostWorker;
// Set when the first request starts the worker: before that the end has nothing to wait for.
std::atomic<PostWorker *> gWorker = nullptr;

// One thread runs every request of the process side by side on a curl multi handle, so a
// burst of events costs sockets, not threads. The program's end may wait a bounded while for
// its requests (flush); at exit it is only asked to leave libcurl before the libraries are
// torn down, and what is left is abandoned.
class PostWorker
{
public:
    static PostWorker &instance()
    {
        static PostWorker *worker = [] {
            curl_global_init(CURL_GLOBAL_DEFAULT);
            auto *w = new PostWorker;
            std::atexit(stopAtExit);
            gWorker = w;
            return w;
        }();
        return *worker;
    }

    void submit(std::unique_ptr<PostRequest> request)
    {
        {
            const std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            m_inFlight.push_back(request.get());
            m_queue.push_back(std::move(request));
        }
        curl_multi_wakeup(m_multi);
    }

    void flush(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        if (m_inFlight.empty())
            return;
        QStringList requests;
        for (const PostRequest *r : m_inFlight)
            requests << r->eventName + u' ' + r->label;
        ITLog("GA: waiting for requests in flight: %@", requests.join(u", "));
        m_settledCondition.wait_for(lock, limit, [this] { return m_inFlight.empty(); });
    }

private:
    PostWorker() : m_multi(curl_multi_init())
    {
        curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, 8L);
        std::thread([this] { run(); }).detach();
    }

    static void stopAtExit()
    {
        PostWorker &w = instance();
        std::unique_lock lock(w.m_mutex);
        w.m_stopping = true;
        lock.unlock();
        curl_multi_wakeup(w.m_multi);
        lock.lock();
        // Normally a matter of microseconds: the worker never blocks inside libcurl.
        w.m_parkedCondition.wait_for(lock, std::chrono::seconds(1), [&w] { return w.m_parked; });
    }

    void run()
    {
        std::vector<std::unique_ptr<PostRequest>> active;
        for (;;) {
            std::deque<std::unique_ptr<PostRequest>> incoming;
            {
                std::unique_lock lock(m_mutex);
                if (m_stopping) {
                    // Kept, not freed: freeing would close connections while the process exits.
                    m_abandoned = std::move(active);
                    m_parked = true;
                    m_parkedCondition.notify_all();
                    // Parked for good: a returning thread would run the TLS library's
                    // per-thread clean-up while the process tears that library down.
                    m_parkedCondition.wait(lock, [] { return false; });
                }
                incoming.swap(m_queue);
            }
            for (std::unique_ptr<PostRequest> &request : incoming) {
                if (start(*request))
                    active.push_back(std::move(request));
            }
            int running = 0;
            curl_multi_perform(m_multi, &running);
            int left = 0;
            while (CURLMsg *msg = curl_multi_info_read(m_multi, &left)) {
                if (msg->msg != CURLMSG_DONE)
                    continue;
                const CURLcode code = msg->data.result;
                CURL *easy = msg->easy_handle;
                curl_multi_remove_handle(m_multi, easy);
                const auto it = std::find_if(active.begin(), active.end(),
                                             [easy](const auto &r) { return r->easy == easy; });
                if (it == active.end())
                    continue;
                report(**it, code);
                active.erase(it);
            }
            curl_multi_poll(m_multi, nullptr, 0, 60000, nullptr);
        }
    }

    bool start(PostRequest &r)
    {
        r.easy = curl_easy_init();
        if (!r.easy) {
            report(r, CURLE_OUT_OF_MEMORY);
            return false;
        }
        r.headers = curl_slist_append(nullptr, "Content-Type: application/json");
        // A tiny body needs no "100 Continue" round trip.
        r.headers = curl_slist_append(r.headers, "Expect:");
        CURL *e = r.easy;
        curl_easy_setopt(e, CURLOPT_URL, r.url.constData());
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.constData());
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headers);
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, r.timeoutMs);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.error);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onAnswer);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
        if (!r.caFile.isEmpty())
            curl_easy_setopt(e, CURLOPT_CAINFO, r.caFile.constData());
        if (curl_multi_add_handle(m_multi, e) != CURLM_OK) {
            report(r, CURLE_FAILED_INIT);
            return false;
        }
        return true;
    }

    void report(const PostRequest &r, CURLcode code)
    {
        long status = 0;
        if (r.easy)
            curl_easy_getinfo(r.easy, CURLINFO_RESPONSE_CODE, &status);
        const std::lock_guard lock(m_mutex);
        std::erase(m_inFlight, &r);
        m_settledCondition.notify_all();
        if (m_stopping)
            return;
        if (code != CURLE_OK) {
            const QString detail =
                QString::fromUtf8(r.error[0] ? r.error : curl_easy_strerror(code));
            ITLog("GA: %@ %@ ERROR %@", r.eventName, r.label, detail);
        } else if (r.isValidation) {
            ITLog("GA: %@ %@ -> HTTP %ld, validation: %@", r.eventName, r.label, status,
                  QString::fromUtf8(r.answer).trimmed());
        } else {
            ITLog("GA: %@ %@ -> HTTP %ld", r.eventName, r.label, status);
        }
    }

    CURLM *m_multi;
    std::mutex m_mutex;
    std::condition_variable m_parkedCondition;
    std::condition_variable m_settledCondition; // a request was answered or failed
    std::deque<std::unique_ptr<PostRequest>> m_queue;
    std::vector<const PostRequest *> m_inFlight; // queued or running, oldest first
    std::vector<std::unique_ptr<PostRequest>> m_abandoned;
    bool m_stopping = false;
    bool m_parked = false;
};

QString endpointUrl(const AnalyticsSettings &s, QLatin1StringView path)
{
    return QStringLiteral("https://") + s.host + path + QStringLiteral("?measurement_id=") +
           QString::fromLatin1(QUrl::toPercentEncoding(s.measurementId)) +
           QStringLiteral("&api_secret=") +
           QString::fromLatin1(QUrl::toPercentEncoding(s.apiSecret));
}

} // namespace

void ITSetAnalyticsSettings(const AnalyticsSettings &settings)
{
    const std::lock_guard lock(gSettingsMutex);
    settingsLocked() = settings;
}

QString ITClientId()
{
    std::call_once(gClientIdOnce, [] {
        gClientId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    });
    return gClientId;
}

void ITTrackEvent(const QString &name, const QString &reason)
{
    const AnalyticsSettings s = currentSettings();
    if (s.apiSecret.isEmpty()) {
        ITLog("GA: SKIPPED %@ - API_SECRET not configured", name);
        return;
    }
    QJsonObject params;
    if (!reason.isEmpty())
        params.insert(QLatin1StringView("reason"), reason);
    const QJsonObject event{{QLatin1StringView("name"), name},
                            {QLatin1StringView("params"), params}};
    const QJsonObject root{{QLatin1StringView("client_id"), ITClientId()},
                           {QLatin1StringView("events"), QJsonArray{event}}};
    const QByteArray body = QJsonDocument(root).toJson(QJsonDocument::Compact);

    ITLog("GA: event %@ reason=\"%@\"", name, reason);
    ITPost(endpointUrl(s, QLatin1StringView("/mp/collect")), body, QStringLiteral("mp/collect"),
           name, false);
    ITPost(endpointUrl(s, QLatin1StringView("/debug/mp/collect")), body,
           QStringLiteral("debug/mp/collect"), name, true);
}

void ITAnalyticsFlush(int timeoutMs)
{
    if (PostWorker *worker = gWorker)
        worker->flush(std::chrono::milliseconds(timeoutMs));
}

void ITPost(const QString &url, const QByteArray &body, const QString &label,
            const QString &eventName, bool isValidation)
{
    const AnalyticsSettings s = currentSettings();
    auto request = std::make_unique<PostRequest>();
    request->url = url.toUtf8();
    request->body = body;
    request->caFile = QFile::encodeName(s.caFile);
    request->label = label;
    request->eventName = eventName;
    request->isValidation = isValidation;
    request->timeoutMs = static_cast<long>(s.timeout.count());
    PostWorker::instance().submit(std::move(request));
}
