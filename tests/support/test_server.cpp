#include "test_server.h"

#include "test_ca.h"

#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <stdexcept>

// A QObject so that its timers die with it.
struct TestServer::Connection : QObject
{
    QPointer<QTcpSocket> socket;
    QByteArray in;
    QByteArray pending; // body bytes still to send
    qint64 sent = 0;
    qint64 firstByte = 0; // of the body, in the whole file
    RecordedRequest request;
    Response response;
    QTimer *pacer = nullptr;
};

namespace {

QByteArray readPem(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return f.readAll();
}

// Applies "Range: bytes=N-" (and "If-Range") to a response that honours ranges; `firstByte`
// is where the body sent starts in the whole file.
Response applyRange(const RecordedRequest &req, Response r, qint64 &firstByte)
{
    firstByte = 0;
    const QByteArray range = req.headers.value("range");
    if (!r.honourRanges || r.status != 200 || !range.startsWith("bytes="))
        return r;
    const QByteArray ifRange = req.headers.value("if-range");
    if (!ifRange.isEmpty() && ifRange != r.etag && ifRange != r.lastModified)
        return r; // the file changed: the whole file, from zero
    bool ok = false;
    const qint64 from = range.mid(6, range.indexOf('-') - 6).toLongLong(&ok);
    const qint64 size = r.body.size();
    if (!ok)
        return r;
    if (from >= size) {
        r.status = 416;
        r.headers.append({"Content-Range", "bytes */" + QByteArray::number(size)});
        r.body.clear();
        r.announcedLength = -1;
        return r;
    }
    r.status = 206;
    r.headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                           QByteArray::number(size - 1) + '/' +
                                           QByteArray::number(size)});
    r.body = r.body.mid(from);
    firstByte = from;
    r.announcedLength = -1;
    return r;
}

} // namespace

TestServer::TestServer(Tls tls, QObject *parent) : QObject(parent), m_tls(tls)
{
    if (tls == Tls::Off) {
        m_server = std::make_unique<QTcpServer>();
    } else {
        const TestCa &ca = TestCa::instance();
        const bool trusted = tls == Tls::Trusted;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificate(
            QSslCertificate(readPem(trusted ? ca.certFile : ca.untrustedCertFile)));
        conf.setPrivateKey(QSslKey(readPem(trusted ? ca.keyFile : ca.untrustedKeyFile), QSsl::Ec));
        conf.setPeerVerifyMode(QSslSocket::VerifyNone);
        auto server = std::make_unique<QSslServer>();
        server->setSslConfiguration(conf);
        // A client that rejects the certificate simply goes away; nothing to answer then.
        connect(server.get(), &QSslServer::sslErrors, this, [](QSslSocket *, auto) {});
        m_server = std::move(server);
    }
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this,
            &TestServer::onNewConnection);
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("test server cannot listen on loopback");
}

TestServer::~TestServer()
{
    closeAllConnections();
}

quint16 TestServer::port() const
{
    return m_server->serverPort();
}

QString TestServer::url(const QString &path) const
{
    return (m_tls == Tls::Off ? QStringLiteral("http://") : QStringLiteral("https://")) +
           QStringLiteral("127.0.0.1:") + QString::number(port()) + path;
}

void TestServer::setRoute(const QByteArray &path, const Response &response)
{
    m_routes[path] = [response](const RecordedRequest &) { return response; };
}

void TestServer::setHandler(const QByteArray &path,
                            std::function<Response(const RecordedRequest &)> handler)
{
    m_routes[path] = std::move(handler);
}

int TestServer::requestCount(const QByteArray &path) const
{
    int n = 0;
    for (const RecordedRequest &r : m_requests)
        n += r.target.split('?').first() == path ? 1 : 0;
    return n;
}

void TestServer::closeAllConnections()
{
    for (Connection *c : std::as_const(m_connections)) {
        if (c->socket)
            c->socket->abort();
    }
}

void TestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *c = new Connection;
        c->socket = socket;
        m_connections.append(c);
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, c, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::bytesWritten, c, [this, c] {
            if (c->response.chunkIntervalMs <= 0)
                sendMore(c);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, c, socket] {
            m_connections.removeOne(c);
            socket->deleteLater();
            delete c;
        });
    }
}

