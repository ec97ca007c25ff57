#include "diag/analytics.h"
#include "engine/downloader.h"
#include "flow/main_window_controller.h"
#include "log_reader.h"
#include "test_ca.h"
#include "test_server.h"
#include "ui/flipped_view.h"
#include "ui/installer_window.h"
#include "ui/link_label.h"
#include "ui/progress_bar.h"
#include "ui/rounded_button.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using Alert = std::pair<QString, Dialogs::AlertStyle>;

namespace {

const QByteArray kImage(64 * 1024, 'i');

bool writeScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\n" + body + '\n') > 0 &&
           f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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
    // What reached outside the process.
    QList<QUrl> m_opened;
    QStringList m_launched, m_folderTitles;
    QList<Alert> m_sheets;
    QList<bool> m_answers; // to the exit questions, in order
    int m_questions = 0, m_holds = 0, m_terminated = 0;
    std::function<void()> m_whileAsking;
    std::optional<QString> m_chosenFolder;
    bool m_noTemporaryFolder = false, m_arm = false;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    MainWindowController &open(const QByteArray &attach = "cat \"$PLIST\"")
    {
        const QString volume = path(u"volume"_s), tools = path(u"tools"_s);
        QFile plist(path(u"attach.plist"_s));
        // Attaching checks that it is handed the downloaded image.
        const bool ready =
            QDir().mkpath(volume + u"/Quorvel.app"_s) && QDir().mkpath(tools) &&
            QDir().mkpath(path(u"Apps"_s)) && QDir().mkpath(QDir::homePath() + u"/Apps"_s) &&
            QDir().mkpath(path(u"tmp"_s)) &&
            writeScript(volume + u"/Quorvel.app/AppRun"_s, "true") &&
            plist.open(QIODevice::WriteOnly) &&
            plist.write("<plist><dict><key>system-entities</key><array><dict><key>mount-point"
                        "</key><string>" +
                        volume.toUtf8() + "</string></dict></array></dict></plist>") > 0 &&
            writeScript(tools + u"/hdiutil"_s,
                        "PLIST='" + plist.fileName().toUtf8() + "'\ncase $1 in attach) " +
                            "[ \"$(head -c 4 \"$2\")\" = iiii ] || exit 1; " + attach +
                            ";; detach) exit 0;; esac") &&
            writeScript(tools + u"/xattr"_s, "exit 0") &&
            writeScript(tools + u"/osascript"_s, "exit 1");
        if (!ready)
            qFatal("cannot prepare the fake tools");
        plist.close();

        MainWindowController::Settings s;
        s.downloadBaseUrl = m_server->url(QString());
        s.websiteBaseUrl = u"https://example.invalid"_s;
        s.caFile = TestCa::instance().caFile;
        s.temporaryFolder = m_noTemporaryFolder ? QString() : path(u"tmp"_s);
        s.tools = {tools + u"/hdiutil"_s, tools + u"/xattr"_s, tools + u"/osascript"_s,
                   tools + u"/ditto"_s};
        s.platform = {
            [this](const QUrl &url) { return m_opened << url, true; },
            [this](const QString &app) { return m_launched << app, true; },
            [this](const QString &) { return ++m_holds, std::make_shared<int>(); },
            [this] { return m_arm; },
            [this](QWidget *, const QString &, const QString &message, Dialogs::AlertStyle st) {
                m_sheets << Alert{message, st};
            },
            [this](QWidget *, const QString &, const QString &) {
                ++m_questions;
                if (m_whileAsking)
                    m_whileAsking();
                return m_answers.isEmpty() ? false : m_answers.takeFirst();
            },
            [this](QWidget *, const QString &title, const QString &) {
                m_folderTitles << title;
                return m_chosenFolder;
            },
            [this] { ++m_terminated; }};
        m_c = std::make_unique<MainWindowController>(s);
        m_c->window->show();
        m_mark = LogReader::mark();
        return *m_c;
    }
    // The download answers these statuses in turn, then the image.
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
    QStringList events() const
    {
        // "name", or "name reason"
        QStringList e = LogReader::messagesSince(m_mark).filter(u"GA: event "_s);
        return e
            .replaceInStrings(QRegularExpression(u"^GA: event (\\S+) reason=\"(.*)\"$"_s),
                              u"\\1 \\2"_s)
            .replaceInStrings(QRegularExpression(u" $"_s), QString());
    }
    // Fires the pending retry after checking its pause.
    void retryAfter(int seconds)
    {
        QTRY_VERIFY(m_c->retryTimer);
        QVERIFY(m_c->retryTimer->isSingleShot() && m_c->retryTimer->interval() == seconds * 1000);
        QMetaObject::invokeMethod(m_c->retryTimer.get(), "timeout");
    }
    bool installed() const { return m_c->done && !m_c->installing; }
    QList<RecordedRequest> imageRequests() const
    {
        QList<RecordedRequest> found = m_server->requests();
        found.removeIf([](const RecordedRequest &r) { return r.target != "/quorvel.dmg"; });
        return found;
    }

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false); // the flow's own ending is recorded
    }
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
        m_dir = std::make_unique<QTemporaryDir>(qEnvironmentVariable("QUORVEL_TEST_TMP") +
                                                u"/flow-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
        serve({});
        m_opened.clear(), m_launched.clear(), m_folderTitles.clear(), m_sheets.clear();
        m_answers.clear(), m_whileAsking = nullptr, m_chosenFolder.reset();
        m_noTemporaryFolder = m_arm = false;
        m_questions = m_holds = m_terminated = 0;
    }
    void cleanup() { m_c.reset(); }
    void folderDecidesWhetherInstallStarts_data();
    void folderDecidesWhetherInstallStarts();
    void downloadFailurePolicy_data();
    void downloadFailurePolicy();
    void cutTransferResumesAndRetryStartsAfresh();
    void failedInstallationShowsTheSheet();
    void noPrivateFolderNoDownload();
    void progressArithmetic();
    void leaving_data();
    void leaving();
    void downloadFinishingAsTheUserLeavesIsNotInstalled();
    void installStartingDuringTheQuestionKeepsTheWindow();
    void startNowLaunchesAndCloses();
    void smallerActions();
};

