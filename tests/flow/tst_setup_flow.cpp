#include "diag/analytics.h"
#include "engine/downloader.h"
#include "flow/main_window_controller.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_files.h"
#include "test_server.h"
#include "ui/flipped_view.h"
#include "ui/installer_window.h"
#include "ui/link_label.h"
#include "ui/progress_bar.h"
#include "ui/rounded_button.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray kImage(64 * 1024, 'i');
// What attaching prints; the slow one leaves time to ask to leave while it installs.
const QByteArray kAttach = "echo \"$PLIST\"", kSlowAttach = "sleep 2; " + kAttach;

// A coarse timer may end up to 5 % early, on a round fraction of the clock's second; one started
// a tenth of a second past a whole second would.
void waitForCoarseTimerPhase()
{
    using namespace std::chrono;
    const auto now = steady_clock::now().time_since_epoch();
    std::this_thread::sleep_until(steady_clock::time_point(ceil<seconds>(now) + 110ms));
}

// A shell script at `path`, made with its folders.
bool writeScript(const QString &path, const QByteArray &body)
{
    return writeFile(path, "#!/bin/sh\n" + body + '\n', true);
}

} // namespace

// The whole road on the offscreen platform: downloads from a loopback server, installs with
// fake tools from a prepared "volume", and every effect outside the process recorded.
class TstSetupFlow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MainWindowController> m_c;
    qsizetype m_mark = 0;
    // What reached outside the process, in order: "hold", "open URL", "launch APP",
    // "warning TEXT", "critical TEXT", "ask", "dismiss" (the question), "choose TITLE", "end".
    QStringList m_outside;
    QList<bool> m_answers; // to the exit questions, in order; none: nobody answers
    std::function<void()> m_whileAsking;
    bool m_dismissed = false; // the open question was closed unanswered
    std::chrono::milliseconds m_questionWait{500}, m_installWait{10000};
    std::optional<QString> m_chosenFolder;
    bool m_noTemporaryFolder = false, m_arm = false;
    qint64 m_downloadLimit = 0;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // The window, with the writable folder "Apps" in the location field.
    MainWindowController &open(const QByteArray &attach = kAttach)
    {
        const QString volume = path(u"volume"_s), tools = path(u"tools"_s);
        // Attaching checks that it is handed the downloaded image; the other tools are missing.
        const bool ready =
            QDir().mkpath(path(u"Apps"_s)) && QDir().mkpath(QDir::homePath() + u"/Apps"_s) &&
            QDir().mkpath(path(u"tmp"_s)) &&
            writeScript(volume + u"/Quorvel.app/AppRun"_s, "true") &&
            writeScript(tools + u"/hdiutil"_s,
                        "PLIST='<plist><dict><key>system-entities</key><array><dict><key>"
                        "mount-point</key><string>" +
                            volume.toUtf8() +
                            "</string></dict></array></dict></plist>'\ncase $1 in attach) "
                            "[ \"$(head -c 4 \"$2\")\" = iiii ] || exit 1; " +
                            attach + ";; detach) exit 0;; esac");
        if (!ready)
            qFatal("cannot prepare the fake tools");

        MainWindowController::Settings s;
        s.downloadBaseUrl = m_server->url(QString());
        s.websiteBaseUrl = u"https://example.invalid"_s;
        s.caFile = TestCa::instance().caFile;
        s.temporaryFolder = m_noTemporaryFolder ? QString() : path(u"tmp"_s);
        s.downloadLimit = m_downloadLimit;
        s.tools = {tools + u"/hdiutil"_s, tools + u"/xattr"_s, tools + u"/osascript"_s,
                   tools + u"/ditto"_s};
        s.platform = {
            [this](const QUrl &url) { return m_outside << u"open "_s + url.toString(), true; },
            [this](const QString &app) { return m_outside << u"launch "_s + app, true; },
            [this](const QString &) { return m_outside << u"hold"_s, std::make_shared<int>(); },
            [this] { return m_arm; },
            [this](QWidget *, const QString &, const QString &text, Dialogs::AlertStyle st) {
                m_outside << (st == decltype(st)::Critical ? u"critical "_s : u"warning "_s) + text;
            },
            [this](QWidget *, const QString &, const QString &) {
                m_outside << u"ask"_s;
                m_whileAsking();
                if (!m_answers.isEmpty())
                    return m_answers.takeFirst();
                // Nobody answers: the question stays until the flow closes it.
                if (!QTest::qWaitFor([this] { return std::exchange(m_dismissed, false); }, 20000))
                    qFatal("an unanswered question stayed open");
                return false;
            },
            [this](QWidget *, const QString &title, const QString &) {
                return m_outside << u"choose "_s + title, m_chosenFolder;
            },
            [this] { m_outside << u"end"_s; },
            [this] { m_outside << u"dismiss"_s, m_dismissed = true; }};
        s.unansweredExitWait = m_questionWait;
        s.installEndWait = m_installWait;
        m_c = std::make_unique<MainWindowController>(s);
        m_c->window->show();
        m_c->locationField->setText(path(u"Apps"_s));
        m_mark = LogReader::mark();
        return *m_c;
    }
    // The download answers these in turn, then the image.
    void serve(QList<Response> answers)
    {
        m_server->setHandler("/quorvel.dmg", [answers](const RecordedRequest &) mutable {
            return answers.isEmpty() ? Response{.body = kImage, .etag = "\"v1\""}
                                     : answers.takeFirst();
        });
    }
    QStringList flowLog() const
    {
        return LogReader::messagesSince(m_mark).filter(QRegularExpression(u"^(FLOW|UI): "_s));
    }
    QStringList events() const // "name", or "name reason"
    {
        return LogReader::messagesSince(m_mark)
            .filter(u"GA: event "_s)
            .replaceInStrings(QRegularExpression(u"^GA: event (\\S+) reason=\"(.*)\"$"_s),
                              u"\\1 \\2"_s)
            .replaceInStrings(QRegularExpression(u" $"_s), QString());
    }
    void retryAfter(int seconds)
    {
        QTRY_VERIFY(m_c->retryTimer);
        QVERIFY(m_c->retryTimer->isSingleShot() && m_c->retryTimer->interval() == seconds * 1000);
        QMetaObject::invokeMethod(m_c->retryTimer.get(), "timeout");
    }
    bool installed() const { return m_c->done && !m_c->installing; }
    // The window in `state`: "ready", "downloading" (stalled), "waiting" (to retry after a cut),
    // "late retry" (the same), "refused retry" (the retry is then refused), "installing"
    // (slowly), "finished", "failed" (refused), or "asking" and "too late" (a download that
    // ends soon; the first then installs slowly).
    bool reach(const QString &state)
    {
        if (state == u"downloading"_s)
            serve({Response{.body = kImage, .stallAfter = 1000}});
        else if (state == u"waiting"_s || state == u"late retry"_s)
            serve({Response{.body = kImage, .cutAfter = 1000, .etag = "\"v1\""}});
        else if (state == u"refused retry"_s)
            serve({Response{.body = kImage, .cutAfter = 1000, .etag = "\"v1\""},
                   Response{.status = 404}});
        else if (state == u"asking"_s || state == u"too late"_s)
            serve({Response{.body = kImage, .chunkBytes = 8192, .chunkIntervalMs = 20}});
        else if (state == u"failed"_s)
            serve({Response{.status = 404}});
        MainWindowController &c =
            open(state == u"installing"_s || state == u"asking"_s ? kSlowAttach : kAttach);
        if (state != u"ready"_s)
            c.installClicked();
        return QTest::qWaitFor([&] {
            if (state == u"downloading"_s)
                return m_server->requestCount("/quorvel.dmg") == 1;
            if (state.endsWith(u"retry"_s) || state == u"waiting"_s)
                return c.retryTimer && QFile::exists(Downloader::partialPath(c.destFile));
            if (state == u"installing"_s)
                return c.installing;
            if (state == u"finished"_s)
                return installed();
            return state != u"failed"_s || c.offlineLink->isVisible();
        });
    }
    // The controls that the busy state locks, and which of them are enabled.
    static QStringList lockable()
    {
        return {u"install"_s, u"field"_s, u"browse"_s, u"accept"_s, u"language"_s};
    }
    QStringList unlocked() const
    {
        const QWidgetList controls = {m_c->installButton, m_c->locationField, m_c->browseButton,
                                      m_c->acceptCheck, m_c->langPopup};
        QStringList names;
        for (qsizetype i = 0; i < controls.size(); ++i)
            if (controls[i]->isEnabled())
                names << lockable()[i];
        return names;
    }

