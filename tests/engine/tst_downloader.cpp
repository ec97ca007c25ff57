#include "engine/downloader.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_files.h"
#include "test_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(Response)

namespace {

// What a row changes of the download's options, and where it writes.
struct Bounds
{
    std::chrono::milliseconds totalLimit = 1h; // a silent peer is left by the idle time-out alone
    qint64 sizeLimit = Downloader::Options{}.sizeLimit;
    qint64 spaceMargin = 0;
    qint64 fileSystem = 0; // bytes of a file system of its own for the download; 0: the disk's
    qint64 filled = 0;     // of it, taken by another file first
};

// A tmpfs over a folder until the guard goes: a disk that really fills up. Null: not mounted.
struct Unmount
{
    void operator()(QByteArray *where) const
    {
        ::umount2(where->constData(), MNT_DETACH);
        delete where;
    }
};
std::unique_ptr<QByteArray, Unmount> mountSmallFileSystem(const QString &path, qint64 bytes)
{
    auto where = std::make_unique<QByteArray>(QFile::encodeName(path));
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
    if (::mount("tmpfs", where->constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()))
        return nullptr;
    return std::unique_ptr<QByteArray, Unmount>(where.release());
}

// A name server on loopback that never answers, in place of the system's until the guard goes;
// only in a namespace of the test's own, where loopback is all there is.
std::unique_ptr<QByteArray, Unmount> mountSilentNameServer(const QString &conf)
{
    auto where = std::make_unique<QByteArray>("/etc/resolv.conf");
    if (QNetworkInterface::allInterfaces().size() != 1 ||
        !writeFile(conf, "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n") ||
        ::mount(QFile::encodeName(conf).constData(), where->constData(), nullptr, MS_BIND, nullptr))
        return nullptr;
    return std::unique_ptr<QByteArray, Unmount>(where.release());
}

// The file that the server of most tests serves, and where the tests cut it.
const QByteArray kImage = [] {
    QByteArray b(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(b.data()), b.size() / 4);
    return b;
}();
constexpr qint64 kCut = 300 * 1024;

// A 206 carrying kImage[from, to) under the given Content-Range.
Response part(qint64 from, qint64 to, const QByteArray &range)
{
    return {.status = 206,
            .body = kImage.mid(from, to - from),
            .headers = {{"Content-Range", "bytes " + range}},
            .etag = "\"v1\""};
}

} // namespace

Q_DECLARE_METATYPE(Bounds)

class TestDownloader : public QObject
{
    Q_OBJECT

    QStringList log() const { return LogReader::messagesSince(m_mark); }
    QString url() const { return m_server.url(u"/image.dmg"_s); }
    QString partial() const { return Downloader::partialPath(m_dest); }

    // Downloads to m_dest and, unless told not to, waits for the end. The download before, if
    // a failed test left it running, no longer reports.
    void download(const QString &url, std::optional<QByteArray> resume = {},
                  Downloader::Options options = {}, bool wait = true)
    {
        if (m_dl) {
            m_dl->onProgress = {};
            m_dl->onComplete = {};
            m_dl->cancel();
        }
        m_progress.clear();
        m_ends.clear();
        m_dl = std::make_shared<Downloader>(url, m_dest, std::move(resume));
        options.caFile = TestCa::instance().caFile;
        m_dl->options = options;
        m_dl->onProgress = [this](qint64 done, qint64 total) { m_progress.append({done, total}); };
        m_dl->onComplete = [this](bool ok, const QString &e) { m_ends.append(ok ? u"ok"_s : e); };
        m_dl->start();
        if (wait && !QTest::qWaitFor([this] { return !m_ends.isEmpty(); }, 30000))
            QTest::qFail("the download did not end", __FILE__, __LINE__);
    }

    QTemporaryDir m_state; // for a log of this run alone, far below the file size limit
    std::optional<QTemporaryDir> m_dir;
    QString m_dest;
    qsizetype m_mark = 0;
    TestServer m_server;
    TestServer m_untrusted{TestServer::Tls::Untrusted};
    TestServer m_plain{TestServer::Tls::Off}; // where no request may go
    // What the download of the test reported, as the caller sees it on the main thread.
    std::shared_ptr<Downloader> m_dl;
    QList<QPair<qint64, qint64>> m_progress;
    QStringList m_ends; // "ok" or the error, once per completion

private slots:
    void initTestCase() { qputenv("XDG_STATE_HOME", m_state.path().toUtf8()); }
    void init()
    {
        m_dir.emplace(); // of its own, so that what a failed test leaves behind stays there
        m_dest = m_dir->filePath(u"image.dmg"_s);
        m_mark = LogReader::mark();
        std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails instead
    }