void TstSetupFlow::folderDecidesWhetherInstallStarts_data()
{
    QTest::addColumn<QString>("text");   // <dir> stands for a writable folder
    QTest::addColumn<QString>("folder"); // where it installs; empty: no download
    QTest::newRow("empty") << u""_s << u""_s;
    QTest::newRow("blanks") << u"  \t"_s << u""_s;
    QTest::newRow("home") << u"~/Apps"_s << QDir::homePath() + u"/Apps"_s;
    QTest::newRow("relative") << u"Apps"_s << u""_s;
    QTest::newRow("line break") << u"<dir>\n"_s << u"<dir>"_s; // escaped in the log
    QTest::newRow("blanks around") << u"  <dir> "_s << u"<dir>"_s;
}

void TstSetupFlow::folderDecidesWhetherInstallStarts()
{
    QFETCH(QString, text);
    QFETCH(QString, folder);
    MainWindowController &c = open();
    text.replace(u"<dir>"_s, path(u"Apps"_s));
    folder.replace(u"<dir>"_s, path(u"Apps"_s));
    c.locationField->setText(text);
    QTest::mouseClick(c.installButton, Qt::LeftButton);
    if (folder.isEmpty()) {
        QVERIFY(c.settingsShown && !c.downloader && !c.installView->isVisible());
        QCOMPARE(m_sheets, QList<Alert>{Alert(c.L().chooseLocation, Dialogs::AlertStyle::Warning)});
        QVERIFY(events().isEmpty() && flowLog().isEmpty());
        return;
    }
    QTRY_VERIFY(installed());
    QCOMPARE(c.installedApp.value_or(QString()), folder + u"/Quorvel.app"_s);
    QVERIFY(QFile::exists(folder + u"/Quorvel.app/AppRun"_s));
    QVERIFY(!QFile::exists(c.destFile) && m_sheets.isEmpty());
    QCOMPARE(events(), (QStringList{u"install_start"_s, u"install_success"_s}));
    QCOMPARE(flowLog(),
             (QStringList{
                 QString(u"FLOW: Install clicked, dir=\""_s + text + u'"').replace(u'\n', u"\\n"_s),
                 u"FLOW: architecture URL -> "_s + m_server->url(u"/quorvel.dmg"_s),
                 u"FLOW: download complete"_s, u"FLOW: installing Quorvel.app into "_s + folder,
                 u"FLOW: install SUCCESS, app="_s + folder + u"/Quorvel.app"_s}));
    QVERIFY(c.finishView->isVisible() && !c.installView->isVisible() && !c.activityToken);
    QVERIFY(!c.installTimer && c.progress->doubleValue() == 1000);
    QCOMPARE(c.instStatus->text(), c.L().installingWait + u"  100%"_s);
}

