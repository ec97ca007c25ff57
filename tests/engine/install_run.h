#pragma once

#include "diag/log.h"
#include "engine/dmg_installer.h"
#include "log_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <functional>
#include <unistd.h>

// What one installation reported, as the caller sees it on the main thread.
struct InstallRun
{
    QStringList stages;
    int completions = 0;
    bool success = false;
    std::optional<QString> app, error;
    QStringList log; // the installer's lines, prefix included
};

// Installs `appName` from `dmg` and waits until the worker has returned (the detach included)
// and every posted callback has run; checks nothing, so a program outside a test can use it.
inline InstallRun collectInstall(const QString &dmg, const QString &destDir,
                                 const SystemTools &tools,
                                 const std::function<void()> &whenComplete = {},
                                 const QString &appName = QStringLiteral("Quorvel.app"))
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
            ++r.completions;
            r.success = success;
            r.app = app;
            r.error = error;
            if (whenComplete)
                whenComplete();
        };
        installer->start();
    } // the worker alone keeps it alive now
    static_cast<void>(QTest::qWaitFor([&r] { return r.completions > 0; }, 120000));
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    r.log = LogReader::messagesSince(mark).filter(QRegularExpression(QStringLiteral("^INST: ")));
    return r;
}

// The same, in a test: every run ends with exactly one completion, which carries the app on
// success and the error otherwise.
inline InstallRun runInstaller(const QString &dmg, const QString &destDir, const SystemTools &tools,
                               const std::function<void()> &whenComplete = {},
                               const QString &appName = QStringLiteral("Quorvel.app"))
{
    InstallRun r = collectInstall(dmg, destDir, tools, whenComplete, appName);
    QTest::qCompare(r.completions, 1, "completions", "1", __FILE__, __LINE__);
    QTest::qVerify(r.app.has_value() == r.success && r.error.has_value() != r.success,
                   "app only on success, error only on failure", "", __FILE__, __LINE__);
    return r;
}

// A fresh folder inside the test's private tree; check isValid().
inline std::unique_ptr<QTemporaryDir> testTempDir(const QString &pattern)
{
    const QString base = qEnvironmentVariable("QUORVEL_TEST_TMP");
    QDir().mkpath(base);
    return std::make_unique<QTemporaryDir>(base + u'/' + pattern);
}

inline bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(content) == content.size() &&
           f.setPermissions(QFile::ReadOwner | QFile::WriteOwner |
                            (executable ? QFile::ExeOwner : QFile::Permissions()));
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every name in `dir`, hidden ones included, sorted.
inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Sets or clears the immutable flag (root only, where the file system has it): nothing, not
// even root, can then change, rename or remove the entry, or, for a folder, what it holds.
inline bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute(QStringLiteral("/usr/bin/chattr"),
                             {on ? QStringLiteral("+i") : QStringLiteral("-i"), path}) == 0;
}
