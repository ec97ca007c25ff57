#include "engine/downloader.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(b.data()), size / 4);
    return b;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Response file(const QByteArray &body, const QByteArray &etag = {})
{
    Response r;
    r.body = body;
    r.etag = etag;
    return r;
}

// What one download reported, as the caller sees it on the main thread.
struct Run
{
    std::shared_ptr<Downloader> dl;
    QList<QPair<qint64, qint64>> progress;
    bool done = false;
    bool ok = false;
    QString error;
    int progressAfterDone = 0;
};

std::shared_ptr<Run> startDownload(const QString &url, const QString &dest,
                                   std::optional<QByteArray> resume = std::nullopt,
                                   Downloader::Options options = {})
{
    auto run = std::make_shared<Run>();
    run->dl = std::make_shared<Downloader>(url, dest, std::move(resume));
    options.caFile = TestCa::instance().caFile;
    run->dl->options = options;
    Run *r = run.get();
    run->dl->onProgress = [r](qint64 written, qint64 expected) {
        r->progress.append({written, expected});
        r->progressAfterDone += r->done ? 1 : 0;
    };
    run->dl->onComplete = [r](bool ok, const QString &error) {
        QVERIFY(!r->done);
        r->done = true;
        r->ok = ok;
        r->error = error;
    };
    run->dl->start();
    return run;
}

