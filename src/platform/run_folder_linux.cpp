#include "platform/run_folder.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kPrefix = "quorvel-setup-";
// A folder being made has this name until it is locked and marked.
const QByteArray kMakingPrefix = ".quorvel-setup-";
// Put in each folder before it takes its name: a folder named alike without it is not a run's.
const QByteArray kMarker = ".run";
constexpr int kNameAttempts = 8;
// A run takes microseconds to name the folder it made: one unnamed for longer was left.
constexpr time_t kUnnamedAge = 60;

// `name` is `prefix` followed by the six characters mkdtemp chooses, and nothing else.
bool madeName(const QByteArray &name, const QByteArray &prefix)
{
    const auto random = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    return name.size() == prefix.size() + 6 && name.startsWith(prefix) &&
           std::all_of(name.begin() + prefix.size(), name.end(), random);
}

bool sameObject(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int openFolderAt(int dir, const char *name)
{
    return ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Removes what the folder `dir` holds, staying on its file system and never following a link.
bool removeContents(int dir)
{
    struct stat top = {};
    const int listed = openFolderAt(dir, ".");
    DIR *stream = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!stream || ::fstat(dir, &top) != 0) {
        if (stream)
            ::closedir(stream);
        else if (listed >= 0)
            ::close(listed);
        return false;
    }
    bool removed = true;
    while (const dirent *entry = ::readdir(stream)) {
        const char *name = entry->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0)
            continue;
        struct stat st = {};
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            removed = false;
        } else if (!S_ISDIR(st.st_mode)) {
            removed = ::unlinkat(dir, name, 0) == 0 && removed;
        } else if (st.st_dev != top.st_dev) {
            removed = false; // something is mounted there
        } else {
            const int sub = openFolderAt(dir, name);
            removed = sub >= 0 && removeContents(sub) && removed;
            if (sub >= 0)
                ::close(sub);
            removed = ::unlinkat(dir, name, AT_REMOVEDIR) == 0 && removed;
        }
    }
    ::closedir(stream);
    return removed;
}

// In a folder that only this user can write, as the sweep checks first.
bool hasMarker(int dir)
{
    struct stat st = {};
    return ::fstatat(dir, kMarker.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
}

// A folder a run made but was killed before it could name it: old, and holding at most the
// marker.
bool leftUnnamed(int dir, const struct stat &st)
{
    if (st.st_mtime > std::time(nullptr) - kUnnamedAge)
        return false;
    const int listed = openFolderAt(dir, ".");
    DIR *stream = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!stream) {
        if (listed >= 0)
            ::close(listed);
        return false;
    }
    bool empty = true;
    while (const dirent *entry = ::readdir(stream)) {
        const QByteArray name = entry->d_name;
        empty = empty && (name == "." || name == ".." || (name == kMarker && hasMarker(dir)));
    }
    ::closedir(stream);
    return empty;
}

} // namespace

RunFolder::RunFolder(const QString &base, const QByteArray &name, int fd)
    : m_base(QDir::cleanPath(base)), m_name(name), m_fd(fd)
{}

RunFolder::~RunFolder()
{
    ::close(m_fd);
}

std::unique_ptr<RunFolder> RunFolder::make(const QStringList &bases)
{
    for (const QString &base : bases) {
        if (base.isEmpty() || !QDir().mkpath(base))
            continue;
        const QByteArray dir = QFile::encodeName(base);
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            // mkdtemp: a name no one can guess, so no one can have put a folder or a link there.
            QByteArray making = dir + '/' + kMakingPrefix + "XXXXXX";
            if (!::mkdtemp(making.data()))
                break;
            const QByteArray name = kPrefix + making.right(6);
            const QByteArray path = dir + '/' + name;
            // Close-on-exec: a tool started from here, a mount daemon above all, would keep the
            // lock after this run has gone.
            const int fd =
                ::open(making.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            // Locked and marked before it takes a name the clean-up looks at, and never over
            // another folder.
            const int marker =
                fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0
                    ? ::openat(fd, kMarker.constData(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                    : -1;
            const bool named = marker >= 0 && ::close(marker) == 0 &&
                               ::renameat2(AT_FDCWD, making.constData(), AT_FDCWD, path.constData(),
                                           RENAME_NOREPLACE) == 0;
            const int error = errno;
            if (named)
                return std::unique_ptr<RunFolder>(new RunFolder(base, name, fd));
            if (fd >= 0)
                ::close(fd);
            ::unlink(QByteArray(making + '/' + kMarker).constData());
            ::rmdir(making.constData());
            // Taken already, or locked by a clean-up looking at it: another name.
            if (error != EEXIST && error != EWOULDBLOCK)
                break;
        }
    }
    return nullptr;
}

std::vector<std::unique_ptr<RunFolder>> RunFolder::takeAbandoned(const QStringList &bases)
{
    std::vector<std::unique_ptr<RunFolder>> taken;
    for (const QString &base : bases) {
        const int dir =
            ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *stream = dir >= 0 ? ::fdopendir(dir) : nullptr;
        if (!stream) {
            if (dir >= 0)
                ::close(dir);
            continue;
        }
        while (const dirent *entry = ::readdir(stream)) {
            const QByteArray name = entry->d_name;
            const bool named = madeName(name, kPrefix);
            if (!named && !madeName(name, kMakingPrefix))
                continue;
            const int fd = openFolderAt(dir, name.constData());
            struct stat st = {};
            // The lock is the test of life: a live run holds it, so it cannot be taken here.
            if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::getuid() &&
                (st.st_mode & 077) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                (named ? hasMarker(fd) : leftUnnamed(fd, st)))
                taken.push_back(std::unique_ptr<RunFolder>(new RunFolder(base, name, fd)));
            else if (fd >= 0)
                ::close(fd);
        }
        ::closedir(stream);
    }
    return taken;
}

QString RunFolder::path() const
{
    return m_base + u'/' + QFile::decodeName(m_name);
}

bool RunFolder::holds(const QString &file) const
{
    const QByteArray path = QFile::encodeName(file);
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    struct stat st = {}, inside = {};
    return !name.isEmpty() && name != ".." && ::lstat(path.constData(), &st) == 0 &&
           S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
           ::fstatat(m_fd, name.constData(), &inside, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameObject(st, inside);
}

bool RunFolder::remove()
{
    const int base =
        ::open(QFile::encodeName(m_base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat held = {}, named = {};
    // The name must still lead to the folder that is held, not to one put in its place.
    const bool removed = base >= 0 && removeContents(m_fd) && ::fstat(m_fd, &held) == 0 &&
                         ::fstatat(base, m_name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                         sameObject(held, named) &&
                         ::unlinkat(base, m_name.constData(), AT_REMOVEDIR) == 0;
    if (base >= 0)
        ::close(base);
    return removed;
}