void TstSetupFlow::downloadFailurePolicy_data()
{
    QTest::addColumn<QList<int>>("statuses"); // answers before the image
    QTest::addColumn<int>("retries");         // automatic retries made
    QTest::addColumn<bool>("givesUp");
    QTest::newRow("refused at once") << QList<int>{404} << 0 << true;
    QTest::newRow("retried three times, then given up")
        << QList<int>{503, 503, 503, 503} << 3 << true;
    QTest::newRow("three failures, then the image") << QList<int>{503, 429, 408} << 3 << false;
}

void TstSetupFlow::downloadFailurePolicy()
{
    QFETCH(QList<int>, statuses);
    QFETCH(int, retries);
    QFETCH(bool, givesUp);
    QList<Response> answers;
    for (int status : statuses)
        answers << Response{.status = status, .body = "no"};
    serve(answers);
    MainWindowController &c = open();
    c.locationField->setText(path(u"Apps"_s));
    c.installClicked();
    for (int n = 1; n <= retries; ++n) {
        retryAfter(n);
        QVERIFY(c.installView->isVisible() && c.activityToken && m_holds == 1);
    }
    QStringList expected{u"install_start"_s};
    for (int n = 0; n < retries; ++n)
        expected << u"install_retry download_error_http_%1"_s.arg(statuses[n]);
    if (!givesUp) {
        QTRY_VERIFY(installed());
        QCOMPARE(events(), expected << u"install_success"_s);
        return;
    }
    QTRY_VERIFY(c.offlineLink->isVisible());
    QCOMPARE(events(), expected << u"install_failed download_error_http_%1"_s.arg(statuses.last()));
    QCOMPARE(flowLog().mid(flowLog().size() - 2),
             (QStringList{
                 u"FLOW: download FAILED (HTTP %1): Server returned HTTP %1"_s.arg(statuses.last()),
                 u"FLOW: download FAILED after %1 retries, giving up"_s.arg(retries)}));
    QVERIFY(!c.installView->isVisible() && !c.acceptCheck->isVisible() &&
            !c.settingsLink->isVisible() && !c.activityToken && m_sheets.isEmpty());
    QCOMPARE(c.installButton->title(), c.L().btnRetry);
    QVERIFY(c.installButton->isEnabled() && c.locationField->isEnabled());
    QCOMPARE(c.statusLabel->text(), c.L().installFailed);
    QCOMPARE(c.detailLabel->text(), u"Server returned HTTP %1"_s.arg(statuses.last()));

    // The offline link opens the image in the browser and leaves without a question.
    QTest::mouseClick(c.offlineLink, Qt::LeftButton);
    QCOMPARE(m_opened, QList<QUrl>{QUrl(m_server->url(u"/quorvel.dmg"_s))});
    QVERIFY(c.closing && m_terminated == 1 && m_questions == 0);
    QCOMPARE(events().last(), u"offline_download"_s);
}

void TstSetupFlow::cutTransferResumesAndRetryStartsAfresh()
{
    // Every attempt is cut 1000 bytes further on: each resumes the last, until it gives up.
    const Response cut{.body = kImage, .cutAfter = 1000, .etag = "\"v1\""};
    serve({cut, cut, cut, cut});
    MainWindowController &c = open();
    c.locationField->setText(path(u"Apps"_s));
    c.installClicked();
    for (int n = 1; n <= 3; ++n)
        retryAfter(n);
    QTRY_VERIFY(c.offlineLink->isVisible());
    QStringList ranges;
    for (const RecordedRequest &r : imageRequests())
        ranges << QString::fromLatin1(r.headers.value("range"));
    QCOMPARE(ranges,
             (QStringList{QString(), u"bytes=1000-"_s, u"bytes=2000-"_s, u"bytes=3000-"_s}));
    QVERIFY(c.pendingResumeData && QFile::exists(Downloader::partialPath(c.destFile)));

    // Retry drops what was left and starts from the first byte.
    QTest::mouseClick(c.installButton, Qt::LeftButton);
    QVERIFY(!c.pendingResumeData);
    QTRY_VERIFY(installed());
    QVERIFY(!imageRequests().last().headers.contains("range"));
    QVERIFY(!QFile::exists(Downloader::partialPath(c.destFile)));
    QCOMPARE(events().filter(u"install_start"_s).size(), 2);
}

void TstSetupFlow::failedInstallationShowsTheSheet()
{
    MainWindowController &c = open("exit 1");
    c.locationField->setText(path(u"Apps"_s));
    c.installClicked();
    QTRY_VERIFY(!m_sheets.isEmpty());
    const QString error = u"Could not mount the disk image."_s;
    QCOMPARE(m_sheets, QList<Alert>{Alert(error, Dialogs::AlertStyle::Critical)});
    QCOMPARE(events(), (QStringList{u"install_start"_s, u"install_failed copy_error"_s}));
    QCOMPARE(flowLog().mid(flowLog().size() - 2),
             (QStringList{u"FLOW: install FAILED: "_s + error,
                          u"FLOW: failure shown to user: "_s + error}));
    QVERIFY(!c.offlineLink->isVisible() && !c.acceptCheck->isVisible() && !c.installing);
    QVERIFY(!QFile::exists(c.destFile) && !c.activityToken && !c.installTimer);
    QCOMPARE(c.installButton->title(), c.L().btnRetry);
    QCOMPARE(c.detailLabel->text(), error);
}

