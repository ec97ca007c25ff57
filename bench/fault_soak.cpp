// The whole setup under faults. Each run is one setup process (this program with --child): the
// real window offscreen, the real downloader and installer, the real tool stand-ins, fetching a
// SquashFS image of about 50 MiB over HTTPS on loopback from the server in this process, which
// follows a random fault plan: cuts, 5xx answers, stalls past the (shortened) idle time-out,
// ignored ranges, the file changing between attempts, and a kill -9 of the setup while it
// copies, followed by a new run. After every run it checks what the user and the disk are left
// with, then prints the figures.
//   fault_soak [--runs N] [--seed S]   exits non-zero when a target is missed
#include "app/main_window_controller.h"
#include "diag/log.h"
#include "engine/stale_runs.h"
#include "platform/paths.h"
#include "platform/tree_copy.h"
#include "real_tools.h"
#include "test_ca.h"
#include "test_server.h"
#include "ui/installer_window.h"
#include "ui/main_view.h"
#include "ui/settings_panel.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <map>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kFolderCount = 3, kFilesPerFolder = 4;
constexpr qint64 kFileBytes = 4 << 20; // 12 files of 4 MiB: about 50 MiB of image
constexpr auto kIdleTimeout = 1s;
const QString kBundle = u"Quorvel.app"_s;

// ---- One setup process -------------------------------------------------------------------

// Installs into DEST from BASE_URL as a user who accepts, presses Install and waits; the
// pauses between retries are skipped. Prints "success" or "failed: <what the user saw>".
int child(const QString &baseUrl, const QString &caFile, const QString &dest)
{
    MainWindowController::Settings s;
    SetupFlow::Settings &f = s.flow;
    f.downloadBaseUrl = baseUrl;
    f.websiteBaseUrl = u"https://example.invalid"_s;
    f.caFile = caFile;
    f.idleTimeout = kIdleTimeout;
    f.tools = standInTools();
    f.retryPause = 0ms;
    f.platform = {[](const QUrl &) { return false; },
                  [](const QString &) { return false; },
                  [](const QString &) { return std::shared_ptr<void>(); },
                  [] { return false; },
                  [] {},
                  {}};
    QString sheet;
    s.dialogs = {[&sheet](QWidget *, const QString &, const QString &message, Dialogs::AlertStyle) {
                     sheet = message;
                 },
                 [](QWidget *, const QString &, const QString &) { return false; }, [] {},
                 [](QWidget *, const QString &, const QString &) { return std::nullopt; }};
    MainWindowController c(s);
    QThreadPool::globalInstance()->start(
        [&f] { StaleRuns::sweep(f.tools, Paths::privateFolderBases()); });
    c.window().show();
    c.window().settingsPanel()->setFolderText(dest);
    emit c.window().mainView()->installClicked();

    int rc = 2;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const SetupFlow &flow = c.flow();
        if (flow.phase() == SetupFlow::Phase::Finished) {
            std::printf("success\n");
            rc = 0;
        } else if (flow.phase() == SetupFlow::Phase::Failed) {
            std::printf("failed: %s\n", qPrintable(sheet.isEmpty() ? flow.failureDetail() : sheet));
            rc = 1;
        } else {
            return;
        }
        QApplication::exit(rc); // not quit(): that would ask the window, as a close does
    });
    poll.start(20);
    QApplication::exec();
    // The ending of the setup itself: the installer's detach, the private folder, the log.
    QThreadPool::globalInstance()->waitForDone(10000);
    Paths::removePrivateTemporaryFolder();
    ITLogFlush(1000);
    std::fflush(stdout);
    ::_exit(rc);
}

// ---- The soak ----------------------------------------------------------------------------

struct Attempt
{
    enum Failure
    {
        None,
        Cut,
        Status,
        Stall
    } failure = None;
    qint64 at = 0;  // where in the file a cut or stall comes
    int status = 0; // of a 5xx answer
    bool ignoreRanges = false;
    bool changed = false; // the file on the server changes before this attempt
};

struct Plan
{
    QList<Attempt> attempts;
    int failing = 0;
    int killAfterMs = -1; // into the copy; -1: no kill
};

