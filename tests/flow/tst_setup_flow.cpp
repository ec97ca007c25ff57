#include "diag/analytics.h"
#include "engine/downloader.h"
#include "flow/progress.h"
#include "flow/setup_flow.h"
#include "l10n/localization.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_files.h"
#include "test_server.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Phase = SetupFlow::Phase;

namespace {

const QByteArray kImage = "hsqs" + QByteArray(64 * 1024, 'i'); // as a SquashFS file begins
const QStringList kPhases{u"ready"_s,      u"downloading"_s, u"waiting"_s,
                          u"installing"_s, u"finished"_s,    u"failed"_s};
// What leaving logs, by short names.
const QMap<QString, QString> kLeavingLog{
    {u"confirmed"_s, u"UI: user confirmed exit"_s},
    {u"blocked"_s, u"UI: close blocked, install in progress"_s},
    {u"nothing"_s, u"UI: termination requested, nothing to lose"_s},
    {u"asking"_s, u"UI: termination requested, asking"_s},
    {u"unanswered"_s, u"UI: exit question unanswered, leaving"_s},
    {u"installing"_s, u"UI: termination requested during the installation"_s},
    {u"late"_s, u"UI: the installation did not end in time, ending"_s}};

// A coarse timer may end up to 5 % early, on a round fraction of the clock's second; one started
// a tenth of a second past a whole second would.
void waitForCoarseTimerPhase()
{
    using namespace std::chrono;
    const auto now = steady_clock::now().time_since_epoch();
    std::this_thread::sleep_until(steady_clock::time_point(ceil<seconds>(now) + 110ms));
}

// Attaching checks that it is handed the downloaded image, fails while DIR/unmountable is there
// and takes its time while DIR/slow is; detaching does nothing; the other tools are missing.
const char kHdiutil[] = R"sh(#!/bin/sh
[ "$1" = attach ] || exit 0
[ "$(head -c 8 "$2")" = hsqsiiii ] && [ ! -e DIR/unmountable ] || exit 1
[ -e DIR/slow ] && sleep 2
echo '<plist><dict><key>system-entities</key><array><dict><key>mount-point</key>
<string>DIR/volume</string></dict></array></dict></plist>'
)sh";

QStringList list(const char *items)
{
    return QString::fromUtf8(items).split(u", "_s, Qt::SkipEmptyParts);
}

// The events of an install: a retry for each of `retries`, then its end, "success" or the
// reason it was given up for.
QStringList installEvents(const QStringList &retries, const QString &end)
{
    QStringList events{u"install_start"_s};
    for (const QString &reason : retries)
        events << u"install_retry download_error_"_s + reason;
    return events << (end == u"success" ? u"install_success"_s
                                        : u"install_failed download_error_"_s + end);
}

// A signature file with one part spoilt; the base64 lines stay well formed.
QByteArray spoilt(const QByteArray &text, const QString &how)
{
    QList<QByteArray> lines = text.split('\n');
    const int line = how == u"key id" ? 1 : 3;
    QByteArray bytes = QByteArray::fromBase64(lines[line]);
    bytes[3] = char(bytes[3] ^ 1);
    if (how == u"key id" || how == u"global")
        lines[line] = bytes.toBase64();
    else if (how == u"comment")
        lines[2].replace("timestamp:", "timestamp:1");
    else if (how == u"not base64")
        lines[1][5] = '\xb5'; // a byte some base64 decoders take for a letter
    else if (how == u"truncated" || how == u"a line added" || how == u"empty")
        return how == u"truncated"      ? text.left(text.size() / 2)
               : how == u"a line added" ? text + "untrusted comment: more\n"
                                        : QByteArray();
    else if (how == u"crlf")
        return QByteArray(text).replace("\n", "\r\n");
    return lines.join('\n'); // "endless": sent again and again; "busy": after a 503
}

} // namespace