#define WAIT_DONE(run) QTRY_VERIFY_WITH_TIMEOUT((run)->done, 30000)

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

    QStringList log() const { return LogReader::messagesSince(m_mark); }
    QString url() const { return m_server.url(QStringLiteral("/image.dmg")); }

    QTemporaryDir m_dir;
    QString m_dest;
    qsizetype m_mark = 0;
    TestServer m_server;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_dest = m_dir.filePath(QStringLiteral("image.dmg"));
        m_mark = LogReader::mark();
    }

    void successReplacesOldFileAndReportsProgress()
    {
        const QByteArray body = randomBytes(3 * 1024 * 1024, 1);
        Response r = file(body, "\"v1\"");
        r.chunkBytes = 256 * 1024;
        r.chunkIntervalMs = 30;
        m_server.setRoute("/image.dmg", r);
        Response redirect;
        redirect.status = 302;
        redirect.headers.append({"Location", url().toUtf8()});
        m_server.setRoute("/latest", redirect);
        for (const QString &leftover : {m_dest, Downloader::partialPath(m_dest)}) {
            QFile f(leftover);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("left by an earlier run") > 0);
        }

        const QString latest = m_server.url(QStringLiteral("/latest"));
        auto run = startDownload(latest, m_dest);
        WAIT_DONE(run);
        QVERIFY(run->ok);
        QCOMPARE(run->error, QString());
        QVERIFY(readAll(m_dest) == body);
        QVERIFY(!QFile::exists(Downloader::partialPath(m_dest)));
        QCOMPARE(run->dl->httpStatus, 200);
        QCOMPARE(run->dl->errorCode, 0);
        QVERIFY(run->progress.size() >= 2);
        QCOMPARE(run->progress.last(), qMakePair(qint64(body.size()), qint64(body.size())));
        for (qsizetype i = 1; i < run->progress.size(); ++i)
            QVERIFY(run->progress[i].first > run->progress[i - 1].first);
        QCOMPARE(m_server.requests().last().headers.value("user-agent"),
                 QByteArray("QuorvelOnlineInstaller/1.0"));
        QCOMPARE(log(), (QStringList{QStringLiteral("DL: GET %1 -> %2").arg(latest, m_dest),
                                     QStringLiteral("DL: content length %1 bytes").arg(body.size()),
                                     QStringLiteral("DL: HTTP 200, moving to %1").arg(m_dest),
                                     QStringLiteral("DL: download complete")}));
    }

    void httpErrorWithBody()
    {
        Response r = file(QByteArray(5000, 'x'));
        r.status = 404;
        m_server.setRoute("/image.dmg", r);
        QFile old(m_dest);
        QVERIFY(old.open(QIODevice::WriteOnly));

        auto run = startDownload(url(), m_dest);
        WAIT_DONE(run);
        QVERIFY(!run->ok);
        QCOMPARE(run->error, QStringLiteral("Server returned HTTP 404"));
        QCOMPARE(run->dl->httpStatus, 404);
        QCOMPARE(run->dl->errorCode, 0);
        QVERIFY(!run->dl->resumeData);
        QVERIFY(!QFile::exists(m_dest));
        QVERIFY(run->progress.isEmpty());
        QCOMPARE(log().mid(1),
                 (QStringList{QStringLiteral("DL: HTTP 404, moving to %1").arg(m_dest),
                              QStringLiteral("DL: HTTP 404, treated as failure")}));
    }

    void cancelMidTransfer()
    {
        Response r = file(randomBytes(8 * 1024 * 1024, 2), "\"v1\"");
        r.chunkBytes = 64 * 1024;
        r.chunkIntervalMs = 50;
        m_server.setRoute("/image.dmg", r);

        auto run = startDownload(url(), m_dest);
        QTRY_VERIFY(run->progress.size() >= 2);
        run->dl->cancel();
        WAIT_DONE(run);
        QCOMPARE(run->error, QStringLiteral("Download cancelled."));
        QCOMPARE(run->dl->errorCode, 0);
        QVERIFY(!run->dl->resumeData);
        QVERIFY(!QFile::exists(m_dest));
        QVERIFY(!QFile::exists(Downloader::partialPath(m_dest)));
        QTest::qWait(300);
        QCOMPARE(run->progressAfterDone, 0);
        QCOMPARE(log().last(), QStringLiteral("DL: cancelled by user, partial file deleted"));
    }

    void cutConnectionThenResume()
    {
        const QByteArray body = randomBytes(1024 * 1024, 3);
        const qint64 cut = 300 * 1024;
        m_server.setHandler("/image.dmg", [&](const RecordedRequest &req) {
            Response r = file(body, "\"v1\"");
            r.cutAfter = req.headers.contains("range") ? -1 : cut;
            return r;
        });

        auto first = startDownload(url(), m_dest);
        WAIT_DONE(first);
        QVERIFY(!first->ok);
        QVERIFY(first->dl->errorCode != 0);
        QVERIFY(first->dl->resumeData.has_value());
        QVERIFY(!QFile::exists(m_dest));

        const QByteArray state = *first->dl->resumeData;
        m_mark = LogReader::mark();
        auto second = startDownload(url(), m_dest, state);
        WAIT_DONE(second);
        QVERIFY(second->ok);
        QVERIFY(readAll(m_dest) == body);
        const RecordedRequest resumed = m_server.requests().last();
        QCOMPARE(resumed.headers.value("range"), "bytes=" + QByteArray::number(cut) + '-');
        QCOMPARE(resumed.headers.value("if-range"), QByteArray("\"v1\""));
        // The bar continues from where the first attempt stopped.
        QVERIFY(second->progress.first().first > cut);
        QCOMPARE(second->progress.first().second, qint64(body.size()));
        QCOMPARE(log().mid(0, 2),
                 (QStringList{
                     QStringLiteral("DL: RESUME %1 -> %2 (%3 bytes of state)")
                         .arg(url(), m_dest)
                         .arg(state.size()),
                     QStringLiteral("DL: resumed at offset %1 / %2").arg(cut).arg(body.size())}));
    }

    void resumeAgainstChangedOrRangelessServer_data()
    {
        QTest::addColumn<bool>("changed");
        QTest::newRow("server ignores ranges") << false;
        QTest::newRow("file changed on the server") << true;
    }

    void resumeAgainstChangedOrRangelessServer()
    {
        QFETCH(bool, changed);
        const QByteArray v1 = randomBytes(512 * 1024, 4);
        const QByteArray v2 = randomBytes(600 * 1024, 5);
        bool firstDone = false;
        m_server.setHandler("/image.dmg", [&](const RecordedRequest &) {
            Response r = firstDone && changed ? file(v2, "\"v2\"") : file(v1, "\"v1\"");
            r.honourRanges = changed; // a changed file fails If-Range; otherwise ranges are ignored
            r.cutAfter = firstDone ? -1 : 100 * 1024;
            return r;
        });

        auto first = startDownload(url(), m_dest);
        WAIT_DONE(first);
        QVERIFY(first->dl->resumeData.has_value());
        firstDone = true;
        auto second = startDownload(url(), m_dest, first->dl->resumeData);
        WAIT_DONE(second);
        QVERIFY(second->ok);
        QVERIFY(readAll(m_dest) == (changed ? v2 : v1));
    }

    void unusableResumeStateStartsFromZero_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("unreadable state") << QStringLiteral("garbage");
        QTest::newRow("partial file gone") << QStringLiteral("missing");
        QTest::newRow("range not satisfiable") << QStringLiteral("416");
    }

    void unusableResumeStateStartsFromZero()
    {
        QFETCH(QString, kind);
        const QByteArray body = randomBytes(200 * 1024, 6);
        m_server.setRoute("/image.dmg", file(body, "\"v1\""));
        const QString partial = Downloader::partialPath(m_dest);

        QByteArray state = "not a resume state";
        if (kind != QLatin1String("garbage")) {
            const qint64 offset = kind == QLatin1String("416") ? body.size() + 10 : 1000;
            state = ResumeState{url(), partial, offset, body.size(), "\"v1\""}.encode();
            QFile f(partial);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(offset, 'z')) == offset);
            f.close();
            if (kind == QLatin1String("missing"))
                QVERIFY(QFile::remove(partial));
        }
        auto run = startDownload(url(), m_dest, state);
        WAIT_DONE(run);
        QVERIFY(run->ok);
        QVERIFY(readAll(m_dest) == body);
        QVERIFY(!m_server.requests().last().headers.contains("range"));
    }

    void shortBodyWithoutValidator()
    {
        Response r = file(randomBytes(100 * 1024, 7));
        r.announcedLength = 200 * 1024;
        r.cutAfter = r.body.size();
        m_server.setRoute("/image.dmg", r);

        auto run = startDownload(url(), m_dest);
        WAIT_DONE(run);
        QVERIFY(!run->ok);
        QCOMPARE(run->error, QStringLiteral("The network connection was lost."));
        // Without ETag or Last-Modified a resume could join two versions: start over next time.
        QVERIFY(!run->dl->resumeData);
        QVERIFY(!QFile::exists(Downloader::partialPath(m_dest)));
        QVERIFY(!QFile::exists(m_dest));
        QCOMPARE(log().last(), QStringLiteral("DL: error %1 The network connection was lost. "
                                              "(resume state: 0 bytes)")
                                   .arg(run->dl->errorCode));
        QVERIFY(run->dl->errorCode != 0);
    }

    void idleStallTimesOut()
    {
        Response r = file(randomBytes(64 * 1024, 8));
        r.lastModified = "Tue, 01 Dec 2026 10:00:00 GMT";
        r.stallAfter = 1000;
        m_server.setRoute("/image.dmg", r);
        Downloader::Options o;
        o.idleTimeout = std::chrono::seconds(1);

        auto run = startDownload(url(), m_dest, {}, o);
        WAIT_DONE(run);
        QCOMPARE(run->error, QStringLiteral("The request timed out."));
        QCOMPARE(run->dl->errorCode, 28);
        QVERIFY(run->dl->resumeData.has_value());
        QCOMPARE(ResumeState::decode(*run->dl->resumeData)->offset, 1000);
    }

    void throttlesProgressWithoutKnownSize()
    {
        Response r = file(randomBytes(1024 * 1024, 9));
        r.sendLength = false;
        r.chunkBytes = 8 * 1024;
        r.chunkIntervalMs = 5;
        m_server.setRoute("/image.dmg", r);

        QElapsedTimer clock;
        clock.start();
        auto run = startDownload(url(), m_dest);
        WAIT_DONE(run);
        QVERIFY(run->ok);
        QVERIFY(!run->progress.isEmpty());
        // 128 pieces arrive, but at most one report per 0.1 s gets through.
        QVERIFY(run->progress.size() <= clock.elapsed() / 100 + 2);
        for (const auto &p : std::as_const(run->progress))
            QVERIFY(p.second < 1);
        for (const QString &line : log())
            QVERIFY(!line.startsWith(QStringLiteral("DL: content length")));
    }

    void transportFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("untrusted certificate")
            << QStringLiteral("untrusted")
            << QStringLiteral("An SSL error has occurred and a secure connection to the server "
                              "cannot be made.");
        QTest::newRow("https to http redirect")
            << QStringLiteral("downgrade")
            << QStringLiteral("The server redirected the download to an insecure address.");
        QTest::newRow("malformed url") << QStringLiteral("https://[127.0.0.1/image.dmg")
                                       << QStringLiteral("The URL is not valid.");
        QTest::newRow("connection refused") << QStringLiteral("https://127.0.0.1:1/image.dmg")
                                            << QStringLiteral("Could not connect to the server.");
    }

    void transportFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        TestServer untrusted(TestServer::Tls::Untrusted);
        TestServer plain(TestServer::Tls::Off);
        untrusted.setRoute("/image.dmg", file("secret"));
        plain.setRoute("/image.dmg", file("secret"));
        Response redirect;
        redirect.status = 301;
        redirect.headers.append({"Location", plain.url(QStringLiteral("/image.dmg")).toUtf8()});
        m_server.setRoute("/image.dmg", redirect);

        QString target = kind.startsWith(QLatin1String("https:")) ? kind : url();
        if (kind == QLatin1String("untrusted"))
            target = untrusted.url(QStringLiteral("/image.dmg"));
        auto run = startDownload(target, m_dest);
        WAIT_DONE(run);
        QVERIFY(!run->ok);
        QCOMPARE(run->error, error);
        QVERIFY(run->dl->errorCode != 0);
        QVERIFY(!QFile::exists(m_dest));
        QCOMPARE(plain.requests().size(), 0);
        QVERIFY(!log().contains(QStringLiteral("DL: waiting for connectivity...")));
    }

    void unresolvableHostWaitsThenTimesOut()
    {
        Downloader::Options o;
        o.totalLimit = std::chrono::milliseconds(1500);
        o.connectivityRetry = std::chrono::milliseconds(200);
        auto run =
            startDownload(QStringLiteral("https://no-such-host.invalid/image.dmg"), m_dest, {}, o);
        WAIT_DONE(run);
        QCOMPARE(run->error, QStringLiteral("The request timed out."));
        QCOMPARE(run->dl->errorCode, 28);
        QCOMPARE(log().count(QStringLiteral("DL: waiting for connectivity...")), 1);
    }

    void cancelWhileWaitingForConnectivity()
    {
        auto run = startDownload(QStringLiteral("https://no-such-host.invalid/image.dmg"), m_dest);
        QTRY_VERIFY(log().contains(QStringLiteral("DL: waiting for connectivity...")));
        run->dl->cancel();
        // The default pause between tries is seconds long; cancel must not wait for it.
        QTRY_VERIFY_WITH_TIMEOUT(run->done, 1000);
        QCOMPARE(run->error, QStringLiteral("Download cancelled."));
    }

    void fileErrors_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("move into place fails")
            << QStringLiteral("move") << QStringLiteral("Downloaded file could not be saved.");
        QTest::newRow("folder does not exist")
            << QStringLiteral("folder")
            << QStringLiteral(
                   "The downloaded file could not be written: No such file or directory.");
        // A file size limit makes the disk refuse writes part-way, as a full disk would.
        QTest::newRow("write fails part-way")
            << QStringLiteral("write")
            << QStringLiteral("The downloaded file could not be written: File too large.");
    }

    void fileErrors()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        m_server.setRoute("/image.dmg", file(randomBytes(2 * 1024 * 1024, 10), "\"v1\""));
        const int requestsBefore = m_server.requestCount("/image.dmg");
        QString dest = m_dest;
        if (kind == QLatin1String("move")) // a non-empty folder where the file should go
            QVERIFY(QDir().mkpath(m_dest + QStringLiteral("/inside")));
        if (kind == QLatin1String("folder"))
            dest = m_dir.filePath(QStringLiteral("no/such/folder/image.dmg"));
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = 512 * 1024;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (kind == QLatin1String("write"))
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);

        auto run = startDownload(url(), dest);
        WAIT_DONE(run);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!run->ok);
        QCOMPARE(run->error, error);
        QCOMPARE(run->dl->errorCode != 0, kind != QLatin1String("move"));
        // What was written before the disk refused more is kept to resume from.
        QCOMPARE(QFile::exists(Downloader::partialPath(dest)), run->dl->resumeData.has_value());
        QCOMPARE(run->dl->resumeData.has_value(), kind == QLatin1String("write"));
        if (kind == QLatin1String("move")) {
            QCOMPARE(run->dl->httpStatus, 200);
            QVERIFY(log().last().startsWith(QStringLiteral("DL: move FAILED: ")));
            QVERIFY(QDir(m_dest).removeRecursively());
        } else {
            QVERIFY(!QFile::exists(dest));
        }
        if (kind == QLatin1String("folder"))
            QCOMPARE(m_server.requestCount("/image.dmg"), requestsBefore);
    }
};

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