QByteArray linkText(const QString &path)
{
    char target[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return n < 0 ? QByteArray() : QByteArray(target, n);
}

// Relative path -> content digest, of every file, link and folder below `root`.
using Manifest = std::map<QString, QByteArray>;

Manifest manifestOf(const QString &root)
{
    Manifest m;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        QByteArray digest = info.isSymLink() ? "link " + linkText(info.filePath())
                            : info.isDir()   ? "folder"_ba
                                             : QByteArray();
        if (digest.isEmpty()) {
            QFile f(info.filePath());
            QCryptographicHash hash(QCryptographicHash::Sha256);
            digest = f.open(QIODevice::ReadOnly) && hash.addData(&f) ? hash.result() : "unreadable";
        }
        m[info.filePath().mid(root.size())] = digest;
    }
    return m;
}

// Byte ranges of one file the server has sent, to find bytes it sends twice.
class SentBytes
{
public:
    qint64 add(qint64 from, qint64 to) // returns how many of them were sent before
    {
        qint64 again = 0;
        for (const auto &[a, b] : m_ranges)
            again += std::max<qint64>(0, std::min(b, to) - std::max(a, from));
        m_ranges.append({from, to});
        return again;
    }
    void clear() { m_ranges.clear(); }

private:
    QList<std::pair<qint64, qint64>> m_ranges;
};

class Soak
{
public:
    Soak(QString work, quint64 seed) : m_work(std::move(work)), m_random(seed) {}

    bool prepare();
    void runAll(int runs);
    bool report(int runs) const;

private:
    Plan randomPlan();
    QProcessEnvironment childEnvironment() const;
    QString runChild(int killAfterMs, bool *killed);
    void runOnce();
    void checkLeftovers(const QString &when);
    QStringList leftovers() const;

    QString m_work, m_dest;
    QRandomGenerator m_random;
    TestServer m_server;
    QByteArray m_images[2], m_etags[2] = {"\"a\"", "\"b\""};
    Manifest m_bundles[2];
    int m_version = 0; // served now
    Plan m_plan;
    qsizetype m_attempt = 0;
    std::map<QByteArray, SentBytes> m_sent;
    // Figures.
    int m_possible = 0, m_succeeded = 0, m_impossible = 0, m_failedAsExpected = 0, m_kills = 0;
    qint64 m_sentTwice = 0;
    QStringList m_lostOrMixed, m_left, m_wrong;
};

bool Soak::prepare()
{
    m_dest = m_work + u"/Applications"_s;
    for (int v = 0; v < 2; ++v) {
        const QString tree = m_work + u"/tree%1"_s.arg(v), app = tree + u'/' + kBundle;
        if (!QDir().mkpath(app + u"/usr/bin"_s))
            return false;
        QFile run(app + u"/usr/bin/run"_s);
        if (!run.open(QIODevice::WriteOnly) ||
            run.write("#!/bin/sh\necho version " + QByteArray::number(v) + '\n') < 0)
            return false;
        run.close();
        run.setPermissions(run.permissions() | QFile::ExeOwner);
        QFile::link(u"usr/bin/run"_s, app + u"/AppRun"_s);
        // The versions share no file name below data-N, so a mix of the two shows.
        for (int d = 0; d < kFolderCount; ++d) {
            const QString folder = app + u"/data-%1/v%2"_s.arg(d).arg(v);
            QDir().mkpath(folder);
            for (int f = 0; f < kFilesPerFolder; ++f) {
                QByteArray bytes(kFileBytes, Qt::Uninitialized);
                m_random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), kFileBytes / 4);
                QFile out(folder + u"/part%1"_s.arg(f));
                if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != kFileBytes)
                    return false;
            }
        }
        const QString image = m_work + u"/image%1.dmg"_s.arg(v);
        QFile file(image);
        if (!makeImage(tree, image) || !file.open(QIODevice::ReadOnly))
            return false;
        m_images[v] = file.readAll();
        m_bundles[v] = manifestOf(app);
    }
    // The old bundle the first run replaces.
    if (!QDir().mkpath(m_dest) || !QDir().mkpath(m_work + u"/tmp"_s) ||
        !QDir().mkpath(m_work + u"/runtime"_s) ||
        !QFile::setPermissions(m_work + u"/runtime"_s,
                               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) ||
        !TreeCopy::copyTree(QFile::encodeName(m_work + u"/tree1/"_s + kBundle).toStdString(),
                            QFile::encodeName(m_dest + u'/' + kBundle).toStdString())
             .empty())
        return false;

    m_server.setHandler("/quorvel.dmg", [this](const RecordedRequest &req) {
        const Attempt a = m_plan.attempts.value(m_attempt++);
        if (a.changed)
            m_version ^= 1;
        if (a.failure == Attempt::Status)
            return Response{.status = a.status, .body = "busy"};
        Response r{.body = m_images[m_version], .etag = m_etags[m_version]};
        r.honourRanges = !a.ignoreRanges;
        // Where the body will start, so that the fault lands at its place in the file.
        const bool resumed = r.honourRanges && req.headers.value("if-range") == r.etag;
        const qint64 start =
            resumed ? req.headers.value("range").mid(6).split('-').first().toLongLong() : 0;
        const qint64 after = std::max<qint64>(0, a.at - start);
        if (a.failure == Attempt::Cut)
            r.cutAfter = after;
        if (a.failure == Attempt::Stall)
            r.stallAfter = after;
        return r;
    });
    m_server.bodySent = [this](const RecordedRequest &req, const Response &r, qint64 first,
                               qint64 count) {
        if (r.etag.isEmpty())
            return; // an error page
        // Sent again by right: ranges ignored, or the client's copy is of another version.
        const QByteArray ifRange = req.headers.value("if-range");
        if (!r.honourRanges || (!ifRange.isEmpty() && ifRange != r.etag))
            return m_sent[r.etag].clear();
        m_sentTwice += m_sent[r.etag].add(first, first + count);
    };
    return true;
}