// The whole road without a window: downloads from a loopback server, installs with fake tools
// from a prepared "volume", and every effect outside the process recorded. A stand-in closes
// the window as the real one does.
class TstSetupFlow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    SetupFlow::Settings m_settings; // a test changes it before open()
    std::unique_ptr<SetupFlow> m_flow;
    qsizetype m_mark = 0;
    // What reached outside the process, in order: "hold", "open URL", "register" (the desktop
    // entry), "launch APP", "settings", "warning TEXT", "critical TEXT", "ask", "dismiss" (the
    // question), "hide", "end".
    QStringList m_outside;
    QStringList m_phases;  // each phase entered, with "busy" and "held" (the sleep hold)
    QList<bool> m_answers; // to the exit questions, in order; none: nobody answers
    std::function<void()> m_whileAsking, m_onProgress;
    std::weak_ptr<void> m_hold;
    bool m_dismissed = false, m_inClose = false, m_arm = false;
    QString m_entryRefusal; // why the desktop entry is not written; empty: it is

    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString image() const { return path(u"tmp/quorvel_setup.dmg"_s); }
    bool held() const { return !m_hold.expired(); }
    bool note(const QString &what) { return m_outside << what, true; }

    SetupFlow &open()
    {
        m_flow = std::make_unique<SetupFlow>(m_settings);
        SetupFlow *f = m_flow.get();
        connect(f, &SetupFlow::alert, this, [this](const QString &text, SetupFlow::AlertStyle s) {
            note((s == SetupFlow::AlertStyle::Critical ? u"critical "_s : u"warning "_s) + text);
        });
        connect(f, &SetupFlow::settingsWanted, this, [this] { note(u"settings"_s); });
        connect(f, &SetupFlow::closeWindow, this, &TstSetupFlow::close);
        connect(f, &SetupFlow::hideWindow, this, [this] { note(u"hide"_s); });
        connect(f, &SetupFlow::dismissQuestion, this, [this] { m_dismissed = note(u"dismiss"_s); });
        connect(f, &SetupFlow::phaseChanged, this, [this, f] {
            m_phases << kPhases[int(f->phase())] + (f->busy() ? u" busy"_s : QString()) +
                            (held() ? u" held"_s : QString());
        });
        connect(f, &SetupFlow::progressChanged, this, [this] { m_onProgress(); });
        m_mark = LogReader::mark();
        return *f;
    }
    // The window's close, its close button's and the flow's own: Qt lets no second close in
    // while one is under way, and counts it as done.
    bool close()
    {
        if (std::exchange(m_inClose, true))
            return true;
        const bool closes = m_flow->windowShouldClose([this] {
            note(u"ask"_s);
            m_whileAsking();
            if (!m_answers.isEmpty())
                return m_answers.takeFirst();
            // Nobody answers: the question stays until the flow closes it.
            if (!QTest::qWaitFor([this] { return std::exchange(m_dismissed, false); }, 20000))
                qFatal("an unanswered question stayed open");
            return false;
        });
        if (closes)
            m_flow->windowWillClose();
        m_inClose = false;
        return closes;
    }
    // The download answers these in turn, then the image.
    void serve(QList<Response> answers, const QByteArray &image = kImage)
    {
        m_server->setHandler("/quorvel.dmg", [answers, image](const RecordedRequest &) mutable {
            return answers.isEmpty() ? Response{.body = image, .etag = "\"v1\""}
                                     : answers.takeFirst();
        });
    }
    QStringList flowLog(const QString &from = u"FLOW|UI"_s) const
    {
        return LogReader::messagesSince(m_mark).filter(QRegularExpression(u"^(%1): "_s.arg(from)));
    }
    QStringList events() const // "name", or "name reason"
    {
        return LogReader::messagesSince(m_mark)
            .filter(u"GA: event "_s)
            .replaceInStrings(QRegularExpression(u"^GA: event (\\S+) reason=\"(.*)\"$"_s),
                              u"\\1 \\2"_s)
            .replaceInStrings(QRegularExpression(u" $"_s), QString());
    }
    // The flow in `state`: "ready", "downloading" (stalled), "unknown size" (the same, without a
    // length), "waiting" (a minute to retry after a cut), "late retry" (the same, a moment),
    // "refused retry" (the same; the retry is refused), "installing" (slowly), "finished",
    // "failed" (refused after a retry), or "asking" and "too late" (downloading an image that
    // comes soon; the first then installs slowly).
    bool reach(const QString &state)
    {
        const bool waits = state.startsWith(u"waiting"_s),
                   stalls = state == u"downloading"_s || state == u"unknown size"_s,
                   retries = state.endsWith(u"retry"_s) || waits;
        const Response cut{.body = kImage,
                           .chunked = state.endsWith(u"size unknown"_s),
                           .cutAfter = 1000,
                           .etag = "\"v1\""};
        if (stalls)
            serve({{.body = kImage, .chunked = state != u"downloading"_s, .stallAfter = 1000}});
        else if (retries)
            serve({cut, {.status = 404}});
        else if (state == u"asking"_s)
            serve({{.body = kImage, .chunkBytes = 8192, .chunkIntervalMs = 20}});
        else if (state == u"failed"_s)
            serve({{.status = 503}, {.status = 404}});
        if (retries)
            m_settings.retryPause = waits ? 1min : 300ms;
        if ((state == u"installing"_s || state == u"asking"_s) && !writeFile(path(u"slow"_s), {}))
            return false;
        SetupFlow &f = open();
        if (state != u"ready"_s)
            f.installClicked(path(u"Apps"_s));
        return QTest::qWaitFor([&] {
            if (stalls)
                return m_server->requestCount("/quorvel.dmg") == 1;
            if (retries)
                return f.phase() == Phase::WaitingToRetry &&
                       QFile::exists(Downloader::partialPath(image()));
            const qsizetype at = kPhases.indexOf(state);
            return at < 0 || f.phase() == Phase(at);
        });
    }

