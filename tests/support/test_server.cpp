#include "test_server.h"

#include "test_ca.h"

#include <QFile>
#include <QSslKey>
#include <QSslServer>
#include <QTimer>

#include <stdexcept>

// A child of its socket, so that it and its timers die with the connection.
struct TestServer::Connection : QObject
{
    explicit Connection(QTcpSocket *s) : QObject(s), socket(s) {}
    QTcpSocket *socket;
    QByteArray in;
    QByteArray pending; // body bytes still to send
    qint64 sent = 0;
    qint64 firstByte = 0; // of the body, in the whole file
    RecordedRequest request;
    Response response;
};

TestServer::TestServer(Tls tls) : m_tls(tls)
{
    if (tls == Tls::Off) {
        m_server = new QTcpServer(this);
    } else {
        const TestCa &ca = TestCa::instance();
        QFile key(ca.keyFile);
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        const QString cert = tls == Tls::Trusted ? ca.certFile : ca.untrustedCertFile;
        conf.setLocalCertificateChain(QSslCertificate::fromPath(cert));
        conf.setPrivateKey(QSslKey(key.open(QIODevice::ReadOnly) ? key.readAll() : "", QSsl::Ec));
        auto *server = new QSslServer(this);
        server->setSslConfiguration(conf);
        m_server = server;
    }
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            auto *c = new Connection(socket);
            connect(socket, &QTcpSocket::readyRead, c, [this, c] { onReadyRead(c); });
            connect(socket, &QTcpSocket::bytesWritten, c, [this, c] {
                if (c->response.chunkIntervalMs <= 0)
                    sendMore(c);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("test server cannot listen on loopback");
}

int TestServer::requestCount(const QByteArray &path) const
{
    return std::count_if(m_requests.begin(), m_requests.end(), [&](const RecordedRequest &r) {
        return r.target.split('?').first() == path;
    });
}

void TestServer::onReadyRead(Connection *c)
{
    c->in += c->socket->readAll();
    for (qsizetype end; (end = c->in.indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = c->in.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        RecordedRequest req{first.value(0), first.value(1), {}};
        for (const QByteArray &line : lines.mid(1)) {
            if (const qsizetype colon = line.indexOf(':'); colon > 0)
                req.headers.insert(line.left(colon).trimmed().toLower(),
                                   line.mid(colon + 1).trimmed());
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
    const auto route = m_routes.constFind(req.target.split('?').first());
    Response r =
        route != m_routes.cend() ? (*route)(req) : Response{.status = 404, .body = "not found\n"};
    if (r.neverAnswer)
        return;
    if (r.hangUp)
        return c->socket->disconnectFromHost();
    // "Range: bytes=N-" gets the rest of the file, unless "If-Range" names another version.
    const QByteArray range = req.headers.value("range");
    const QByteArray ifRange = req.headers.value("if-range");
    bool ok = false;
    const qint64 from = range.startsWith("bytes=") ? range.mid(6).split('-')[0].toLongLong(&ok) : 0;
    c->firstByte = 0;
    if (ok && r.honourRanges && r.status == 200 &&
        (ifRange.isEmpty() || ifRange == r.etag || ifRange == r.lastModified)) {
        r.status = from < r.body.size() ? 206 : 416;
        if (r.status == 206)
            r.headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                                   QByteArray::number(r.body.size() - 1) + '/' +
                                                   QByteArray::number(r.body.size())});
        r.body = r.body.mid(from);
        r.announcedLength = -1;
        c->firstByte = from;
    }
    const qint64 length = r.announcedLength >= 0 ? r.announcedLength : r.body.size();
    r.headers += {{"ETag", r.etag},
                  {"Last-Modified", r.lastModified},
                  {"Accept-Ranges", r.honourRanges && r.status == 200 ? "bytes" : ""},
                  {"Content-Length", r.sendLength && !r.chunked ? QByteArray::number(length) : ""},
                  {"Transfer-Encoding", r.chunked ? "chunked" : ""},
                  {"Connection", r.sendLength || r.chunked ? "keep-alive" : "close"}};
    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + " Test\r\n";
    for (const auto &[name, value] : std::as_const(r.headers)) {
        if (!value.isEmpty())
            head += name + ": " + value + "\r\n";
    }
    c->request = req;
    c->response = r;
    c->pending = r.body;
    for (qint64 stop : {r.cutAfter, r.stallAfter}) {
        if (stop >= 0)
            c->pending.truncate(stop);
    }
    c->sent = 0;
    c->socket->write(head + "\r\n");
    sendMore(c);
}

void TestServer::sendMore(Connection *c)
{
    const Response &r = c->response;
    if (c->socket->bytesToWrite() > 256 * 1024)
        return;
    if (c->pending.isEmpty() && r.endless)
        c->pending = r.body;
    if (c->pending.isEmpty()) { // all sent, cut or stalled; a stalled connection stays open
        const bool cut = r.cutAfter >= 0 && c->sent >= r.cutAfter;
        if ((cut || (!r.sendLength && c->sent >= r.body.size())) &&
            c->socket->state() == QAbstractSocket::ConnectedState)
            c->socket->disconnectFromHost(); // sends what is buffered first
        return;
    }
    const qint64 count =
        std::min<qint64>(c->pending.size(), r.chunkBytes > 0 ? r.chunkBytes : 64 * 1024);
    const QByteArray piece = c->pending.left(count);
    c->pending.remove(0, count);
    const bool last = !r.endless && c->sent + count == r.body.size();
    c->socket->write(!r.chunked ? piece
                                : QByteArray::number(count, 16) + "\r\n" + piece + "\r\n" +
                                      (last ? "0\r\n\r\n" : ""));
    if (bodySent)
        bodySent(c->request, r, c->firstByte + c->sent, count);
    c->sent += count;
    if (r.chunkIntervalMs > 0 || c->socket->bytesToWrite() == 0)
        QTimer::singleShot(std::max(r.chunkIntervalMs, 0), c, [this, c] { sendMore(c); });
}
