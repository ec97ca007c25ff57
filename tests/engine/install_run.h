#pragma once

#include "diag/log.h"
#include "engine/dmg_installer.h"
#include "log_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <functional>

// What one installation reported, as the caller sees it on the main thread.
struct InstallRun
{
    QStringList stages;
    int completions = 0;
    bool success = false;
    std::optional<QString> app;
    std::optional<QString> error;
    QStringList log; // the installer's lines, prefix included
    std::function<void()> whenComplete;
};

// Runs one installation until its worker has returned (the detach included) and every
// posted callback has run.
inline void runInstaller(InstallRun &r, const QString &dmg, const QString &appName,
                         const QString &destDir, const SystemTools &tools)
{
    if (ITLogFilePath().isNull())
        ITLog("TEST: log started"); // so the mark counts earlier runs' lines
    const qsizetype mark = LogReader::mark();
    {
        auto installer = std::make_shared<DMGInstaller>(dmg, appName, destDir, tools);
        installer->onStatus = [&r](const QString &stage) { r.stages << stage; };
        installer->onComplete = [&r](bool success, const std::optional<QString> &app,
                                     const std::optional<QString> &error) {
            ++r.completions;
            r.success = success;
            r.app = app;
            r.error = error;
            if (r.whenComplete)
                r.whenComplete();
        };
        installer->start();
    } // the worker alone keeps it alive now
    QTRY_VERIFY_WITH_TIMEOUT(r.completions > 0, 120000);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    for (const QString &line : LogReader::messagesSince(mark))
        if (line.startsWith(QLatin1String("INST: ")))
            r.log << line;
}

// A fresh folder inside the test's private tree; check isValid().
inline std::unique_ptr<QTemporaryDir> testTempDir(const QString &pattern)
{
    const QString base = qEnvironmentVariable("QUORVEL_TEST_TMP");
    QDir().mkpath(base);
    return std::make_unique<QTemporaryDir>(base + u'/' + pattern);
}

inline bool writeFile(const QString &path, const QByteArray &content,
                      QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(content) == content.size() && f.setPermissions(perms);
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
