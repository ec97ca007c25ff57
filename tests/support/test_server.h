#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;

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
    qint64 announcedLength = -1; // Content-Length to claim instead of the body's size
    qint64 cutAfter = -1;        // close the connection after this many body bytes
    qint64 stallAfter = -1;      // stop sending after this many body bytes; keep the connection
    bool honourRanges = true;    // answer "Range" (with "If-Range") with 206 or 416
    QByteArray etag{};
    QByteArray lastModified{};
    int chunkBytes = 0; // with chunkIntervalMs: pace the body
    int chunkIntervalMs = 0;
    int headerDelayMs = 0; // wait before answering
    bool neverAnswer = false;
    bool hangUp = false; // close the connection without answering
};

// A programmable HTTP or HTTPS server on an ephemeral loopback port, living on the thread that
// created it. Routes are looked up by path (without the query); unknown paths get 404.
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
    explicit TestServer(Tls tls = Tls::Trusted, QObject *parent = nullptr);
    ~TestServer() override;

    quint16 port() const;
    QString url(const QString &path) const;

    void setRoute(const QByteArray &path, const Response &response);
    // Decides the answer per request, for routes that change between requests.
    void setHandler(const QByteArray &path,
                    std::function<Response(const RecordedRequest &)> handler);

    // Told of every piece of a body handed to the connection: the request it answers, the
    // response as sent, and where the piece lies in the response's whole file.
    std::function<void(const RecordedRequest &, const Response &, qint64 firstByte, qint64 count)>
        bodySent;

    QList<RecordedRequest> requests() const { return m_requests; }
    int requestCount(const QByteArray &path) const;
    void closeAllConnections();

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection *c);
    void answer(Connection *c, const RecordedRequest &req);
    void sendMore(Connection *c);

    Tls m_tls;
    std::unique_ptr<QTcpServer> m_server;
    QMap<QByteArray, std::function<Response(const RecordedRequest &)>> m_routes;
    QList<RecordedRequest> m_requests;
    QList<Connection *> m_connections;
};
