#pragma once

#include <QMap>
#include <QTcpServer>

#include <functional>

// One request as the server received it. Header names are lower-case.
struct RecordedRequest
{
    QByteArray method;
    QByteArray target; // path and query
    QMap<QByteArray, QByteArray> headers;
    QByteArray body{};
};

// What the server answers. Defaults: 200 with the body and its Content-Length.
struct Response
{
    int status = 200;
    QByteArray body{};
    QList<QPair<QByteArray, QByteArray>> headers{}; // extra headers, sent as given
    bool sendLength = true;      // false: no Content-Length, the body ends with the connection
    bool chunked = false;        // no Content-Length: "Transfer-Encoding: chunked" instead
    bool endless = false;        // the body repeats for as long as the client reads
    qint64 announcedLength = -1; // Content-Length to claim instead of the body's size
    qint64 cutAfter = -1;        // close the connection after this many body bytes
    qint64 stallAfter = -1;      // stop sending after this many body bytes; keep the connection
    bool honourRanges = true;    // answer "Range" (with "If-Range") with 206 or 416
    QByteArray etag{};
    QByteArray lastModified{};
    int chunkBytes = 0; // with chunkIntervalMs: pace the body
    int chunkIntervalMs = 0;
    bool neverAnswer = false;
    bool hangUp = false; // close the connection without answering
};

// An HTTP(S) server on a loopback port and its creator's thread. Routes ignore the query;
// unknown paths get 404.
class TestServer : public QObject
{
    Q_OBJECT
public:
    enum class Tls
    {
        Off,
        Trusted,
        Untrusted
    };
    explicit TestServer(Tls tls = Tls::Trusted);

    quint16 port() const { return m_server->serverPort(); }
    QString url(const QString &path) const
    {
        return QString::fromLatin1(m_tls == Tls::Off ? "http" : "https") +
               QStringLiteral("://127.0.0.1:") + QString::number(port()) + path;
    }

    // Decides the answer per request, for routes that change between requests.
    using Handler = std::function<Response(const RecordedRequest &)>;
    void setHandler(const QByteArray &path, Handler h) { m_routes[path] = std::move(h); }
    void setRoute(const QByteArray &path, const Response &r)
    {
        setHandler(path, [r](const RecordedRequest &) { return r; });
    }

    // Told of each piece of body sent: the request, the response as sent, the piece's place.
    std::function<void(const RecordedRequest &, const Response &, qint64 firstByte, qint64 count)>
        bodySent;

    QList<RecordedRequest> requests() const { return m_requests; }
    int requestCount(const QByteArray &path) const;

private:
    struct Connection;
    void onReadyRead(Connection *c);
    void answer(Connection *c, const RecordedRequest &req);
    void sendMore(Connection *c);

    Tls m_tls;
    QTcpServer *m_server; // a child
    QMap<QByteArray, Handler> m_routes;
    QList<RecordedRequest> m_requests;
};