void TstSetupFlow::noPrivateFolderNoDownload()
{
    m_noTemporaryFolder = true;
    MainWindowController &c = open();
    c.locationField->setText(path(u"Apps"_s));
    c.installClicked();
    for (int n = 1; n <= 3; ++n)
        retryAfter(n);
    QTRY_COMPARE(c.detailLabel->text(), u"No private folder for the download."_s);
    QCOMPARE(m_server->requestCount("/quorvel.dmg"), 0);
}

void TstSetupFlow::progressArithmetic()
{
    MainWindowController &c = open();
    const QString wait = c.L().installingWait;
    const QList<std::tuple<qint64, qint64, double, QString>> rows = {
        {99, 100, 890, u"89%"_s},
        {50, 100, 450, u"45%"_s},
        {100, 100, 900, u"90%"_s},
        {0, 100, 0, u"0%"_s},
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
    c.downloadProgress(50, 100); // stays without a bar until the next attempt
    QVERIFY(c.progress->isIndeterminate());

    // Installing creeps by 2 every tick up to 990: 99 % after 45 ticks, and there it stays.
    c.progress->setIndeterminate(false);
    c.progress->setDoubleValue(900);
    for (int tick = 1; tick <= 46; ++tick)
        c.creepInstall();
    QCOMPARE(c.progress->doubleValue(), 990.0);
    QCOMPARE(c.instStatus->text(), wait + u"  99%"_s);
}

void TstSetupFlow::leaving_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<QStringList>("log"); // after leaving was asked for
    QTest::addColumn<bool>("closed");
    const QString ok = u"UI: user confirmed exit"_s,
                  blocked = u"UI: close blocked, install in progress"_s;
    QTest::newRow("ready, OK") << u"ready"_s << true << QStringList{ok} << true;
    QTest::newRow("ready, Cancel") << u"ready"_s << false << QStringList{} << false;
    QTest::newRow("downloading, OK")
        << u"downloading"_s << true << QStringList{ok, u"FLOW: download cancelled, closing"_s}
        << true;
    QTest::newRow("waiting to retry, OK") << u"waiting"_s << true << QStringList{ok} << true;
    QTest::newRow("installing") << u"installing"_s << true << QStringList{blocked} << false;
    QTest::newRow("finished") << u"finished"_s << true << QStringList{} << true;
}

void TstSetupFlow::leaving()
{
    QFETCH(QString, state);
    QFETCH(bool, answer);
    QFETCH(QStringList, log);
    QFETCH(bool, closed);
    if (state == u"downloading"_s)
        serve({Response{.body = kImage, .stallAfter = 1000}});
    else if (state == u"waiting"_s)
        serve({Response{.body = kImage, .cutAfter = 1000, .etag = "\"v1\""}});
    MainWindowController &c =
        open(state == u"installing"_s ? "sleep 2; cat \"$PLIST\"" : "cat \"$PLIST\"");
    c.locationField->setText(path(u"Apps"_s));
    if (state != u"ready"_s)
        c.installClicked();
    if (state == u"downloading"_s)
        QTRY_VERIFY(m_server->requestCount("/quorvel.dmg") == 1);
    if (state == u"waiting"_s)
        QTRY_VERIFY(c.retryTimer && QFile::exists(Downloader::partialPath(c.destFile)));
    if (state == u"installing"_s)
        QTRY_VERIFY(c.installing);
    if (state == u"finished"_s)
        QTRY_VERIFY(installed());

    m_answers = {answer};
    const qsizetype mark = flowLog().size();
    QMetaObject::invokeMethod(c.window.get(), "close");
    QTRY_COMPARE(m_terminated, closed ? 1 : 0);
    QTest::qWait(50);
    QCOMPARE(flowLog().mid(mark), log);
    QCOMPARE(m_terminated, closed ? 1 : 0);
    QCOMPARE(c.window->isVisible(), !closed);
    QCOMPARE(m_questions, state == u"installing"_s || state == u"finished"_s ? 0 : 1);
    QCOMPARE(events().contains(u"install_cancelled"_s), state == u"downloading"_s);
    if (state == u"installing"_s)
        QCOMPARE(c.instStatus->text(), c.L().installInProgress);
    if (state == u"installing"_s)
        QTRY_VERIFY(installed()); // let the fake tools finish before their folder goes
    if (closed)
        QVERIFY(!c.retryTimer && !c.activityToken &&
                !QFile::exists(Downloader::partialPath(c.destFile)));
}

