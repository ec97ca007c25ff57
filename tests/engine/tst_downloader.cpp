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
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(Response)

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(b.data()), size / 4);
    return b;
}

// The file that the server of most tests serves.
const QByteArray &image()
{
    static const QByteArray bytes = randomBytes(1024 * 1024, 42);
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

Response file(const QByteArray &body, const QByteArray &etag = {})
{
    Response r;
    r.body = body;
    r.etag = etag;
    return r;
}

// A 206 carrying image()[from, to) under the given Content-Range.
Response part(qint64 from, qint64 to, const QByteArray &range)
{
    Response r = file(image().mid(from, to - from), "\"v1\"");
    r.status = 206;
    r.headers.append({"Content-Range", "bytes " + range});
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

    // A test that stops early must not leave its download running into the next one.
    ~Run()
    {
        dl->onProgress = {};
        dl->onComplete = {};
        dl->cancel();
    }
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

    // Leaves `bytes` as the partial file of m_dest and returns the state that continues it.
    QByteArray leavePartial(const QString &from, const QByteArray &bytes) const
    {
        writeFile(Downloader::partialPath(m_dest), bytes);
        return ResumeState{from, Downloader::partialPath(m_dest), bytes.size(), image().size(),
                           "\"v1\""}
            .encode();
    }

    std::optional<QTemporaryDir> m_dir;
    QString m_dest;
    qsizetype m_mark = 0;
    TestServer m_server;
    TestServer m_untrusted{TestServer::Tls::Untrusted};
    TestServer m_plain{TestServer::Tls::Off}; // where no request may go

private slots:
    void init()
    {
        m_dir.emplace(); // of its own, so that what a failed test leaves behind stays there
        QVERIFY(m_dir->isValid());
        m_dest = m_dir->filePath(QStringLiteral("image.dmg"));
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
        for (const QString &leftover : {m_dest, Downloader::partialPath(m_dest)})
            writeFile(leftover, "left by an earlier run");

        const QString latest = m_server.url(QStringLiteral("/latest"));
        auto run = startDownload(latest, m_dest);
        WAIT_DONE(run);
        QVERIFY(run->ok);
        QCOMPARE(run->error, QString());
        QVERIFY(readAll(m_dest) == body);
        QVERIFY(!QFile::exists(Downloader::partialPath(m_dest)));
        QCOMPARE(run->dl->httpStatus, 200);
        QCOMPARE(run->dl->errorCode, 0);
        struct stat st
        {};
        QCOMPARE(::stat(QFile::encodeName(m_dest).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0600u); // another user may not swap or read the image
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

    void cancelMidTransfer()
    {
        Response r = file(randomBytes(8 * 1024 * 1024, 2), "\"v1\"");
        r.chunkBytes = 64 * 1024;
        r.chunkIntervalMs = 50;
        m_server.setRoute("/image.dmg", r);
        writeFile(m_dest, "old");

        auto run = startDownload(url(), m_dest);
        QTRY_VERIFY(run->progress.size() >= 2);
        QVERIFY(!QFile::exists(m_dest)); // no old and new copy side by side
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

    void cutThenResume_data()
    {
        QTest::addColumn<bool>("honoursRanges");
        QTest::addColumn<bool>("changed");
        QTest::newRow("server continues") << true << false;
        QTest::newRow("server ignores ranges") << false << false;
        QTest::newRow("file changed on the server") << true << true; // fails If-Range
    }

    void cutThenResume()
    {
        QFETCH(bool, honoursRanges);
        QFETCH(bool, changed);
        // Shorter than what the first attempt wrote: no old byte may stay at its end.
        const QByteArray v2 = randomBytes(200 * 1024, 5);
        const qint64 cut = 300 * 1024;
        m_server.setHandler("/image.dmg", [&](const RecordedRequest &req) {
            const bool again = req.headers.contains("range");
            Response r = again && changed ? file(v2, "\"v2\"") : file(image(), "\"v1\"");
            r.honourRanges = honoursRanges;
            r.cutAfter = again ? -1 : cut;
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
        const QByteArray &body = changed ? v2 : image();
        QVERIFY(readAll(m_dest) == body);
        const RecordedRequest resumed = m_server.requests().last();
        QCOMPARE(resumed.headers.value("range"), "bytes=" + QByteArray::number(cut) + '-');
        QCOMPARE(resumed.headers.value("if-range"), QByteArray("\"v1\""));
        // The bar continues from where the first attempt stopped, or starts again.
        const bool continues = honoursRanges && !changed;
        QCOMPARE(second->progress.first().first > cut, continues);
        QCOMPARE(second->progress.first().second, qint64(body.size()));
        QCOMPARE(log().mid(0, 2),
                 (QStringList{
                     QStringLiteral("DL: RESUME %1 -> %2 (%3 bytes of state)")
                         .arg(url(), m_dest)
                         .arg(state.size()),
                     continues
                         ? QStringLiteral("DL: resumed at offset %1 / %2").arg(cut).arg(body.size())
                         : QStringLiteral(
                               "DL: server sent the whole file (HTTP 200), starting from zero")}));
    }

    void unusableResumeStateStartsFromZero_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("unreadable state") << QStringLiteral("garbage");
        QTest::newRow("partial file gone") << QStringLiteral("missing");
        QTest::newRow("range not satisfiable") << QStringLiteral("416");
        QTest::newRow("partial file is a symbolic link") << QStringLiteral("symlink");
        QTest::newRow("partial file has a second name") << QStringLiteral("hardlink");
        QTest::newRow("partial file of another user") << QStringLiteral("owner");
    }

    void unusableResumeStateStartsFromZero()
    {
        QFETCH(QString, kind);
        const QByteArray body = image().left(200 * 1024);
        m_server.setRoute("/image.dmg", file(body, "\"v1\""));
        const QString partial = Downloader::partialPath(m_dest);
        const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
        const QByteArray old(kind == QLatin1String("416") ? body.size() + 10 : 1000, 'z');
        const QByteArray state =
            kind == QLatin1String("garbage") ? "not a resume state" : leavePartial(url(), old);
        if (kind == QLatin1String("missing"))
            QVERIFY(QFile::remove(partial));
        if (kind == QLatin1String("symlink"))
            QVERIFY(QFile::rename(partial, elsewhere) && QFile::link(elsewhere, partial));
        if (kind == QLatin1String("hardlink"))
            QCOMPARE(::link(QFile::encodeName(partial), QFile::encodeName(elsewhere)), 0);
        if (kind == QLatin1String("owner") &&
            ::chown(QFile::encodeName(partial), 65534, 65534) != 0)
            QSKIP("no other user to give the file to (not root, or in a user namespace)");

        auto run = startDownload(url(), m_dest, state);
        WAIT_DONE(run);
        QVERIFY(run->ok);
        QVERIFY(readAll(m_dest) == body);
        QVERIFY(!m_server.requests().last().headers.contains("range"));
        // Nothing is written through another name.
        const bool linked = kind.endsWith(QLatin1String("link"));
        QVERIFY(readAll(elsewhere) == (linked ? old : QByteArray()));
    }

    void failedAttemptHandsOnWhatItHad_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<qint64>("offset"); // good bytes in the partial file before the attempt
        QTest::addColumn<Response>("response");
        QTest::addColumn<qint64>("resumeAt"); // -1: neither resume state nor partial file
        QTest::addColumn<QString>("error");
        const auto row = [this](const char *name, qint64 offset, const Response &r, qint64 resumeAt,
                                const QString &error, QString target = {}) {
            QTest::newRow(name) << (target.isEmpty() ? url() : target) << offset << r << resumeAt
                                << error;
        };
        const QString lost = QStringLiteral("The network connection was lost.");
        const QString timedOut = QStringLiteral("The request timed out.");
        const QString tooLarge = QStringLiteral("The server's response was too large.");
        const qint64 k300 = 300 * 1024;
        Response r;
        row("untrusted certificate", 0, r, -1,
            QStringLiteral("An SSL error has occurred and a secure connection to the server "
                           "cannot be made."),
            m_untrusted.url(QStringLiteral("/image.dmg")));
        row("malformed url", 0, r, -1, QStringLiteral("The URL is not valid."),
            QStringLiteral("https://[127.0.0.1/image.dmg"));
        row("connection refused", k300, r, k300, QStringLiteral("Could not connect to the server."),
            QStringLiteral("https://127.0.0.1:1/image.dmg"));
        r.hangUp = true;
        row("closed before any answer", k300, r, k300, lost);
        r = Response();
        r.neverAnswer = true;
        row("time-out before the body", k300, r, k300, timedOut);
        r = Response();
        r.status = 301;
        r.headers.append({"Location", m_plain.url(QStringLiteral("/image.dmg")).toUtf8()});
        row("https to http redirect", 0, r, -1,
            QStringLiteral("The server redirected the download to an insecure address."));
        r = file("busy");
        r.status = 503;
        row("server error", k300, r, k300, QStringLiteral("Server returned HTTP 503"));
        r = file(QByteArray(5000, 'x'));
        r.status = 404;
        row("error page", 0, r, -1, QStringLiteral("Server returned HTTP 404"));
        r.body = image();
        r.stallAfter = 256 * 1024; // past what is read of an error page
        row("endless error page", 0, r, -1, QStringLiteral("Server returned HTTP 404"));
        r = file(image().left(100 * 1024));
        r.announcedLength = qint64(3) << 30; // past what 32 bits hold
        r.cutAfter = r.body.size();
        // Without ETag or Last-Modified a resume could join two versions: start over next time.
        row("cut without validator", 0, r, -1, lost);
        r = file(image().left(64 * 1024));
        r.lastModified = "Tue, 01 Dec 2026 10:00:00 GMT";
        r.stallAfter = 1000;
        row("stall after some bytes", 0, r, 1000, timedOut);
        r = file(image().left(64 * 1024));
        r.chunkBytes = 1;
        r.chunkIntervalMs = 100; // never idle, never done: only the time limit ends it
        row("trickle past the time limit", 0, r, -1, timedOut);
        row("short 206", k300, part(k300, 600 * 1024, "307200-614399/1048576"), 600 * 1024, lost);
        row("206 longer than its range", k300, part(k300, 500 * 1024, "307200-409599/1048576"),
            k300, lost);
        row("206 with a total below the offset", k300,
            part(k300, 400 * 1024, "307200-409599/204800"), k300, lost);
        row("206 from before the offset", k300,
            part(200 * 1024, 1024 * 1024, "204800-1048575/1048576"), -1,
            lost); // the whole file again, and the second answer is no better
        row("206 to a request without range", 0, part(500, 1024 * 1024, "500-1048575/1048576"), -1,
            lost);
        r = file("x");
        r.headers.append({"X-Giant", QByteArray(200 * 1024, 'g')});
        row("giant header", 0, r, -1, tooLarge);
        r.headers = QList<QPair<QByteArray, QByteArray>>(8000, {"X-Filler", QByteArray(40, 'f')});
        row("header flood", 0, r, -1, tooLarge);
    }

    void failedAttemptHandsOnWhatItHad()
    {
        QFETCH(QString, target);
        QFETCH(qint64, offset);
        QFETCH(Response, response);
        QFETCH(qint64, resumeAt);
        QFETCH(QString, error);
        m_server.setRoute("/image.dmg", response);
        const QString partial = Downloader::partialPath(m_dest);
        std::optional<QByteArray> state;
        if (offset > 0)
            state = leavePartial(target, image().left(offset));
        writeFile(m_dest, "old");
        Downloader::Options o;
        o.idleTimeout = std::chrono::seconds(1);
        o.totalLimit = std::chrono::seconds(3);

        auto run = startDownload(target, m_dest, state, o);
        WAIT_DONE(run);
        QVERIFY(!run->ok);
        QCOMPARE(run->error, error);
        const bool httpFailure = response.status >= 400;
        QCOMPARE(run->dl->errorCode == 0, httpFailure);
        // An error page is not the file, and not progress.
        QVERIFY(!httpFailure ||
                (run->dl->httpStatus == response.status && run->progress.isEmpty()));
        QVERIFY(!QFile::exists(m_dest));
        QVERIFY(response.announcedLength < 0 ||
                run->progress.last().second == response.announcedLength);
        const QByteArray out = run->dl->resumeData.value_or(QByteArray());
        const std::optional<ResumeState> s = ResumeState::decode(out);
        QCOMPARE(s ? s->offset : -1, resumeAt);
        QCOMPARE(QFile::exists(partial), resumeAt > 0);
        QVERIFY(resumeAt < 0 || readAll(partial) == image().left(resumeAt));
        // An attempt that brought nothing hands on the state it started from.
        QVERIFY(resumeAt != offset || out == state);
        QCOMPARE(m_plain.requests().size(), 0);
        const QStringList tail =
            httpFailure ? QStringList{QStringLiteral("DL: HTTP %1, moving to %2")
                                          .arg(response.status)
                                          .arg(m_dest),
                                      QStringLiteral("DL: HTTP %1, treated as failure")
                                          .arg(response.status)}
                        : QStringList{QStringLiteral("DL: error %1 %2 (resume state: %3 bytes)")
                                          .arg(run->dl->errorCode)
                                          .arg(error)
                                          .arg(out.size())};
        QCOMPARE(log().mid(log().size() - tail.size()), tail);
        QVERIFY(!log().contains(QStringLiteral("DL: waiting for connectivity...")));
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

    // Without a network the download waits for one, within its time limit; a cancel does not
    // wait for the pause between tries, which is seconds long by default.
    void waitsForConnectivity()
    {
        const QString nowhere = QStringLiteral("https://no-such-host.invalid/image.dmg");
        Downloader::Options o;
        o.totalLimit = std::chrono::milliseconds(1500);
        o.connectivityRetry = std::chrono::milliseconds(200);
        auto run = startDownload(nowhere, m_dest, {}, o);
        WAIT_DONE(run);
        QCOMPARE(run->error, QStringLiteral("The request timed out."));
        QCOMPARE(run->dl->errorCode, 28);
        QCOMPARE(log().count(QStringLiteral("DL: waiting for connectivity...")), 1);

        run = startDownload(nowhere, m_dest);
        QTRY_VERIFY(log().count(QStringLiteral("DL: waiting for connectivity...")) == 2);
        run->dl->cancel();
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
            dest = m_dir->filePath(QStringLiteral("no/such/folder/image.dmg"));
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
        } else {
            QVERIFY(!QFile::exists(dest));
        }
        if (kind == QLatin1String("folder"))
            QCOMPARE(m_server.requestCount("/image.dmg"), requestsBefore);
    }
};

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