    // A first attempt is cut at kCut; the row spoils what it left, or changes what the server
    // does. The second attempt replaces the old file with the whole new one, as any would.
    void secondAttemptCompletes_data()
    {
        // With a usable state the second attempt asks for the rest.
        QTest::addColumn<bool>("rangeSent");
        for (const char *tag :
             {"continued", "ranges ignored", "no length", "file changed", "file shrank"})
            QTest::newRow(tag) << true;
        for (const char *tag : {"garbage", "partial gone", "symlink", "hard link", "other owner"})
            QTest::newRow(tag) << false;
    }

    void secondAttemptCompletes()
    {
        QFETCH(bool, rangeSent);
        const QByteArray kind = QTest::currentDataTag();
        // Shorter than what the first attempt wrote: no old byte may stay at its end.
        const QByteArray body = kind == "file changed"  ? kImage.mid(600 * 1024, 200 * 1024)
                                : kind == "file shrank" ? kImage.left(200 * 1024)
                                                        : kImage;
        m_server.setHandler("/image.dmg", [=, n = 0](const RecordedRequest &) mutable {
            const bool first = n++ == 0;
            return Response{.body = first ? kImage : body,
                            .sendLength = first || kind != "no length",
                            .cutAfter = first ? kCut : -1,
                            .honourRanges = kind != "ranges ignored" && kind != "no length",
                            .etag = !first && kind == "file changed" ? "\"v2\"" : "\"v1\"",
                            .chunkBytes = 8 * 1024,
                            .chunkIntervalMs = first ? 0 : 5};
        });
        m_server.setRoute("/latest", {.status = 302, .headers = {{"Location", url().toUtf8()}}});
        const QString latest = m_server.url(u"/latest"_s);
        download(latest);
        const QByteArray state = kind == "garbage" ? QByteArray("not a resume state")
                                                   : m_dl->resumeData.value_or(QByteArray());
        const QString elsewhere = m_dir->filePath(u"elsewhere"_s);
        QVERIFY(kind == "partial gone" ? QFile::remove(partial())
                : kind == "symlink"
                    ? QFile::rename(partial(), elsewhere) && QFile::link(elsewhere, partial())
                    : kind != "hard link" ||
                          ::link(QFile::encodeName(partial()), QFile::encodeName(elsewhere)) == 0);
        if (kind == "other owner" && ::chown(QFile::encodeName(partial()), 65534, 65534) != 0)
            QSKIP("no other user to give the file to (not root, or in a user namespace)");
        QVERIFY(writeFile(m_dest, "old"));
        const qsizetype requestsBefore = m_server.requests().size();
        download(latest, state);
        // Nothing goes through another name, and no other user may swap or read the image.
        const RecordedRequest resumed = m_server.requests().at(requestsBefore);
        QCOMPARE(
            std::tuple(m_ends, readFile(m_dest) == body, QFile::permissions(m_dest),
                       readFile(elsewhere) == (kind.endsWith("link") ? kImage.left(kCut) : ""),
                       resumed.headers.value("range"), resumed.headers.value("if-range"),
                       resumed.headers.value("user-agent")),
            std::tuple(QStringList{u"ok"_s}, true,
                       QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser,
                       true, QByteArray(rangeSent ? "bytes=307200-" : ""),
                       QByteArray(rangeSent ? "\"v1\"" : ""),
                       QByteArray("QuorvelOnlineInstaller/1.0")));
        // The bar continues from where the first attempt stopped, or starts again, and rises.
        const qint64 size = kind == "no length" ? -1 : body.size();
        QVERIFY(m_progress.size() >= 2);
        QCOMPARE(m_progress.first().first > kCut, kind == "continued");
        for (qsizetype i = 0; i < m_progress.size(); ++i)
            QVERIFY((size < 0 ? m_progress[i].second < 1 : m_progress[i].second == size) &&
                    (i == 0 || m_progress[i].first > m_progress[i - 1].first));
        QVERIFY(size < 0 || m_progress.last().first == size);
    }