void TestServer::onReadyRead(Connection *c)
{
    c->in += c->socket->readAll();
    for (;;) {
        const qsizetype end = c->in.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        RecordedRequest req;
        const QList<QByteArray> lines = c->in.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        req.method = first.value(0);
        req.target = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                req.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
        }
        const qint64 length = req.headers.value("content-length").toLongLong();
        if (c->in.size() < end + 4 + length)
            return;
        req.body = c->in.mid(end + 4, length);
        c->in.remove(0, end + 4 + length);
        m_requests.append(req);
        answer(c, req);
    }
}

void TestServer::answer(Connection *c, const RecordedRequest &req)
{
    const QByteArray path = req.target.split('?').first();
    Response r;
    if (m_routes.contains(path)) {
        r = m_routes[path](req);
    } else {
        r.status = 404;
        r.body = "not found\n";
    }
    if (r.neverAnswer)
        return;
    if (r.hangUp)
        return c->socket->disconnectFromHost();
    r = applyRange(req, r, c->firstByte);

    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + " Test\r\n";
    if (!r.etag.isEmpty())
        head += "ETag: " + r.etag + "\r\n";
    if (!r.lastModified.isEmpty())
        head += "Last-Modified: " + r.lastModified + "\r\n";
    if (r.honourRanges && r.status == 200)
        head += "Accept-Ranges: bytes\r\n";
    for (const auto &[name, value] : std::as_const(r.headers))
        head += name + ": " + value + "\r\n";
    const bool keepAlive = r.sendLength;
    if (r.sendLength)
        head += "Content-Length: " +
                QByteArray::number(r.announcedLength >= 0 ? r.announcedLength : r.body.size()) +
                "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";

    c->request = req;
    c->response = r;
    c->pending = req.method == "HEAD" ? QByteArray() : r.body;
    c->sent = 0;
    const auto start = [this, c, head] {
        if (!c->socket)
            return;
        c->socket->write(head);
        sendMore(c);
    };
    if (r.headerDelayMs > 0)
        QTimer::singleShot(r.headerDelayMs, c, start);
    else
        start();
}

void TestServer::sendMore(Connection *c)
{
    if (!c->socket || c->socket->bytesToWrite() > 256 * 1024)
        return;
    const Response &r = c->response;
    if (c->pending.isEmpty()) {
        const bool closeAtEnd = !r.sendLength || (r.cutAfter >= 0 && c->sent >= r.cutAfter);
        if (closeAtEnd && c->socket->state() == QAbstractSocket::ConnectedState)
            c->socket->disconnectFromHost(); // sends what is buffered first
        return;
    }
    qint64 limit = c->pending.size();
    if (r.chunkBytes > 0)
        limit = std::min<qint64>(limit, r.chunkBytes);
    else
        limit = std::min<qint64>(limit, 64 * 1024);
    for (qint64 stop : {r.cutAfter, r.stallAfter}) {
        if (stop >= 0)
            limit = std::min(limit, stop - c->sent);
    }
    if (limit <= 0) {
        if (r.cutAfter >= 0 && c->sent >= r.cutAfter) {
            c->pending.clear();
            c->socket->flush();
            c->socket->disconnectFromHost();
        }
        return; // stalled: keep the connection open and send nothing more
    }
    c->socket->write(c->pending.left(limit));
    c->pending.remove(0, limit);
    if (bodySent)
        bodySent(c->request, r, c->firstByte + c->sent, limit);
    c->sent += limit;
    if (r.chunkIntervalMs > 0) {
        if (!c->pacer) {
            c->pacer = new QTimer(c);
            c->pacer->setSingleShot(true);
            connect(c->pacer, &QTimer::timeout, this, [this, c] { sendMore(c); });
        }
        c->pacer->start(r.chunkIntervalMs);
    } else if (c->socket->bytesToWrite() == 0) {
        QTimer::singleShot(0, c, [this, c] { sendMore(c); });
    }
}
