#pragma once

#include "diag/log.h"
#include "engine/dmg_installer.h"
#include "log_reader.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

const QString kMountFailed = u"Could not mount the disk image."_s;
const QString kNotFound = u"The application was not found in the disk image."_s;
const QString kCancelled = u"Installation was cancelled at the authorization prompt."_s;
const QString kCopyFailed = u"Could not copy the application to the install location."_s;

// What one installation reported, as the caller sees it on the main thread.
struct InstallRun
{
    QStringList stages;
    int completions = 0;
    bool success = false;
    std::optional<QString> app, error;
    QStringList log; // the installer's lines, prefix included

    // One completion, which carries the app on success and the error otherwise.
    bool whole() const
    {
        return completions == 1 && app.has_value() == success && error.has_value() != success;
    }
};

// Installs `appName` from `dmg` and waits until the worker has returned (the detach included)
// and every posted callback has run; in a test, the run must be whole().
inline InstallRun collectInstall(const QString &dmg, const QString &destDir,
                                 const SystemTools &tools,
                                 const std::function<void()> &whenComplete = {},
                                 const QString &appName = u"Quorvel.app"_s)
{
    if (ITLogFilePath().isNull())
        ITLog("TEST: log started"); // so the mark counts earlier runs' lines
    const qsizetype mark = LogReader::mark();
    InstallRun r;
    {
        auto installer = std::make_shared<DMGInstaller>(dmg, appName, destDir, tools);
        installer->onStatus = [&r](const QString &stage) { r.stages << stage; };
        installer->onComplete = [&](bool success, const std::optional<QString> &app,
                                    const std::optional<QString> &error) {
            r = {r.stages, r.completions + 1, success, app, error, {}};
            if (whenComplete)
                whenComplete();
        };
        installer->start();
    } // the worker alone keeps it alive now
    static_cast<void>(QTest::qWaitFor([&r] { return r.completions > 0; }, 120000));
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    r.log = LogReader::messagesSince(mark).filter(QRegularExpression(u"^INST: "_s));
    if (QTest::currentTestFunction())
        QTest::qVerify(r.whole(), "whole()", "", __FILE__, __LINE__);
    return r;
}

// Sets or clears the immutable flag (root only, where the file system has it): nothing, not
// even root, can then change, rename or remove the entry, or, for a folder, what it holds.
inline bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute(u"/usr/bin/chattr"_s, {on ? u"+i"_s : u"-i"_s, path}) == 0;
}

// A fake attach's shell lines: entities carrying these mount points (null: no such key).
inline QByteArray attachPrints(const QStringList &mountPoints)
{
    QByteArray xml = "cat <<'EOF'\n<plist version=\"1.0\"><dict><key>system-entities</key><array>";
    for (const QString &mp : mountPoints)
        xml += mp.isNull() ? "<dict/>"_ba
                           : QByteArray("<dict><key>mount-point</key><string>" + mp.toUtf8() +
                                        "</string></dict>");
    return xml + "</array></dict></plist>\nEOF";
}