    void failedAttemptHandsOnWhatItHad_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<qint64>("offset"); // good bytes in the partial file before the attempt
        QTest::addColumn<Response>("response");
        QTest::addColumn<qint64>("resumeAt"); // -1: neither resume state nor partial file
        QTest::addColumn<QString>("error");
        QTest::addColumn<Bounds>("bounds");
        const auto row = [this](const char *tag, qint64 offset, const Response &r, qint64 at,
                                const QString &error, const QString &target = {},
                                const Bounds &bounds = {}) {
            QTest::newRow(tag) << (target.isEmpty() ? url() : target) << offset << r << at << error
                               << bounds;
        };
        const QString lost = u"The network connection was lost."_s;
        const QString timedOut = u"The request timed out."_s;
        const QString tooLarge = u"The server's response was too large."_s;
        const QString notWritten = u"The downloaded file could not be written: "_s;
        const QString noSpace = u"There is not enough disk space for the download."_s;
        const QString nowhere = u"https://no-such-host.invalid/image.dmg"_s;
        row("untrusted certificate", 0, {}, -1,
            u"An SSL error has occurred and a secure connection to the server cannot be made."_s,
            m_untrusted.url(u"/image.dmg"_s));
        row("refused", kCut, {}, kCut, u"Could not connect to the server."_s,
            u"https://127.0.0.1:1"_s);
        // Without a network the download waits for one, within its time limit, and says so once.
        row("no network", 0, {}, -1, timedOut, nowhere, {.totalLimit = 3s});
        row("closed before any answer", kCut, {.hangUp = true}, kCut, lost);
        row("time-out before the body", kCut, {.neverAnswer = true}, kCut, timedOut);
        row("time-out in the handshake", kCut, {}, kCut, timedOut,
            u"https://127.0.0.1:%1/image.dmg"_s.arg(m_plain.port()));
        row("https to http redirect", 0,
            {.status = 301, .headers = {{"Location", m_plain.url(u"/image.dmg"_s).toUtf8()}}}, -1,
            u"The server redirected the download to an insecure address."_s);
        row("server error", kCut, {.status = 503}, kCut, u"Server returned HTTP 503"_s);
        // Past what is read of an error page.
        row("endless error page", 0, {.status = 404, .body = kImage, .stallAfter = 256 * 1024}, -1,
            u"Server returned HTTP 404"_s);
        // Without a validator no resume can prove the file unchanged. A length past 32 bits.
        row("no validator", 0, {.body = kImage, .announcedLength = 3LL << 30, .cutAfter = 1000}, -1,
            lost);
        row("stall", 0, {.body = kImage, .stallAfter = 1000, .lastModified = "Tue"}, 1000,
            timedOut);
        // Never idle, never done: only the time limit ends it.
        row("trickle", 0, {.body = kImage, .chunkBytes = 1, .chunkIntervalMs = 100}, -1, timedOut,
            {}, {.totalLimit = 3s});
        row("short 206", kCut, part(kCut, 600 * 1024, "307200-614399/1048576"), 600 * 1024, lost);
        row("206 too long", kCut, part(kCut, 500 * 1024, "307200-409599/1048576"), kCut, lost);
        row("206 past total", kCut, part(kCut, 400 * 1024, "307200-409599/204800"), kCut, lost);
        // The whole file again, and the second answer is no better.
        row("206 too early", kCut, part(204800, 1048576, "204800-1048575/1048576"), -1, lost);
        row("206 unasked", 0, part(500, 1048576, "500-1048575/1048576"), -1, lost);
        row("giant header", 0, {.body = "x", .headers = {{"X-Giant", QByteArray(200 * 1024, 'g')}}},
            -1, tooLarge);
        const QList<QPair<QByteArray, QByteArray>> flood(8000, {"X-Filler", QByteArray(40, 'f')});
        row("header flood", 0, {.body = "x", .headers = flood}, -1, tooLarge);
        // A cancel takes the partial file along, and waits out neither a pause nor the time limit.
        row("cancel mid-transfer", kCut,
            {.body = kImage.repeated(8), .chunkBytes = 64 * 1024, .chunkIntervalMs = 50}, -1,
            u"Download cancelled."_s);
        row("cancel without network", 0, {}, -1, u"Download cancelled."_s, nowhere);
        row("cancel in a name lookup", 0, {}, -1, u"Download cancelled."_s,
            u"https://slow-lookup.test/image.dmg"_s);
        row("no folder", 0, {}, -1, notWritten + u"No such file or directory."_s);
        // What was written before the disk refused more is kept to resume from.
        const Response image{.body = kImage, .etag = "\"v1\""};
        row("disk refuses writes", 0, image, 512 * 1024, notWritten + u"File too large."_s);
        row("move fails", 0, image, -1, u"Downloaded file could not be saved."_s);
        // Past the size limit or the margin of free space, announced or as it arrives, nothing
        // is kept: resuming would need the same room again.
        const Response endless{.body = kImage,
                               .chunked = true,
                               .endless = true,
                               .etag = "\"v1\"",
                               .chunkBytes = 64 * 1024,
                               .chunkIntervalMs = 2};
        row("endless chunked body past the limit", 0, endless, -1, noSpace, {},
            {.totalLimit = 20s, .sizeLimit = 512 * 1024});
        row("announced length past the limit", 0,
            {.body = kImage, .announcedLength = 17LL << 30, .etag = "\"v1\""}, -1, noSpace);
        // A margin of 1 MiB fits in the 1.5 MiB free, but not beside the rest of the file.
        row("margin past the free space", kCut, image, -1, noSpace, {},
            {.spaceMargin = 1 << 20, .fileSystem = 16 << 20, .filled = 29 << 19});
        row("file system filling up", 0, endless, -1, noSpace, {},
            {.totalLimit = 20s, .spaceMargin = 10 << 20, .fileSystem = 16 << 20});
        // A small disk need not keep the whole margin free: a tenth of itself will do.
        row("small disk, the whole margin asked", 0,
            {.body = kImage, .cutAfter = 600 * 1024, .etag = "\"v1\""}, 600 * 1024, lost, {},
            {.spaceMargin = Downloader::Options{}.spaceMargin, .fileSystem = 16 << 20});
    }

    void failedAttemptHandsOnWhatItHad()
    {
        QFETCH(QString, target);
        QFETCH(qint64, offset);
        QFETCH(Response, response);
        QFETCH(qint64, resumeAt);
        QFETCH(QString, error);
        QFETCH(Bounds, bounds);
        const QByteArray tag = QTest::currentDataTag();
        const auto disk = bounds.fileSystem > 0
                              ? mountSmallFileSystem(m_dir->path(), bounds.fileSystem)
                              : nullptr;
        if (bounds.fileSystem > 0 && !disk)
            QSKIP("cannot mount a tmpfs here (not root, or no mount namespace of its own)");
        QUdpSocket nameServer;
        const bool lookup = target.contains(u"slow-lookup"_s);
        const auto resolver =
            lookup ? mountSilentNameServer(m_dir->filePath(u"resolv.conf"_s)) : nullptr;
        if (lookup && !(resolver && nameServer.bind(QHostAddress::LocalHost, 53)))
            QSKIP("cannot stand in for the name server here (no mount namespace of its own)");
        QVERIFY(writeFile(m_dir->filePath(u"filler"_s), QByteArray(bounds.filled, 'f')));
        m_server.setRoute("/image.dmg", response);
        std::optional<QByteArray> state;
        if (offset > 0) {
            QVERIFY(writeFile(partial(), kImage.left(offset)));
            state = ResumeState{target, partial(), offset, kImage.size(), "\"v1\""}.encode();
        }
        QVERIFY(writeFile(m_dest, "old"));
        // "move fails": a non-empty folder where the file goes.
        QVERIFY(tag == "move fails" ? QFile::remove(m_dest) && QDir().mkpath(m_dest + u"/inside"_s)
                                    : tag != "no folder" || m_dir->remove());
        // A file size limit makes the disk refuse writes part-way, as a full disk would.
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit limit{tag == "disk refuses writes" ? 512 * 1024 : old.rlim_cur, old.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const bool cancel = tag.startsWith("cancel");
        QElapsedTimer clock;
        clock.start();
        download(target, state,
                 {.idleTimeout = 1s,
                  .totalLimit = bounds.totalLimit,
                  .connectivityRetry = cancel ? 1h : 200ms,
                  .caFile = {},
                  .sizeLimit = bounds.sizeLimit,
                  .spaceMargin = bounds.spaceMargin,
                  .diskImage = false,
                  .publicKey = {}},
                 !cancel);
        // A silent peer is left after about the idle time-out, not a thousand of them.
        QVERIFY(error != u"The request timed out."_s || bounds.totalLimit < 1min ||
                clock.elapsed() < 10000);
        const QString waiting = u"DL: waiting for connectivity..."_s;
        if (cancel) { // once under way, with no old and new copy side by side
            QTRY_VERIFY(!m_progress.isEmpty() || log().contains(waiting) ||
                        nameServer.hasPendingDatagrams());
            QVERIFY(!QFile::exists(m_dest));
            m_dl->cancel();
            QTRY_VERIFY_WITH_TIMEOUT(!m_ends.isEmpty(), 30000);
        }
        setrlimit(RLIMIT_FSIZE, &old);
        const QByteArray out = m_dl->resumeData.value_or(QByteArray());
        const std::optional<ResumeState> s = ResumeState::decode(out);
        const bool httpFailure = response.status >= 400;
        const bool moveFails = tag == "move fails";
        QCOMPARE(std::tuple(m_ends, m_dl->errorCode == 0, s ? s->offset : -1,
                            QFile::exists(partial()), QFileInfo(m_dest).isFile(),
                            m_plain.requests().size(), log().count(waiting)),
                 std::tuple(QStringList{error}, httpFailure || cancel || moveFails, resumeAt,
                            resumeAt > 0, false, 0, target.contains(u".invalid"_s) ? 1 : 0));
        QVERIFY(resumeAt < 0 || readFile(partial()) == kImage.left(resumeAt));
        // An attempt that brought nothing hands on the state it started from.
        QVERIFY(resumeAt != offset || out == state);
        // An error page is not the file, and not progress.
        QVERIFY(!httpFailure || (m_dl->httpStatus == response.status && m_progress.isEmpty()));
        QVERIFY(response.announcedLength < 0 || error.startsWith(u"There is not enough"_s) ||
                m_progress.last().second == response.announcedLength);
    }
};

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
