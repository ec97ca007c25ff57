#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// The private folder of one run of the setup, for its download: only this user can enter it.
// A run holds a lock on its folder for as long as it lives, and the lock ends with the process
// however it ends: a folder whose lock can be taken belongs to a run that is gone.
class RunFolder
{
public:
    // A fresh folder in the first of `bases` where one can be made, locked before any clean-up
    // can see it. Null when none could be made.
    static std::unique_ptr<RunFolder> make(const QStringList &bases);

    // This user's folders in `bases` whose runs have ended, each locked now. Never a live run's,
    // another user's, or one reached through a link.
    static std::vector<std::unique_ptr<RunFolder>> takeAbandoned(const QStringList &bases);

    RunFolder(const RunFolder &) = delete;
    RunFolder &operator=(const RunFolder &) = delete;
    // Releases the lock; the folder stays.
    ~RunFolder();

    QString path() const;

    // Whether `file` names a regular file of this user's directly in this folder. The file is
    // compared as an object, so any path to it does, but not a link in its place.
    bool holds(const QString &file) const;

    // Removes the folder and what it holds, never following a link out of it nor entering a
    // mount. The lock is kept until the object goes.
    bool remove();

private:
    RunFolder(const QString &base, const QByteArray &name, int fd);

    QString m_base;
    QByteArray m_name;
    int m_fd;
};
