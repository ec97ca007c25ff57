#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

// Files as the tests make and read them.

// A fresh folder inside the test's private tree; check isValid().
inline std::unique_ptr<QTemporaryDir> testTempDir(const QString &pattern)
{
    return std::make_unique<QTemporaryDir>(qEnvironmentVariable("QUORVEL_TEST_TMP") + u'/' +
                                           pattern);
}

// Writes `content` to `path`, making its folders first.
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