private slots:
    void init()
    {
        QApplication::setQuitOnLastWindowClosed(false); // the flow's own ending is recorded
        qputenv("LANGUAGE", "en");
        m_server = std::make_unique<TestServer>();
        m_server->setRoute("/mp/collect", {.status = 204});
        m_server->setRoute("/debug/mp/collect", {.body = R"({"validationMessages":[]})"});
        ITSetAnalyticsSettings({.host = u"127.0.0.1:%1"_s.arg(m_server->port()),
                                .measurementId = u"G-TEST"_s,
                                .apiSecret = u"secret"_s,
                                .caFile = TestCa::instance().caFile});
        m_dir = std::make_unique<QTemporaryDir>(qEnvironmentVariable("QUORVEL_TEST_TMP") +
                                                u"/flow-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
        serve({});
        m_outside.clear(), m_answers.clear(), m_whileAsking = [] {}, m_chosenFolder.reset();
        m_noTemporaryFolder = m_arm = m_dismissed = false;
        m_questionWait = std::chrono::milliseconds(500);
        m_installWait = std::chrono::seconds(10);
        m_downloadLimit = 0;
    }
    void cleanup() { m_c.reset(); }

    // From Install to Start Now, or to the failure the setup shows.
    void road_data()
    {
        QTest::addColumn<QString>("text");        // in the location field; <dir>: a writable one
        QTest::addColumn<QList<int>>("statuses"); // answered before the image; 200: not an image
        QTest::addColumn<bool>("privateFolder");
        QTest::addColumn<QStringList>("tracked"); // the events; none: it asks for a folder
        QTest::addColumn<QString>("result");      // the folder it installs into, or the failure
        const QString dir = u"<dir>"_s, start = u"install_start"_s, success = u"install_success"_s,
                      retry = u"install_retry download_error_http_%1"_s,
                      failed = u"install_failed download_error_http_%1"_s;
        const QList<int> none;
        QTest::newRow("empty") << QString() << none << true << QStringList() << QString();
        QTest::newRow("relative") << u"Apps"_s << none << true << QStringList() << QString();
        for (const char *text : {"~", "~user/Apps", "~Apps"}) // not the home folder
            QTest::newRow(text) << QString::fromUtf8(text) << none << true << QStringList()
                                << QString();
        QTest::newRow("home, blanks around")
            << u"  ~/Apps "_s << none << true << QStringList{start, success}
            << QDir::homePath() + u"/Apps"_s;
        // A folder chosen with a blank at the end of its name is that folder, not another.
        for (const QString &end : {u" "_s, u"\u00a0"_s})
            QTest::newRow(qPrintable(
                u"chosen folder ending in U+%1"_s.arg(end[0].unicode(), 4, 16, QChar(u'0'))))
                << dir + end << none << true << QStringList{start, success} << dir + end;
        QTest::newRow("refused at once")
            << dir << QList<int>{404} << true << QStringList{start, failed.arg(404)}
            << u"Server returned HTTP 404"_s;
        QTest::newRow("retried three times, then given up")
            << dir << QList<int>{503, 503, 503, 503} << true
            << QStringList{start, retry.arg(503), retry.arg(503), retry.arg(503), failed.arg(503)}
            << u"Server returned HTTP 503"_s;
        QTest::newRow("three failures, then the image")
            << dir << QList<int>{503, 429, 408} << true
            << QStringList{start, retry.arg(503), retry.arg(429), retry.arg(408), success} << dir;
        // No retry can make room: given up at once, under a code of its own.
        QTest::newRow("image larger than allowed")
            << dir << none << true << QStringList{start, u"install_failed download_error_1000"_s}
            << u"There is not enough disk space for the download."_s;
        QTest::newRow("no private folder, so no download")
            << dir << none << false
            << QStringList{start, retry.arg(0), retry.arg(0), retry.arg(0), failed.arg(0)}
            << u"No private folder for the download."_s;
        QTest::newRow("the image does not mount")
            << dir << QList<int>{200} << true << QStringList{start, u"install_failed copy_error"_s}
            << u"Could not mount the disk image."_s;
    }
    void road()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, statuses);
        QFETCH(bool, privateFolder);
        QFETCH(QStringList, tracked);
        QFETCH(QString, result);
        QList<Response> answers;
        for (int status : statuses)
            answers << Response{.status = status, .body = "no"};
        serve(answers);
        m_noTemporaryFolder = !privateFolder;
        m_downloadLimit = QTest::currentDataTag() == "image larger than allowed"_ba ? 1024 : 0;
        MainWindowController &c = open();
        c.locationField->setText(text.replace(u"<dir>"_s, path(u"Apps"_s)));
        result.replace(u"<dir>"_s, path(u"Apps"_s));
        QVERIFY(!QByteArray(QTest::currentDataTag()).startsWith("chosen") || QDir().mkpath(text));
        QTest::mouseClick(c.installButton, Qt::LeftButton);
        if (tracked.isEmpty()) {
            QVERIFY(c.settingsShown && !c.downloader && !c.installView->isVisible());
            QCOMPARE(m_outside, QStringList{u"warning "_s + c.L().chooseLocation});
            return;
        }
        const qsizetype retries = tracked.filter(u"install_retry"_s).size();
        for (int n = 1; n <= retries; ++n) {
            retryAfter(n);
            QVERIFY(c.installView->isVisible() && c.activityToken && unlocked().isEmpty());
        }
        const bool success = tracked.last() == u"install_success"_s;
        QTRY_VERIFY(installed() || !c.detailLabel->text().isEmpty());
        QCOMPARE(c.detailLabel->text(), success ? QString() : result);
        QCOMPARE(events(), tracked);
        QVERIFY(!c.installView->isVisible() && !c.activityToken && !QFile::exists(c.destFile));
        if (success) {
            const QString app = result + u"/Quorvel.app"_s;
            QVERIFY(QFile::exists(app + u"/AppRun"_s) && c.finishView->isVisible() &&
                    !c.installTimer && c.progress->doubleValue() == 1000);
            // Start Now starts what was installed and ends the setup without a question.
            QTest::mouseClick(c.startButton, Qt::LeftButton);
            QCOMPARE(m_outside, (QStringList{u"hold"_s, u"launch "_s + app, u"end"_s}));
            // The folder as typed, and as resolved; the road's other lines are checked end to end.
            const QStringList log = flowLog();
            QCOMPARE(log.first(), u"FLOW: Install clicked, dir=\""_s + text + u'"');
            QVERIFY(log.contains(u"FLOW: installing Quorvel.app into "_s + result));
            return;
        }
        QCOMPARE(m_server->requestCount("/quorvel.dmg") > 0, privateFolder);
        QVERIFY(c.statusLabel->text() == c.L().installFailed &&
                c.installButton->title() == c.L().btnRetry);
        QVERIFY(unlocked() == lockable() && !c.installing);
        QVERIFY(!c.acceptCheck->isVisible() && !c.settingsLink->isVisible());
        // A failed installation is told on a sheet. A failed download offers the image in the
        // browser instead, which leaves without a question.
        const bool installFailed = tracked.last() == u"install_failed copy_error"_s;
        QCOMPARE(flowLog().last(),
                 installFailed
                     ? u"FLOW: failure shown to user: "_s + result
                     : u"FLOW: download FAILED after %1 retries, giving up"_s.arg(retries));
        QCOMPARE(c.offlineLink->isVisible(), !installFailed);
        if (!installFailed)
            QTest::mouseClick(c.offlineLink, Qt::LeftButton);
        const QStringList outside =
            installFailed
                ? QStringList{u"hold"_s, u"critical "_s + result}
                : QStringList{u"hold"_s, u"open "_s + m_server->url(u"/quorvel.dmg"_s), u"end"_s};
        QCOMPARE(m_outside, outside);
        QCOMPARE(events().last(), installFailed ? tracked.last() : u"offline_download"_s);
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
        MainWindowController &c = open();
        c.installClicked();
        for (int n = 1; n <= 3; ++n)
            retryAfter(n);
        QTRY_VERIFY(c.offlineLink->isVisible());
        QCOMPARE(ranges(),
                 (QStringList{QString(), u"bytes=1000-"_s, u"bytes=2000-"_s, u"bytes=3000-"_s}));
        QVERIFY(c.pendingResumeData && QFile::exists(Downloader::partialPath(c.destFile)));

        // Retry drops what was left, starts from the first byte and counts its retries afresh.
        QTest::mouseClick(c.installButton, Qt::LeftButton);
        retryAfter(1);
        QTRY_VERIFY(installed());
        QCOMPARE(ranges().mid(4), (QStringList{QString(), QString()}));
        QVERIFY(!QFile::exists(Downloader::partialPath(c.destFile)));
    }

    void retryWaitsItsWholePause()
    {
        MainWindowController &c = open();
        waitForCoarseTimerPhase();
        QElapsedTimer failed;
        failed.start();
        c.downloadComplete(false, u"cut short"_s);
        QVERIFY(c.retryTimer);
        qint64 retried = -1;
        connect(c.retryTimer.get(), &QTimer::timeout, [&] { retried = failed.elapsed(); });
        QTRY_VERIFY(installed());
        QVERIFY2(retried >= 1000, qPrintable(QString::number(retried)));
    }

    void leaving_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<QStringList>("log");     // from the UI, once leaving was asked for
        QTest::addColumn<QStringList>("outside"); // ending with "end": the setup ended
        const QStringList ok{u"UI: user confirmed exit"_s},
            blocked{u"UI: close blocked, install in progress"_s};
        const QString hold = u"hold"_s, ask = u"ask"_s, end = u"end"_s;
        QTest::newRow("ready, OK") << u"ready"_s << true << ok << QStringList{ask, end};
        QTest::newRow("ready, Cancel") << u"ready"_s << false << QStringList() << QStringList{ask};
        QTest::newRow("downloading, OK")
            << u"downloading"_s << true << ok << QStringList{hold, ask, end};
        QTest::newRow("waiting to retry, OK")
            << u"waiting"_s << true << ok << QStringList{hold, ask, end};
        // The pause ends as the user leaves: nothing more is fetched.
        QTest::newRow("retry due as the user leaves")
            << u"late retry"_s << true << QStringList() << QStringList{hold};
        QTest::newRow("installing") << u"installing"_s << true << blocked << QStringList{hold};
        // The download completes while the question is open; a second close is not asked.
        QTest::newRow("install begins during the question")
            << u"asking"_s << true << blocked << QStringList{hold, ask};
        QTest::newRow("finished") << u"finished"_s << true << QStringList()
                                  << QStringList{hold, end};
        // The cancel came too late: the transfer completes all the same, and is not installed.
        QTest::newRow("download ends as the user leaves")
            << u"too late"_s << true << QStringList() << QStringList{hold, end};
    }
    void leaving()
    {
        QFETCH(QString, state);
        QFETCH(bool, answer);
        QFETCH(QStringList, log);
        QFETCH(QStringList, outside);
        QVERIFY(reach(state));
        MainWindowController &c = *m_c;
        if (state == u"asking"_s)
            m_whileAsking = [&c] {
                QTRY_VERIFY(c.installing);
                c.window->close(); // Qt lets no close in while one is under way
            };

        m_answers = {answer};
        const qsizetype mark = flowLog().size();
        if (state == u"too late"_s || state == u"late retry"_s)
            c.closing = true;
        else
            c.window->close();
        if (state == u"late retry"_s) {
            QMetaObject::invokeMethod(c.retryTimer.get(), "timeout");
            QVERIFY(!c.downloader);
        }
        QTRY_COMPARE(m_outside, outside);
        QCOMPARE(flowLog().mid(mark).filter(u"UI: "_s), log);
        const bool closed = outside.endsWith(u"end"_s);
        QCOMPARE(events().contains(u"install_cancelled"_s), state == u"downloading"_s);
        if (closed)
            QVERIFY(!c.retryTimer && !c.activityToken && !c.installing &&
                    !QFile::exists(c.destFile) &&
                    !QFile::exists(Downloader::partialPath(c.destFile)));
        if (c.installing)
            QTRY_VERIFY(installed()); // let the fake tools finish before their folder goes
    }

    // Told to end by the system, where nobody may be there to answer.
    void terminating_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("duringQuestion"); // the user's exit question is open already
        QTest::addColumn<QList<bool>>("answer");  // to the question; none: nobody answers
        QTest::addColumn<QStringList>("log");     // from the UI, once the end was asked for
        QTest::addColumn<QStringList>("outside"); // ending with "end": the setup ended
        const QString hold = u"hold"_s, ask = u"ask"_s, dismiss = u"dismiss"_s, end = u"end"_s,
                      nothing = u"UI: termination requested, nothing to lose"_s,
                      asking = u"UI: termination requested, asking"_s,
                      unanswered = u"UI: exit question unanswered, leaving"_s,
                      installing = u"UI: termination requested during the installation"_s;
        const QList<bool> none, ok{true}, cancel{false};
        QTest::newRow("ready") << u"ready"_s << false << none << QStringList{nothing}
                               << QStringList{end};
        QTest::newRow("failed") << u"failed"_s << false << none << QStringList{nothing}
                                << QStringList{hold, end};
        QTest::newRow("finished") << u"finished"_s << false << none << QStringList{nothing}
                                  << QStringList{hold, end};
        QTest::newRow("ready, the user's question open")
            << u"ready"_s << true << none << QStringList{nothing, unanswered}
            << QStringList{ask, dismiss, end};
        QTest::newRow("downloading, no answer")
            << u"downloading"_s << false << none << QStringList{asking, unanswered}
            << QStringList{hold, ask, dismiss, end};
        QTest::newRow("downloading, OK")
            << u"downloading"_s << false << ok << QStringList{asking, u"UI: user confirmed exit"_s}
            << QStringList{hold, ask, end};
        QTest::newRow("downloading, Cancel")
            << u"downloading"_s << false << cancel << QStringList{asking} << QStringList{hold, ask};
        QTest::newRow("downloading, the user's question open")
            << u"downloading"_s << true << none << QStringList{asking, unanswered}
            << QStringList{hold, ask, dismiss, end};
        QTest::newRow("waiting to retry, no answer")
            << u"waiting"_s << false << none << QStringList{asking, unanswered}
            << QStringList{hold, ask, dismiss, end};
        // The retry is refused while the question is open: nothing is left to lose.
        QTest::newRow("given up during the question, long before its time")
            << u"refused retry"_s << false << none << QStringList{asking, unanswered}
            << QStringList{hold, ask, dismiss, end};
        QTest::newRow("installing") << u"installing"_s << false << none << QStringList{installing}
                                    << QStringList{hold, end};
        QTest::newRow("installing past its bound")
            << u"installing"_s << false << none
            << QStringList{installing, u"UI: the installation did not end in time, ending"_s}
            << QStringList{hold, end};
        // The download completes while the question is open: the installation is waited for.
        QTest::newRow("installation begins during the question")
            << u"asking"_s << false << none
            << QStringList{asking, u"UI: close blocked, install in progress"_s}
            << QStringList{hold, ask, dismiss, end};
    }
    void terminating()
    {
        QFETCH(QString, state);
        QFETCH(bool, duringQuestion);
        QFETCH(QList<bool>, answer);
        QFETCH(QStringList, log);
        QFETCH(QStringList, outside);
        const bool pastBound = QByteArray(QTest::currentDataTag()).contains("bound");
        if (pastBound)
            m_installWait = std::chrono::milliseconds(300);
        if (state == u"refused retry"_s)
            m_questionWait = std::chrono::minutes(1);
        QVERIFY(reach(state));
        MainWindowController &c = *m_c;
        m_answers = answer;
        const qsizetype mark = flowLog().size();
        if (duringQuestion) {
            m_whileAsking = [&c] { c.terminationRequested(); };
            c.window->close();
        } else {
            c.terminationRequested();
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_outside, outside, 10000);
        const bool stays = answer == QList<bool>{false};
        if (stays) { // the user stays, also once the time for an answer has passed
            QTest::qWait(1000);
            QVERIFY(m_outside == outside && c.downloader && !c.closing);
        }
        QCOMPARE(flowLog().mid(mark).filter(u"UI: "_s), log);
        QCOMPARE(events().contains(u"install_cancelled"_s), state == u"downloading"_s && !stays);
        // Ended: nothing held or pending; the image and its partial are gone, but for an
        // installation that is still reading its image.
        if (outside.endsWith(u"end"_s))
            QVERIFY(!c.retryTimer && !c.activityToken && c.closing && c.installing == pastBound &&
                    QFile::exists(c.destFile) == pastBound &&
                    !QFile::exists(Downloader::partialPath(c.destFile)));
        if (state == u"installing"_s || state == u"asking"_s)
            QTRY_VERIFY(installed()); // let the fake tools finish before their folder goes
    }

    void progressAndSmallerActions()
    {
        MainWindowController &c = open();
        const QString wait = c.L().installingWait;
        // Truncated, and never past 90 % whatever the server sends.
        const QList<std::tuple<qint64, qint64, double, QString>> rows = {
            {199, 200, 890, u"89%"_s},
            {5000000000, 9000000000, 500, u"50%"_s},
            {300, 100, 900, u"90%"_s},
            {-5, 100, 0, u"0%"_s}};
        for (const auto &[written, expected, bar, pct] : rows) {
            c.downloadProgress(written, expected);
            QVERIFY(!c.progress->isIndeterminate() && c.progress->doubleValue() == bar);
            QCOMPARE(c.instStatus->text(), wait + u"  "_s + pct);
        }
        c.downloadProgress(10, 0);
        QVERIFY(c.progress->isIndeterminate() && c.instStatus->text() == wait);

        // Installing creeps by 2 every tick up to 990: 99 % after 45 ticks, and there it stays.
        c.progress->setIndeterminate(false);
        c.progress->setDoubleValue(900);
        for (int tick = 1; tick <= 46; ++tick)
            c.creepInstall();
        QCOMPARE(c.progress->doubleValue(), 990.0);

        for (auto [state, enabled] :
             {std::pair(Qt::Unchecked, false), std::pair(Qt::PartiallyChecked, false),
              std::pair(Qt::Checked, true)}) {
            c.acceptCheck->setCheckState(state);
            c.acceptToggled();
            QCOMPARE(c.installButton->isEnabled(), enabled);
            c.setBusy(true);
            QCOMPARE(unlocked(), QStringList());
            c.setBusy(false);
            QCOMPARE(unlocked(), enabled ? lockable() : lockable().mid(1));
        }

        // An Arm machine gets the second image, asked afresh each time.
        m_arm = true;
        QCOMPARE(c.installerURL(), m_server->url(u"/quorvel.silicon.dmg"_s));

        // The links open their pages, whatever the language.
        QTest::mouseClick(c.privacyLink, Qt::LeftButton);
        QTest::mouseClick(c.licenseLink, Qt::LeftButton);
        const QString site = u"open https://example.invalid/"_s;
        QCOMPARE(m_outside,
                 (QStringList{site + u"privacy-policy/"_s, site + u"user-license-agreement/"_s}));

        // Browse: cancelled changes nothing; chosen replaces the folder. A name that is not
        // UTF-8 comes back as text that names another folder: refused, also while a folder of
        // that very text stands beside it; alone, that one is taken.
        const QByteArray odd = QFile::encodeName(path(u"Programm"_s)) + '\351';
        const QString oddText = QFile::decodeName(odd);
        QVERIFY(::mkdir(odd.constData(), 0700) == 0 && oddText.endsWith(u"Programm\uFFFD"_s));
        const auto browse = [&](const std::optional<QString> &chosen) {
            m_chosenFolder = chosen;
            m_outside.clear();
            c.browseClicked();
            return c.locationField->text();
        };
        const QString choose = u"choose "_s + c.L().selectFolder,
                      refused = u"warning "_s + c.L().unusableFolder;
        QCOMPARE(browse(std::nullopt), path(u"Apps"_s));
        QCOMPARE(browse(path(u"tmp"_s)), path(u"tmp"_s));
        QCOMPARE(m_outside, QStringList{choose});
        QCOMPARE(browse(oddText), path(u"tmp"_s));
        QCOMPARE(m_outside, (QStringList{choose, refused}));
        QVERIFY(QDir().mkdir(oddText));
        QCOMPARE(browse(oddText), path(u"tmp"_s));
        QVERIFY(::rmdir(odd.constData()) == 0);
        QCOMPARE(browse(oddText), oddText);
        const QString refusedLine =
            u"UI: install dir refused, its name cannot be carried exactly: "_s;
        QCOMPARE(flowLog().filter(u"UI: install dir"_s),
                 (QStringList{u"UI: install dir set to "_s + path(u"tmp"_s), refusedLine + oddText,
                              refusedLine + oddText, u"UI: install dir set to "_s + oddText}));

        // Nor is a home folder whose name the text cannot carry.
        const QByteArray home = qgetenv("HOME"),
                         oddHome = QFile::encodeName(path(u"Home"_s)) + '\351';
        QVERIFY(::mkdir(oddHome.constData(), 0700) == 0);
        qputenv("HOME", oddHome);
        c.locationField->setText(u" ~/Apps"_s);
        m_outside.clear();
        c.installClicked();
        qputenv("HOME", home);
        QVERIFY(!c.downloader && c.settingsShown && m_outside == QStringList{refused});
    }
};

QTEST_MAIN(TstSetupFlow)
#include "tst_setup_flow.moc"