Plan Soak::randomPlan()
{
    Plan p;
    const qint64 size = std::min(m_images[0].size(), m_images[1].size());
    const int attempts = m_random.bounded(1, 6);
    for (int i = 0; i < attempts; ++i) {
        Attempt a;
        a.changed = m_random.bounded(10) == 0;
        a.ignoreRanges = m_random.bounded(6) == 0;
        if (i + 1 < attempts) { // every attempt but the last fails
            a.failure = static_cast<Attempt::Failure>(m_random.bounded(1, 4));
            a.at = m_random.bounded(size);
            const int statuses[] = {500, 502, 503};
            a.status = statuses[m_random.bounded(3)];
            ++p.failing;
        }
        p.attempts << a;
    }
    if (m_random.bounded(4) == 0)
        p.killAfterMs = m_random.bounded(80); // a copy here takes some 60 ms
    return p;
}

QProcessEnvironment Soak::childEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"TMPDIR"_s, m_work + u"/tmp"_s); // the private folder and the mount points
    env.insert(u"XDG_RUNTIME_DIR"_s, m_work + u"/runtime"_s);
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.insert(u"LANGUAGE"_s, u"en"_s);
    return env;
}

QString Soak::runChild(int killAfterMs, bool *killed)
{
    QProcess setup;
    setup.setStandardErrorFile(m_work + u"/setup-errors.log"_s, QIODevice::Append);
    setup.setProcessEnvironment(childEnvironment());
    QEventLoop loop;
    QObject::connect(&setup, &QProcess::finished, &loop, &QEventLoop::quit);
    // The kill lands a random time after the copy has begun beside the installed bundle.
    QTimer watch;
    *killed = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (QDir(m_dest)
                .entryList({u"."_s + kBundle + u".installing-*"_s}, QDir::Dirs | QDir::Hidden)
                .isEmpty())
            return;
        watch.stop();
        QTimer::singleShot(killAfterMs, &setup, [&] {
            *killed = setup.state() == QProcess::Running && ::kill(setup.processId(), SIGKILL) == 0;
        });
    });
    if (killAfterMs >= 0)
        watch.start(1);
    QTimer::singleShot(2min, &loop, [&] { setup.kill(); }); // a hang is a failure too
    setup.start(QCoreApplication::applicationFilePath(),
                {u"--child"_s, m_server.url(QString()), TestCa::instance().caFile, m_dest});
    loop.exec();
    return QString::fromUtf8(setup.readAllStandardOutput()).trimmed();
}