void TstSetupFlow::downloadFinishingAsTheUserLeavesIsNotInstalled()
{
    serve({Response{.body = kImage, .chunkBytes = 8192, .chunkIntervalMs = 20}});
    MainWindowController &c = open();
    c.locationField->setText(path(u"Apps"_s));
    c.installClicked();
    // The cancel came too late: the transfer completes all the same.
    c.closing = true;
    QTRY_COMPARE(m_terminated, 1);
    QVERIFY(!c.installer && !c.installing && !QFile::exists(c.destFile));
    QVERIFY(!QFile::exists(path(u"Apps/Quorvel.app"_s)));
}

void TstSetupFlow::installStartingDuringTheQuestionKeepsTheWindow()
{
    serve({Response{.body = kImage, .chunkBytes = 8192, .chunkIntervalMs = 20}});
    MainWindowController &c = open("sleep 1; cat \"$PLIST\"");
    c.locationField->setText(path(u"Apps"_s));
    c.installClicked();
    // While the question is open the download completes and the installation begins.
    // Asked to close again meanwhile, it does not ask twice.
    m_whileAsking = [&c] {
        QTRY_VERIFY(c.installing);
        c.window->close(); // Qt lets no close in while one is under way
    };
    m_answers = {true};
    c.window->close();
    QVERIFY(!c.closing && c.window->isVisible() && m_terminated == 0 && m_questions == 1);
    QCOMPARE(flowLog().last(), u"UI: close blocked, install in progress"_s);
    QCOMPARE(c.instStatus->text(), c.L().installInProgress);
    QTRY_VERIFY(installed());
}

void TstSetupFlow::startNowLaunchesAndCloses()
{
    MainWindowController &c = open();
    c.locationField->setText(path(u"Apps"_s));
    c.installClicked();
    QTRY_VERIFY(installed());
    QTest::mouseClick(c.startButton, Qt::LeftButton);
    QCOMPARE(m_launched, QStringList{path(u"Apps/Quorvel.app"_s)});
    QCOMPARE(flowLog().last(), u"FLOW: Start Now, launching "_s + path(u"Apps/Quorvel.app"_s));
    QVERIFY(m_terminated == 1 && m_questions == 0 && !c.window->isVisible());
}

void TstSetupFlow::smallerActions()
{
    MainWindowController &c = open();
    // The accept box: a box that is not ticked, or only half, keeps Install disabled.
    for (auto [state, enabled] :
         {std::pair(Qt::Unchecked, false), std::pair(Qt::PartiallyChecked, false),
          std::pair(Qt::Checked, true)}) {
        c.acceptCheck->setCheckState(state);
        c.acceptToggled();
        QCOMPARE(c.installButton->isEnabled(), enabled);
        c.setBusy(true);
        QVERIFY(!c.installButton->isEnabled() && !c.locationField->isEnabled());
        c.setBusy(false);
        QCOMPARE(c.installButton->isEnabled(), enabled);
    }

    // An Arm machine gets the second image, asked afresh each time.
    m_arm = true;
    QCOMPARE(c.installerURL(), m_server->url(u"/quorvel.silicon.dmg"_s));

    // The links open their pages, whatever the language.
    QTest::mouseClick(c.privacyLink, Qt::LeftButton);
    QTest::mouseClick(c.licenseLink, Qt::LeftButton);
    QCOMPARE(m_opened, (QList<QUrl>{QUrl(u"https://example.invalid/privacy-policy/"_s),
                                    QUrl(u"https://example.invalid/user-license-agreement/"_s)}));

    // Browse: cancelled changes nothing; chosen replaces the folder and says so.
    c.browseClicked();
    QCOMPARE(c.locationField->text(), u"/Applications"_s);
    m_chosenFolder = u"/opt/Apps"_s;
    c.browseClicked();
    QCOMPARE(c.locationField->text(), u"/opt/Apps"_s);
    QCOMPARE(m_folderTitles, QStringList(2, c.L().selectFolder));
    QCOMPARE(flowLog(), QStringList{u"UI: install dir set to /opt/Apps"_s});
    QVERIFY(events().isEmpty() && m_holds == 0);
}

QTEST_MAIN(TstSetupFlow)
#include "tst_setup_flow.moc"