private slots:
    void init()
    {
        qputenv("LANGUAGE", "en");
        m_server = std::make_unique<TestServer>();
        m_server->setRoute("/mp/collect", {.status = 204});
        m_server->setRoute("/debug/mp/collect", {.body = R"({"validationMessages":[]})"});
        ITSetAnalyticsSettings({.host = u"127.0.0.1:%1"_s.arg(m_server->port()),
                                .measurementId = u"G-TEST"_s,
                                .apiSecret = u"secret"_s,
                                .caFile = TestCa::instance().caFile});
        m_dir = testTempDir(u"flow-XXXXXX"_s);
        serve({});
        const QString tools = path(u"tools"_s);
        QVERIFY(m_dir->isValid() && QDir().mkpath(path(u"Apps"_s)) &&
                QDir().mkpath(path(u"tmp"_s)) && QDir().mkpath(QDir::homePath() + u"/Apps"_s) &&
                writeFile(path(u"volume/Quorvel.app/AppRun"_s), "#!/bin/sh\n", true) &&
                writeFile(tools + u"/hdiutil"_s,
                          QByteArray(kHdiutil).replace("DIR", QFile::encodeName(m_dir->path())),
                          true));
        m_settings = {
            .downloadBaseUrl = m_server->url(QString()),
            .websiteBaseUrl = u"https://example.invalid"_s,
            .caFile = TestCa::instance().caFile,
            .imagePublicKey = {},
            .temporaryFolder = path(u"tmp"_s),
            .tools = {tools + u"/hdiutil"_s, tools + u"/xattr"_s, tools + u"/osascript"_s,
                      tools + u"/ditto"_s},
            .platform = {
                .openURL = [this](const QUrl &url) { return note(u"open "_s + url.toString()); },
                .launchApplication =
                    [this](const QString &app) { return note(u"launch "_s + app); },
                .beginActivity =
                    [this](const QString &) {
                        std::shared_ptr<void> hold = std::make_shared<bool>(note(u"hold"_s));
                        m_hold = hold;
                        return hold;
                    },
                .prefersArmImage = [this] { return m_arm; },
                .terminate = [this] { note(u"end"_s); },
                .registerApplication =
                    [this](const QString &app, QString *detail) {
                        *detail = m_entryRefusal.isEmpty() ? app + u".desktop"_s : m_entryRefusal;
                        return note(u"register"_s) && m_entryRefusal.isEmpty();
                    }},
            .retryPause = 20ms,
            .creepInterval = 5ms,
            .unansweredExitWait = 500ms};
        m_outside.clear(), m_phases.clear(), m_answers.clear();
        m_whileAsking = m_onProgress = [] {};
        m_dismissed = m_arm = false;
        m_entryRefusal.clear();
    }
    void cleanup() { m_flow.reset(); }

    // From Install to Start Now, or to the failure the setup shows.
    void road_data()
    {
        QTest::addColumn<QString>("text");        // the folder text; <dir>: a writable folder
        QTest::addColumn<QList<int>>("statuses"); // answered before the image; 200: a web page
        QTest::addColumn<QStringList>("tracked"); // the events; none: it asks for a folder
        QTest::addColumn<QString>("result");      // the folder it installs into, or the failure
        const QString dir = u"<dir>"_s, start = u"install_start"_s, success = u"install_success"_s;
        const QList<int> none;
        for (const char *text : {"", "Apps", "~", "~user/Apps", "~Apps"}) // not absolute
            QTest::newRow(text) << QString::fromUtf8(text) << none << QStringList() << QString();
        // The default: this user's own, made without a prompt (the fake tools have none).
        QTest::newRow("default folder, missing")
            << QDir::homePath() + u"/Applications"_s << none << QStringList{start, success}
            << QDir::homePath() + u"/Applications"_s;
        QTest::newRow("home, blanks around")
            << u"  ~/Apps "_s << none << QStringList{start, success}
            << QDir::homePath() + u"/Apps"_s;
        // A folder chosen with a blank at the end of its name is that folder, not another.
        for (const QString &end : {u" "_s, u"\u00a0"_s})
            QTest::newRow(qPrintable(
                u"chosen folder ending in U+%1"_s.arg(end[0].unicode(), 4, 16, QChar(u'0'))))
                << dir + end << none << QStringList{start, success} << dir + end;
        QTest::newRow("refused at once")
            << dir << QList<int>{404} << installEvents({}, u"http_404"_s)
            << u"Server returned HTTP 404"_s;
        QTest::newRow("retried three times, then given up")
            << dir << QList<int>{503, 503, 503, 503}
            << installEvents(QStringList(3, u"http_503"_s), u"http_503"_s)
            << u"Server returned HTTP 503"_s;
        QTest::newRow("three failures, then the image")
            << dir << QList<int>{503, 429, 408}
            << installEvents({u"http_503"_s, u"http_429"_s, u"http_408"_s}, u"success"_s) << dir;
        // A captive portal's login page is no image: it fails before any mount, and is asked
        // for again, since a login may end it.
        QTest::newRow("a web page in the image's place")
            << dir << QList<int>{200, 200, 200, 200}
            << installEvents(QStringList(3, u"not_disk_image"_s), u"not_disk_image"_s)
            << u"The downloaded file is not a disk image."_s;
        // No retry can make room: given up at once, under a code of its own.
        QTest::newRow("image larger than allowed")
            << dir << none << installEvents({}, u"1000"_s)
            << u"There is not enough disk space for the download."_s;
        QTest::newRow("no private folder, so no download")
            << dir << none << installEvents(QStringList(3, u"http_0"_s), u"http_0"_s)
            << u"No private folder for the download."_s;
        QTest::newRow("the image does not mount")
            << dir << none << QStringList{start, u"install_failed copy_error"_s}
            << u"Could not mount the disk image."_s;
    }
    void road()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, statuses);
        QFETCH(QStringList, tracked);
        QFETCH(QString, result);
        QList<Response> answers;
        for (int status : statuses)
            answers << Response{.status = status, .body = "<html>"};
        serve(answers);
        const QByteArray tag = QTest::currentDataTag();
        if (tag.startsWith("no private folder"))
            m_settings.temporaryFolder.clear();
        if (tag.startsWith("image larger"))
            m_settings.downloadLimit = 1024;
        QVERIFY(!tag.endsWith("does not mount") || writeFile(path(u"unmountable"_s), {}));
        text.replace(u"<dir>"_s, path(u"Apps"_s));
        result.replace(u"<dir>"_s, path(u"Apps"_s));
        QVERIFY(!tag.startsWith("chosen") || QDir().mkpath(text));
        if (tag.startsWith("default")) {
            QCOMPARE(QDir::homePath(), qEnvironmentVariable("QUORVEL_TEST_TMP"));
            QVERIFY(QDir(text).removeRecursively());
        }
        // The desktop's entry is a convenience: the install succeeds without it.
        if (tag.startsWith("three failures"))
            m_entryRefusal = u"cannot make the applications folder"_s;
        SetupFlow &f = open();
        f.installClicked(text);
        m_answers = {true}; // a question asked where none belongs shows, and does not stay open
        if (tracked.isEmpty()) {
            QCOMPARE(m_outside, (QStringList{u"settings"_s, u"warning "_s + f.L().chooseLocation}));
            QVERIFY(m_phases.isEmpty());
            return;
        }
        QTRY_VERIFY(f.phase() == Phase::Finished || f.phase() == Phase::Failed);
        QCOMPARE(events(), tracked);
        const qsizetype retries = tracked.filter(u"install_retry"_s).size();
        const bool success = tracked.last() == u"install_success"_s,
                   installFailed = tracked.last() == u"install_failed copy_error"_s;
        // Each attempt keeps the controls locked and sleep held off; the n-th retry waits n
        // pauses; a failure frees the controls and lets the machine sleep.
        QStringList phases{u"downloading busy held"_s}, pauses;
        for (qsizetype n = 1; n <= retries; ++n) {
            phases << u"waiting busy held"_s << u"downloading busy held"_s;
            pauses << u"FLOW: auto-retry %1/3 in %2 ms"_s.arg(n).arg(20 * n);
        }
        if (success || installFailed)
            phases << u"installing busy held"_s;
        QCOMPARE(m_phases, phases << (success ? u"finished busy"_s : u"failed"_s));
        QCOMPARE(flowLog().filter(u"auto-retry"_s), pauses);
        QVERIFY(entries(path(u"tmp"_s)).isEmpty() && f.hasFailed() == !success);
        QCOMPARE(f.failureDetail(), success ? QString() : result);
        if (success) {
            const QString app = result + u"/Quorvel.app"_s;
            QVERIFY(QFile::exists(app + u"/AppRun"_s) && !f.failureKind() &&
                    f.installedApp() == app);
            // Install does nothing any more; Start Now starts what was installed and ends the
            // setup without a question.
            f.installClicked(text);
            f.startClicked();
            QCOMPARE(m_outside,
                     (QStringList{u"hold"_s, u"register"_s, u"launch "_s + app, u"end"_s}));
            QCOMPARE(m_phases.size(), phases.size());
            // The folder as typed, and as resolved; the road's other lines are checked end to end.
            const QStringList log = flowLog();
            QCOMPARE(log.first(), u"FLOW: Install clicked, dir=\""_s + text + u'"');
            QVERIFY(log.contains(u"FLOW: installing Quorvel.app into "_s + result) &&
                    log.contains(u"FLOW: install SUCCESS, app="_s + app));
            QVERIFY(log.contains(m_entryRefusal.isEmpty()
                                     ? u"FLOW: desktop entry written: %1.desktop"_s.arg(app)
                                     : u"FLOW: desktop entry not written: "_s + m_entryRefusal));
            return;
        }
        QCOMPARE(m_server->requestCount("/quorvel.dmg") > 0, !tag.startsWith("no private folder"));
        QVERIFY(f.failureKind() == (installFailed ? SetupFlow::FailureKind::Install
                                                  : SetupFlow::FailureKind::Download));
        // A failed installation is told on a sheet. A failed download offers the image in the
        // browser instead, which leaves without a question.
        QCOMPARE(flowLog().last(),
                 installFailed
                     ? u"FLOW: failure shown to user: "_s + result
                     : u"FLOW: download FAILED after %1 retries, giving up"_s.arg(retries));
        if (!installFailed)
            f.offlineClicked();
        const QString offline = u"open "_s + m_server->url(u"/quorvel.dmg"_s);
        QCOMPARE(m_outside, (installFailed ? QStringList{u"hold"_s, u"critical "_s + result}
                                           : QStringList{u"hold"_s, offline, u"end"_s}));
        QCOMPARE(events().last(), installFailed ? tracked.last() : u"offline_download"_s);
    }

    // With the vendor's key, an image installs only with a good signature by that key, for the
    // image asked for. Each refusal fails the download before any mount and leaves nothing;
    // it is retried from the first byte, but for a missing signature, which is given up at once.
    void signedImages_data()
    {
        // served: "x86", "arm", "changed"; "cut": x86, cut, then resumed, sent anew ("whole") or
        // refused ("416"): then fetched from the first byte
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("signature"); // served: whose, and how it is spoilt
        QTest::addColumn<QString>("why");       // logged; empty: installed
        const auto row = [](const char *name, const char *image, const char *signature,
                            const char *why) {
            QTest::newRow(name) << QString::fromUtf8(image) << QString::fromUtf8(signature)
                                << QString::fromUtf8(why);
        };
        row("signed", "x86", "x86", "");
        row("signed, legacy form", "x86", "x86 legacy", "");
        row("signed, CRLF line ends", "x86", "x86/crlf", "");
        // The image is kept while the signature is asked for again.
        row("signature busy at first", "x86", "x86/busy", "");
        row("resumed after a cut", "cut", "x86", "");
        row("sent whole after a cut", "cut whole", "x86", "");
        row("not continued after a cut", "cut 416", "x86", "");
        row("one byte changed", "changed", "x86", "the signature does not match the image");
        row("one byte changed, legacy form", "changed", "x86 legacy",
            "the signature does not match the image");
        row("a signature of the other image", "x86", "arm",
            "the signature does not match the image");
        row("the other image with its signature", "arm", "arm",
            "the trusted comment names another file");
        row("trusted comment edited", "x86", "x86/comment", "global signature does not match");
        row("global signature changed", "x86", "x86/global", "global signature does not match");
        row("another key", "x86", "other key", "key id is not the vendor key's");
        row("another key id", "x86", "x86/key id", "key id is not the vendor key's");
        row("truncated", "x86", "x86/truncated", "does not have the four lines");
        row("a line added", "x86", "x86/a line added", "does not have the four lines");
        row("empty", "x86", "x86/empty", "the signature file is empty");
        row("endless", "x86", "x86/endless", "larger than 4 KiB");
        row("not base64", "x86", "x86/not base64", "signature line is not base64");
        row("missing", "x86", "none", "the signature file was answered with HTTP 404");
    }
    void signedImages()
    {
        QFETCH(QString, image);
        QFETCH(QString, signature);
        QFETCH(QString, why);
        // Made once: two keys, and the two images signed as minisign signs by default and in
        // its legacy form; "changed" is x86 with one byte changed, "arm" another image.
        static const std::unique_ptr<QTemporaryDir> keysDir = testTempDir(u"keys-XXXXXX"_s);
        const QString keys = keysDir->path();
        static const bool made =
            writeFile(keys + u"/x86/quorvel.dmg"_s, kImage) &&
            writeFile(keys + u"/arm/quorvel.silicon.dmg"_s,
                      QByteArray(kImage).replace(100, 1, "a")) &&
            QProcess::execute(u"sh"_s, {u"-ec"_s, uR"(cd "$0"; s="minisign -S -s"
                for k in vendor other; do minisign -G -W -p "$k.pub" -s "$k.sec"; done >/dev/null
                $s vendor.sec -m x86/quorvel.dmg -x x86.minisig
                $s vendor.sec -m x86/quorvel.dmg -x "x86 legacy.minisig" -l
                $s vendor.sec -m arm/quorvel.silicon.dmg -x arm.minisig
                $s other.sec -m x86/quorvel.dmg -x "other key.minisig")"_s,
                                        keys}) == 0;
        QVERIFY2(made, "minisign could not make the keys and signatures");
        m_settings.imagePublicKey = readFile(keys + u"/vendor.pub"_s).split('\n').value(1);
        const QStringList parts = signature.split(u'/');
        const QByteArray file = readFile(keys + u'/' + parts[0] + u".minisig"_s);
        const bool endless = parts.value(1) == u"endless";
        QList<Response> signatures{parts[0] == u"none"
                                       ? Response{.status = 404}
                                       : Response{.body = spoilt(file, parts.value(1)),
                                                  .chunked = endless,
                                                  .endless = endless,
                                                  .chunkIntervalMs = endless ? 1 : 0}};
        if (parts.value(1) == u"busy")
            signatures.prepend({.status = 503});
        m_server->setHandler("/quorvel.dmg.minisig", [signatures](const RecordedRequest &) mutable {
            return signatures.size() > 1 ? signatures.takeFirst() : signatures.first();
        });
        m_settings.connectivityRetry = 100ms;
        QByteArray bytes = readFile(
            keys + (image == u"arm" ? u"/arm/quorvel.silicon.dmg"_s : u"/x86/quorvel.dmg"_s));
        if (image == u"changed")
            bytes[50000] = 'j';
        const Response cut{.body = bytes, .cutAfter = 1000, .etag = "\"v1\""};
        serve(image == u"cut"         ? QList{cut}
              : image == u"cut whole" ? QList{cut, {.body = bytes, .honourRanges = false}}
              : image == u"cut 416"   ? QList{cut, {.status = 416}}
                                      : QList<Response>{},
              bytes);
        SetupFlow &f = open();
        f.installClicked(path(u"Apps"_s));
        QTRY_VERIFY(f.phase() == Phase::Finished || f.phase() == Phase::Failed);
        const QStringList log = LogReader::messagesSince(m_mark);
        QStringList ranges;
        for (const RecordedRequest &r : m_server->requests())
            if (r.target == "/quorvel.dmg")
                ranges << QString::fromLatin1(r.headers.value("range"));
        if (why.isEmpty()) {
            QCOMPARE(f.phase(), Phase::Finished);
            QVERIFY(QFile::exists(path(u"Apps/Quorvel.app/AppRun"_s)));
            QCOMPARE(ranges, image == u"cut 416"        ? (QStringList{{}, u"bytes=1000-"_s, {}})
                             : image.startsWith(u"cut") ? (QStringList{{}, u"bytes=1000-"_s})
                                                        : QStringList{{}});
            return;
        }
        const qsizetype tries = parts[0] == u"none" ? 1 : 4;
        QCOMPARE(events(), installEvents(QStringList(tries - 1, u"signature"_s), u"signature"_s));
        QCOMPARE(log.filter(u"DL: signature check failed: "_s).size(), tries);
        QVERIFY2(log.filter(u"DL: signature check failed: "_s).first().contains(why),
                 qPrintable(log.filter(u"DL: signature"_s).join(u'\n')));
        // Nothing mounted, installed or left; every try from the first byte.
        QVERIFY(log.filter(u"FLOW: installing"_s).isEmpty() &&
                !QFile::exists(path(u"Apps/Quorvel.app"_s)));
        QCOMPARE(entries(path(u"tmp"_s)), QStringList());
        QCOMPARE(ranges, QStringList(tries, QString()));
        QCOMPARE(f.failureDetail(), f.L().downloadNotVerified);
    }

    void cutTransferResumesAndRetryStartsAfresh()
    {
        // Every attempt is cut 1000 bytes further on: each resumes the last, until it gives up.
        const Response cut{.body = kImage, .cutAfter = 1000, .etag = "\"v1\""};
        serve({cut, cut, cut, cut, Response{.status = 503}});
        const auto ranges = [this] {
            QStringList found;
            for (const RecordedRequest &r : m_server->requests())
                if (r.target == "/quorvel.dmg")
                    found << QString::fromLatin1(r.headers.value("range"));
            return found;
        };
        SetupFlow &f = open();
        f.installClicked(path(u"Apps"_s));
        QTRY_COMPARE(f.phase(), Phase::Failed);
        QCOMPARE(ranges(),
                 (QStringList{QString(), u"bytes=1000-"_s, u"bytes=2000-"_s, u"bytes=3000-"_s}));
        QVERIFY(QFile::exists(Downloader::partialPath(image())));

        // Retry drops what was left, starts from the first byte and counts its retries afresh;
        // the failure shown goes, and Retry stays where Install stood.
        f.installClicked(path(u"Apps"_s));
        QTRY_COMPARE(f.phase(), Phase::Finished);
        QCOMPARE(ranges().mid(4), (QStringList{QString(), QString()}));
        QVERIFY(!QFile::exists(Downloader::partialPath(image())));
        QVERIFY(!f.failureKind() && f.failureDetail().isEmpty() && f.hasFailed());
    }

    void retryWaitsItsWholePause()
    {
        // Without a private folder each attempt fails at once: the pause is all there is.
        m_settings.temporaryFolder.clear();
        m_settings.retryPause = 1s;
        SetupFlow &f = open();
        QElapsedTimer clock;
        QList<qint64> attempts; // when each began
        connect(&f, &SetupFlow::phaseChanged, this, [&] {
            if (f.phase() == Phase::Downloading)
                attempts << clock.elapsed();
        });
        waitForCoarseTimerPhase();
        clock.start();
        f.installClicked(path(u"Apps"_s));
        QTRY_COMPARE(attempts.size(), 2);
        QVERIFY2(attempts[1] >= 1000, qPrintable(QString::number(attempts[1])));
    }

    // Leaving, asked for by the user or told by the system, where nobody may be there to
    // answer, in each state.
    void leaving_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("how");         // "close", "offline", "end" (told), "close, end"
        QTest::addColumn<QStringList>("answers"); // to exit questions; none: nobody answers
        QTest::addColumn<QStringList>("log");     // from the UI, by short name
        QTest::addColumn<QStringList>("outside"); // ending with "end": the setup ended
        const auto row = [](const char *name, const char *state, const char *how,
                            const char *answers, const char *log, const char *outside) {
            QTest::newRow(name) << QString::fromUtf8(state) << QString::fromUtf8(how)
                                << list(answers) << list(log) << list(outside);
        };
        row("ready, OK", "ready", "close", "OK", "confirmed", "ask, end");
        row("ready, Cancel", "ready", "close", "Cancel", "", "ask");
        row("downloading, OK", "downloading", "close", "OK", "confirmed", "hold, ask, end");
        row("waiting to retry, OK", "waiting", "close", "OK", "confirmed", "hold, ask, end");
        row("failed, OK", "failed", "close", "OK", "confirmed", "hold, ask, end");
        // The pause ends after the user left by the offline link: nothing more is fetched.
        row("offline link while a retry waits", "late retry", "offline", "", "",
            "hold, open <image>, end");
        row("installing", "installing", "close", "OK", "blocked", "hold");
        // The download completes while the question is open; a second close is not asked.
        row("install begins during the question", "asking", "close", "OK", "blocked", "hold, ask");
        row("finished", "finished", "close", "OK", "", "hold, register, end");
        // The cancel comes too late: the transfer completes all the same, and is not installed.
        row("download ends as the user leaves", "too late", "", "OK", "confirmed",
            "hold, ask, end");

        row("told: ready", "ready", "end", "", "nothing", "end");
        row("told: failed", "failed", "end", "", "nothing", "hold, end");
        row("told: finished", "finished", "end", "", "nothing", "hold, register, end");
        row("told: ready, the user's question open", "ready", "close, end", "",
            "nothing, unanswered", "ask, dismiss, end");
        row("told: downloading, no answer", "downloading", "end", "", "asking, unanswered",
            "hold, ask, dismiss, end");
        row("told: downloading, OK", "downloading", "end", "OK", "asking, confirmed",
            "hold, ask, end");
        row("told: downloading, Cancel", "downloading", "end", "Cancel", "asking", "hold, ask");
        row("told: downloading, the user's question open", "downloading", "close, end", "",
            "asking, unanswered", "hold, ask, dismiss, end");
        row("told: waiting to retry, no answer", "waiting", "end", "", "asking, unanswered",
            "hold, ask, dismiss, end");
        // The retry is refused while the question is open: nothing is left to lose.
        row("told: given up during the question, long before its time", "refused retry", "end", "",
            "asking, unanswered", "hold, ask, dismiss, end");
        row("told: installing", "installing", "end", "", "installing", "hold, register, end");
        row("told: installing past its bound", "installing", "end", "", "installing, late",
            "hold, hide, end");
        // The download completes while the question is open: the installation is waited for.
        row("told: installation begins during the question", "asking", "end", "", "asking, blocked",
            "hold, ask, dismiss, register, end");
    }
    void leaving()
    {
        QFETCH(QString, state);
        QFETCH(QString, how);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, log);
        QFETCH(QStringList, outside);
        const bool pastBound = log.contains(u"late"_s), stays = answers.contains(u"Cancel"_s);
        if (pastBound)
            m_settings.installEndWait = 300ms;
        if (state == u"refused retry"_s)
            m_settings.unansweredExitWait = 1min;
        for (const QString &answer : answers)
            m_answers << (answer == u"OK"_s);
        if (state == u"too late"_s)
            m_onProgress = [this, once = false]() mutable {
                // The last byte is in: the transfer is over, whatever a cancel says now.
                if (m_flow->progressValue() != Progress::kInstallStart || std::exchange(once, true))
                    return;
                for (QDeadlineTimer t(10s); !QFile::exists(image()) && !t.hasExpired();)
                    QThread::msleep(5);
                close();
            };
        QVERIFY(reach(state));
        SetupFlow &f = *m_flow;
        const Phase before = f.phase();
        if (how == u"close, end"_s)
            m_whileAsking = [&f] { f.terminationRequested(); };
        else if (state == u"asking"_s)
            m_whileAsking = [&f] { QTRY_COMPARE(f.phase(), Phase::Installing); };
        if (how.startsWith(u"close"_s))
            close();
        else if (how == u"end"_s)
            f.terminationRequested();
        else if (how == u"offline"_s)
            f.offlineClicked();
        const QString shown = f.installStatus();
        QTRY_COMPARE_WITH_TIMEOUT(
            m_outside, outside.replaceInStrings(u"<image>"_s, m_server->url(u"/quorvel.dmg"_s)),
            10000);
        if (stays) { // the user stays, also once the time for an answer has passed
            QTest::qWait(1000);
            QVERIFY(m_outside == outside && f.phase() == before && !f.closing());
        }
        QStringList lines;
        for (const QString &name : log)
            lines << kLeavingLog[name];
        QCOMPARE(flowLog(u"UI"_s), lines);
        if (log.contains(u"blocked"_s))
            QCOMPARE(shown, f.L().installInProgress);
        if (state == u"downloading"_s && !stays)
            QCOMPARE(shown, f.L().cancelling);
        QCOMPARE(events().contains(u"install_cancelled"_s), state == u"downloading"_s && !stays);
        if (state == u"late retry"_s) {
            QTest::qWait(600);
            QCOMPARE(m_server->requestCount("/quorvel.dmg"), 1);
        }
        // Ended: nothing held; the image and its partial are gone, but for an installation that
        // is still reading its image.
        if (outside.endsWith(u"end"_s))
            QVERIFY(!held() && (how == u"close"_s || f.closing()) &&
                    (f.phase() == Phase::Installing) == pastBound &&
                    entries(path(u"tmp"_s)).size() == qsizetype(pastBound));
        if (f.phase() == Phase::Installing)
            QTRY_COMPARE(f.phase(), Phase::Finished); // the fake tools end before their folder
    }

    void progressArithmetic_data()
    {
        QTest::addColumn<qint64>("written");
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<qint64>("percent"); // -1: none, the bar is indeterminate
        QTest::newRow("truncated") << qint64(199) << qint64(200) << qint64(89);
        QTest::newRow("past 32 bits") << qint64(5000000000) << qint64(9000000000) << qint64(50);
        QTest::newRow("more than announced") << qint64(300) << qint64(100) << qint64(90);
        QTest::newRow("less than nothing") << qint64(-5) << qint64(100) << qint64(0);
        QTest::newRow("size unknown") << qint64(10) << qint64(0) << qint64(-1);
    }
    void progressArithmetic()
    {
        QFETCH(qint64, written);
        QFETCH(qint64, expected);
        QFETCH(qint64, percent);
        QCOMPARE(Progress::downloadPercent(written, expected).value_or(-1), percent);
        // Installing creeps by 2 a step from 90 %: 99 % after 45 steps, and there it stays.
        double bar = Progress::kInstallStart;
        for (int step = 1; step <= 46; ++step)
            bar = Progress::crept(bar);
        QCOMPARE(bar, 990.0);
    }

    // The bar and the line under it, as a window shows them.
    void progressShown_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<double>("bar"); // per-mille; NaN: indeterminate at 0
        QTest::addColumn<QString>("pct");
        QTest::newRow("downloading") << u"downloading"_s << 10.0 << u"1%"_s;
        QTest::newRow("size unknown") << u"unknown size"_s << qQNaN() << QString();
        QTest::newRow("waiting to retry") << u"waiting"_s << 0.0 << QString();
        // The bar stays indeterminate while it waits, as it was.
        QTest::newRow("waiting, size unknown")
            << u"waiting, size unknown"_s << qQNaN() << QString();
        QTest::newRow("installing") << u"installing"_s << 990.0 << u"99%"_s;
        QTest::newRow("finished") << u"finished"_s << 1000.0 << u"100%"_s;
    }
    void progressShown()
    {
        QFETCH(QString, state);
        QFETCH(double, bar);
        QFETCH(QString, pct);
        QVERIFY(reach(state));
        SetupFlow &f = *m_flow;
        // Installing creeps up to its bar; a download of unknown size turns it indeterminate.
        QTRY_VERIFY(f.progressIndeterminate() == qIsNaN(bar) &&
                    f.progressValue() == (qIsNaN(bar) ? 0.0 : bar));
        const QString wait = f.L().installingWait;
        QCOMPARE(f.installStatus(), pct.isEmpty() ? wait : wait + u"  "_s + pct);
        if (f.phase() == Phase::Installing)
            QTRY_COMPARE(f.phase(), Phase::Finished);
    }

    // No route leads to the server until the test lays one, twice: each wait shows in the
    // language chosen, is logged once whatever its tries, and goes with the first byte.
    void waitsForTheNetwork()
    {
        // The server's address goes and comes back: only in a namespace with loopback alone.
        QVERIFY(QNetworkInterface::allInterfaces().size() == 1);
        const auto route = [](const QString &how) {
            return QProcess::execute(u"ip"_s, {u"addr"_s, how, u"127.0.0.1/8"_s, u"dev"_s, u"lo"_s,
                                               u"scope"_s, u"host"_s}) == 0;
        };
        const auto reroute = qScopeGuard([&] { route(u"replace"_s); });
        serve({{.body = kImage, .cutAfter = 1000, .etag = "\"v1\""}});
        m_settings.connectivityRetry = 20ms;
        SetupFlow &f = open();
        const QString usual = f.L().installingWait, waiting = f.L().waitingForNetwork;
        QStringList shown; // the line under the bar as it changes, "N%" as "%"
        m_onProgress = [&] {
            const QString now = f.installStatus().replace(QRegularExpression(u"\\d+%$"_s), u"%"_s);
            if (shown.value(shown.size() - 1) != now)
                shown << now;
        };
        // The attempt after the cut finds no route either.
        bool unrouted = route(u"del"_s);
        connect(&f, &SetupFlow::phaseChanged, this,
                [&] { unrouted &= f.phase() != Phase::WaitingToRetry || route(u"del"_s); });
        f.installClicked(path(u"Apps"_s));
        for (qsizetype wait = 1; wait <= 2; ++wait) {
            QTRY_COMPARE(f.installStatus(), waiting);
            QTest::qWait(200); // tries go on meanwhile
            QCOMPARE(LogReader::messagesSince(m_mark).count(u"DL: waiting for connectivity..."_s),
                     wait);
            f.languageChanged(wait);
            QCOMPARE(f.installStatus(), Localization::all().at(wait).waitingForNetwork);
            f.languageChanged(0);
            QVERIFY(unrouted && route(u"replace"_s));
        }
        QTRY_COMPARE(f.phase(), Phase::Finished);
        const QStringList attempt{usual, waiting, usual, usual + u"  %"_s};
        QCOMPARE(shown, attempt + attempt);
    }

    void smallerIntents()
    {
        SetupFlow &f = open();
        QVERIFY(f.phase() == Phase::Ready && !f.busy() && !f.hasFailed() && !f.closing());
        // This user's own folder: installing there needs no password.
        QCOMPARE(f.defaultFolder(), QDir::homePath() + u"/Applications"_s);

        // A language chosen relabels what shows; one that is not there changes nothing.
        QSignalSpy relabelled(&f, &SetupFlow::languageApplied);
        const UIStrings &de = Localization::all().at(1);
        for (qint64 index : {qint64(1), Localization::all().size(), qint64(-1)})
            f.languageChanged(index);
        QVERIFY(relabelled.size() == 1 && f.langIndex() == 1 && f.L().code == de.code);
        QCOMPARE(f.installStatus(), de.installingWait);

        // The links open their pages, whatever the language.
        f.privacyClicked(), f.licenseClicked();
        QCOMPARE(m_outside,
                 (QStringList{u"open https://example.invalid/privacy-policy/"_s,
                              u"open https://example.invalid/user-license-agreement/"_s}));

        // The folder chooser's answer. A name that is not UTF-8 comes back as text that names
        // another folder: refused, also while a folder of that very text stands beside it;
        // alone, that one is taken.
        const QByteArray odd = QFile::encodeName(path(u"Programm"_s)) + '\351';
        const QString oddText = QFile::decodeName(odd);
        QVERIFY(::mkdir(odd.constData(), 0700) == 0 && oddText.endsWith(u"Programm\uFFFD"_s));
        m_outside.clear();
        QVERIFY(f.folderChosen(path(u"tmp"_s)) && !f.folderChosen(oddText));
        QVERIFY(QDir().mkdir(oddText) && !f.folderChosen(oddText));
        QVERIFY(::rmdir(odd.constData()) == 0 && f.folderChosen(oddText));
        const QString refused = u"warning "_s + de.unusableFolder,
                      refusedLine =
                          u"UI: install dir refused, its name cannot be carried exactly: "_s;
        QCOMPARE(m_outside, (QStringList{refused, refused}));
        QCOMPARE(flowLog(u"UI"_s).filter(u"UI: install dir"_s),
                 (QStringList{u"UI: install dir set to "_s + path(u"tmp"_s), refusedLine + oddText,
                              refusedLine + oddText, u"UI: install dir set to "_s + oddText}));

        // Nor is a home folder whose name the text cannot carry.
        const QByteArray home = qgetenv("HOME"),
                         oddHome = QFile::encodeName(path(u"Home"_s)) + '\351';
        QVERIFY(::mkdir(oddHome.constData(), 0700) == 0 && qputenv("HOME", oddHome));
        m_outside.clear();
        f.installClicked(u" ~/Apps"_s);
        QCOMPARE(Paths::defaultInstallFolder(), u"/Applications"_s);
        QVERIFY(qputenv("HOME", home) && ::rmdir(oddHome.constData()) == 0);
        QVERIFY(f.phase() == Phase::Ready && m_outside == (QStringList{u"settings"_s, refused}));

        // The offline link: an Arm machine gets the second image, asked afresh each time.
        m_arm = true, m_outside.clear();
        f.offlineClicked();
        QCOMPARE(m_outside,
                 (QStringList{u"open "_s + m_server->url(u"/quorvel.silicon.dmg"_s), u"end"_s}));
        QCOMPARE(events(), QStringList{u"offline_download"_s});
    }
};

QTEST_GUILESS_MAIN(TstSetupFlow)
#include "tst_setup_flow.moc"