void Soak::runOnce()
{
    // The server offers the version that is not installed, so a lost or mixed bundle shows.
    const Manifest before = manifestOf(m_dest + u'/' + kBundle);
    m_version = before == m_bundles[0] ? 1 : 0;
    m_plan = randomPlan();
    m_attempt = 0;
    m_sent.clear();
    bool killed = false;
    const QString outcome = runChild(m_plan.killAfterMs, &killed);
    std::fprintf(stderr, "run: %lld attempts, %d failing, %s\n",
                 static_cast<long long>(m_plan.attempts.size()), m_plan.failing,
                 killed ? "killed" : qPrintable(outcome.isEmpty() ? u"no answer"_s : outcome));

    const Manifest after = manifestOf(m_dest + u'/' + kBundle);
    const bool intact = after == before || after == m_bundles[0] || after == m_bundles[1];
    if (!intact)
        m_lostOrMixed
            << u"after %1: %2 entries"_s.arg(killed ? u"a kill"_s : outcome).arg(after.size());
    if (killed) {
        ++m_kills;
        // A new run finds what the killed one left and ends the work.
        m_plan = {};
        m_attempt = 0;
        m_sent.clear();
        const QString again = runChild(-1, &killed);
        if (again != u"success"_s || manifestOf(m_dest + u'/' + kBundle) != m_bundles[m_version])
            m_wrong << u"the run after a kill: %1"_s.arg(again);
        return checkLeftovers(u"after a kill and a new run"_s);
    }
    // With three automatic retries, four failed attempts are one too many.
    const bool possible = m_plan.failing <= 3;
    ++(possible ? m_possible : m_impossible);
    if (possible && outcome == u"success"_s && after == m_bundles[m_version])
        ++m_succeeded;
    else if (!possible && outcome.startsWith(u"failed"_s) && after == before)
        ++m_failedAsExpected;
    else
        m_wrong << u"%1 failing attempts: %2"_s.arg(m_plan.failing).arg(outcome);
    checkLeftovers(outcome);
}

QStringList Soak::leftovers() const
{
    QStringList found;
    const QString tmp = m_work + u"/tmp"_s;
    for (const QString &name : QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
        found << tmp + u'/' + name; // mount points, private folders, partial files, images
    for (const QString &name :
         QDir(m_dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        if (name != kBundle)
            found << m_dest + u'/' + name; // staging or set-aside bundles
    return found;
}

void Soak::checkLeftovers(const QString &when)
{
    // Cleared once counted, so that each leftover is counted once.
    for (const QString &mount : mountsUnder(m_work)) {
        m_left << u"mounted: %1 (%2)"_s.arg(mount, when);
        QProcess detach;
        detach.setProcessEnvironment(childEnvironment());
        detach.start(standIn("hdiutil"), {u"detach"_s, mount, u"-force"_s});
        detach.waitForFinished();
    }
    for (const QString &left : leftovers()) {
        m_left << u"%1 (%2)"_s.arg(left, when);
        if (!QDir(left).removeRecursively())
            QFile::remove(left);
    }
}

void Soak::runAll(int runs)
{
    for (int i = 0; i < runs; ++i)
        runOnce();
}

bool Soak::report(int runs) const
{
    const auto list = [](const QStringList &items) {
        for (const QString &item : items.mid(0, 10))
            std::printf("    %s\n", qPrintable(item));
    };
    std::printf("runs: %d (%d with a kill -9 during the copy, each followed by a new run)\n", runs,
                m_kills);
    std::printf("successes where success was possible: %d of %d (%.1f %%, target 100 %%)\n",
                m_succeeded, m_possible, m_possible ? 100.0 * m_succeeded / m_possible : 100.0);
    std::printf("clean failures where four attempts failed: %d of %d\n", m_failedAsExpected,
                m_impossible);
    list(m_wrong);
    std::printf("bytes sent twice where a validator allowed resuming: %lld (target 0)\n",
                m_sentTwice);
    std::printf("old bundles lost or mixed with the new one: %lld (target 0)\n",
                static_cast<long long>(m_lostOrMixed.size()));
    list(m_lostOrMixed);
    std::printf("mounts, mount points, partial or image files left behind: %lld (target 0)\n",
                static_cast<long long>(m_left.size()));
    list(m_left);
    return m_wrong.isEmpty() && m_sentTwice == 0 && m_lostOrMixed.isEmpty() && m_left.isEmpty();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && argv[1] == std::string_view("--child")) {
        QApplication app(argc, argv);
        return child(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                     QString::fromLocal8Bit(argv[4]));
    }
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int runs =
        args.contains(u"--runs"_s) ? args.value(args.indexOf(u"--runs"_s) + 1).toInt() : 200;
    const quint64 seed = args.contains(u"--seed"_s)
                             ? args.value(args.indexOf(u"--seed"_s) + 1).toULongLong()
                             : QRandomGenerator::system()->generate64();
    std::printf("fault soak: seed %llu\n", static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    QTemporaryDir work(qEnvironmentVariable("QUORVEL_TEST_TMP", QDir::tempPath()) +
                       u"/soak-XXXXXX"_s);
    Soak soak(work.path(), seed);
    if (!work.isValid() || !soak.prepare()) {
        std::fprintf(stderr, "cannot prepare the images\n");
        return 2;
    }
    soak.runAll(runs);
    return soak.report(runs) ? 0 : 1;
}
