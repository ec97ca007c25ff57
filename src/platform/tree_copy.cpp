#include "platform/tree_copy.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#endif

namespace TreeCopy {
namespace {

constexpr mode_t kKeptModeBits = 01777;       // permissions and sticky bit, never set-id
constexpr mode_t kRestrictedModeBits = 01755; // nor write bits for group and others
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK: a fifo put in a file's place must not hang the copy.
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

Failure failure(const char *what, const std::string &path, int err = errno)
{
    return {std::string(what) + ' ' + path + ": " + std::strerror(err), err};
}

// Refused by an entry of `owner`'s: rights mend that unless it is a third user's.
Failure denied(const char *what, const std::string &path, uid_t owner, int err = errno)
{
    return {std::string(what) + ' ' + path + ": " + std::strerror(err), err,
            owner == 0 || owner == ::geteuid()};
}

// Who owns `name` in `dir` (itself when empty), without following a link; errno is kept.
uid_t ownerOf(int dir, const std::string &name)
{
    const int err = errno;
    struct stat st;
    const int r =
        name.empty() ? ::fstat(dir, &st) : ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    errno = err;
    return r == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

std::string join(const std::string &dir, const std::string &name)
{
    return dir.empty() || dir.back() == '/' ? dir + name : dir + '/' + name;
}

// The folder holding `path` and the name in it ("." for a path that names the root).
std::pair<std::string, std::string> split(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {".", path};
    if (path == "/")
        return {"/", "."};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool sameFolder(const struct stat &a, const struct stat &b)
{
    return S_ISDIR(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Names in the open folder `dir`, "." and ".." left out.
bool listNames(int dir, std::vector<std::string> &names)
{
    const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR *stream = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!stream) {
        if (copy >= 0)
            ::close(copy);
        return false;
    }
    ::rewinddir(stream); // the duplicate shares the position
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(stream);
        if (!entry)
            break;
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    const bool complete = errno == 0;
    ::closedir(stream);
    return complete;
}

#ifdef __APPLE__
constexpr const char *kQuarantine = "com.apple.quarantine";
constexpr int kNoAttribute = ENOATTR;
ssize_t listAttrs(int fd, char *buf, size_t n)
{
    return ::flistxattr(fd, buf, n, 0);
}
ssize_t getAttr(int fd, const char *name, void *buf, size_t n)
{
    return ::fgetxattr(fd, name, buf, n, 0, 0);
}
int setAttr(int fd, const char *name, const void *buf, size_t n)
{
    return ::fsetxattr(fd, name, buf, n, 0, 0);
}
int removeAttr(int fd, const char *name)
{
    return ::fremovexattr(fd, name, 0);
}
bool carried(const char *)
{
    return true;
}
bool fixedInPlace(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 &&
           (st.st_flags & (UF_IMMUTABLE | UF_APPEND | SF_IMMUTABLE | SF_APPEND)) != 0;
}
int exchange(int dir, const char *from, const char *to)
{
    return ::renameatx_np(dir, from, dir, to, RENAME_SWAP);
}
int renameNoReplace(int dir, const char *from, const char *to)
{
    return ::renameatx_np(dir, from, dir, to, RENAME_EXCL);
}
bool randomBytes(unsigned char *buf, size_t n)
{
    ::arc4random_buf(buf, n);
    return true;
}
bool sameMount(int a, int b)
{
    struct stat x, y;
    return ::fstat(a, &x) == 0 && ::fstat(b, &y) == 0 && x.st_dev == y.st_dev;
}
#else
constexpr const char *kQuarantine = "user.com.apple.quarantine";
constexpr int kNoAttribute = ENODATA;
ssize_t listAttrs(int fd, char *buf, size_t n)
{
    return ::flistxattr(fd, buf, n);
}
ssize_t getAttr(int fd, const char *name, void *buf, size_t n)
{
    return ::fgetxattr(fd, name, buf, n);
}
int setAttr(int fd, const char *name, const void *buf, size_t n)
{
    return ::fsetxattr(fd, name, buf, n, 0);
}
int removeAttr(int fd, const char *name)
{
    return ::fremovexattr(fd, name);
}
// Only the user namespace: the others hold capabilities, access lists and security labels,
// which a copy made with administrator rights must not hand on.
bool carried(const char *name)
{
    return std::strncmp(name, "user.", 5) == 0;
}
// Immutable or append-only: not even root can remove it or what is in it.
bool fixedInPlace(int fd)
{
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}
int exchange(int dir, const char *from, const char *to)
{
    return ::renameat2(dir, from, dir, to, RENAME_EXCHANGE);
}
int renameNoReplace(int dir, const char *from, const char *to)
{
    return ::renameat2(dir, from, dir, to, RENAME_NOREPLACE);
}
bool randomBytes(unsigned char *buf, size_t n)
{
    for (size_t got = 0; got < n;) {
        const ssize_t r = ::getrandom(buf + got, n - got, 0);
        if (r < 0 && errno != EINTR)
            return false;
        got += r > 0 ? static_cast<size_t>(r) : 0;
    }
    return true;
}
// A bind mount of a folder shares the device of the file system it lies on: the mount id tells.
bool sameMount(int a, int b)
{
    struct statx x, y;
    if (::statx(a, "", AT_EMPTY_PATH, STATX_MNT_ID, &x) == 0 &&
        ::statx(b, "", AT_EMPTY_PATH, STATX_MNT_ID, &y) == 0 &&
        (x.stx_mask & y.stx_mask & STATX_MNT_ID) != 0)
        return x.stx_mnt_id == y.stx_mnt_id;
    struct stat sx, sy;
    return ::fstat(a, &sx) == 0 && ::fstat(b, &sy) == 0 && sx.st_dev == sy.st_dev;
}
#endif

// Extended attributes travel with the copy, the download quarantine mark included; the
// installer removes that one afterwards. Attributes the target cannot hold are skipped.
void copyAttributes(int from, int to)
{
    const ssize_t size = listAttrs(from, nullptr, 0);
    if (size <= 0)
        return;
    std::vector<char> names(static_cast<size_t>(size));
    const ssize_t got = listAttrs(from, names.data(), names.size());
    for (ssize_t i = 0; i < got;) {
        const char *name = names.data() + i;
        i += static_cast<ssize_t>(std::strlen(name)) + 1;
        if (!carried(name))
            continue;
        const ssize_t len = getAttr(from, name, nullptr, 0);
        if (len < 0)
            continue;
        std::vector<char> value(static_cast<size_t>(len));
        if (getAttr(from, name, value.data(), value.size()) == len)
            setAttr(to, name, value.data(), value.size());
    }
}

void times(const struct stat &st, struct timespec (&out)[2])
{
#ifdef __APPLE__
    out[0] = st.st_atimespec;
    out[1] = st.st_mtimespec;
#else
    out[0] = st.st_atim;
    out[1] = st.st_mtim;
#endif
}

// Makes room for a new non-folder entry.
Failure clearForFile(int dir, const std::string &name, const std::string &path)
{
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Failure() : failure("cannot inspect", path);
    if (S_ISDIR(st.st_mode))
        return failure("cannot replace folder", path, EISDIR);
    return ::unlinkat(dir, name.c_str(), 0) == 0 ? Failure() : failure("cannot replace", path);
}

// Creates the folder `name` in `dir` (owner-only until filled), or takes the folder already
// there, and opens it without following a link.
Failure makeFolder(int dir, const std::string &name, const std::string &path, Fd &out)
{
    if (::mkdirat(dir, name.c_str(), 0700) != 0) {
        if (errno != EEXIST)
            return failure("cannot create folder", path);
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return failure("cannot inspect", path);
        if (!S_ISDIR(st.st_mode) &&
            (::unlinkat(dir, name.c_str(), 0) != 0 || ::mkdirat(dir, name.c_str(), 0700) != 0))
            return failure("cannot replace", path);
    }
    out = Fd(::openat(dir, name.c_str(), kFolderFlags));
    return out.valid() ? Failure() : failure("cannot open folder", path);
}

Failure copyFile(int fromDir, const std::string &name, const std::string &fromPath, int toDir,
                 const std::string &toName, const std::string &toPath, mode_t keep)
{
    const Fd in(::openat(fromDir, name.c_str(), kFileFlags));
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0)
        return failure("cannot open", fromPath);
    if (!S_ISREG(st.st_mode))
        return failure("cannot copy special file", fromPath, ENOTSUP);
    if (Failure e = clearForFile(toDir, toName, toPath); !e.empty())
        return e;
    Fd out(::openat(toDir, toName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600));
    if (!out.valid())
        return failure("cannot create", toPath);
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failure("cannot read", fromPath);
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out.get(), buf.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return failure("cannot write", toPath);
            done += w;
        }
    }
    if (::fchmod(out.get(), st.st_mode & keep) != 0)
        return failure("cannot set permissions of", toPath);
    copyAttributes(in.get(), out.get());
    struct timespec t[2];
    times(st, t);
    ::futimens(out.get(), t);
    // A late write error shows on close.
    return ::close(out.release()) == 0 ? Failure() : failure("cannot write", toPath);
}

Failure copyLink(int fromDir, const std::string &name, const std::string &fromPath,
                 const struct stat &st, int toDir, const std::string &toName,
                 const std::string &toPath)
{
    std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4095) + 1);
    const ssize_t n = ::readlinkat(fromDir, name.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size())
        return failure("cannot read link", fromPath, n < 0 ? errno : ENAMETOOLONG);
    target[static_cast<size_t>(n)] = '\0';
    if (Failure e = clearForFile(toDir, toName, toPath); !e.empty())
        return e;
    if (::symlinkat(target.data(), toDir, toName.c_str()) != 0)
        return failure("cannot create link", toPath);
    struct timespec t[2];
    times(st, t);
    ::utimensat(toDir, toName.c_str(), t, AT_SYMLINK_NOFOLLOW);
    return {};
}

Failure copyEntry(int fromDir, const std::string &name, const std::string &fromPath, int toDir,
                  const std::string &toName, const std::string &toPath, mode_t keep);

// Fills the open folder `out` from the open folder `in`, then gives it `in`'s times and those of
// its mode bits that `keep` holds.
Failure copyFolder(int in, const std::string &fromPath, int out, const std::string &toPath,
                   mode_t keep)
{
    struct stat st;
    if (::fstat(in, &st) != 0)
        return failure("cannot inspect", fromPath);
    std::vector<std::string> names;
    if (!listNames(in, names))
        return failure("cannot list", fromPath);
    for (const std::string &name : names)
        if (Failure e =
                copyEntry(in, name, join(fromPath, name), out, name, join(toPath, name), keep);
            !e.empty())
            return e;
    if (::fchmod(out, st.st_mode & keep) != 0)
        return failure("cannot set permissions of", toPath);
    copyAttributes(in, out);
    struct timespec t[2];
    times(st, t);
    ::futimens(out, t);
    return {};
}

Failure copyEntry(int fromDir, const std::string &name, const std::string &fromPath, int toDir,
                  const std::string &toName, const std::string &toPath, mode_t keep)
{
    struct stat st;
    if (::fstatat(fromDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return failure("cannot inspect", fromPath);
    if (S_ISLNK(st.st_mode))
        return copyLink(fromDir, name, fromPath, st, toDir, toName, toPath);
    if (S_ISREG(st.st_mode))
        return copyFile(fromDir, name, fromPath, toDir, toName, toPath, keep);
    if (!S_ISDIR(st.st_mode))
        return failure("cannot copy special file", fromPath, ENOTSUP);
    const Fd in(::openat(fromDir, name.c_str(), kFolderFlags));
    if (!in.valid())
        return failure("cannot open", fromPath);
    Fd out;
    if (Failure e = makeFolder(toDir, toName, toPath, out); !e.empty())
        return e;
    return copyFolder(in.get(), fromPath, out.get(), toPath, keep);
}

Failure removeEntry(int dir, const std::string &name, const std::string &path);

// Another file system mounted inside is not part of what goes: it stops the removal.
Failure mountedIn(const std::string &path)
{
    return {"something is mounted in " + path, EBUSY};
}

Failure removeContents(int folder, const std::string &path)
{
    struct stat st;
    // An own folder without write permission (a copy of a read-only one) is opened up first.
    if (::fstat(folder, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0700) != 0700)
        ::fchmod(folder, (st.st_mode & 07777) | 0700);
    std::vector<std::string> names;
    Failure first = listNames(folder, names) ? Failure() : failure("cannot list", path);
    for (const std::string &name : names)
        if (Failure e = removeEntry(folder, name, join(path, name)); first.empty())
            first = e;
    return first;
}

Failure removeEntry(int dir, const std::string &name, const std::string &path)
{
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Failure() : failure("cannot inspect", path);
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT
                   ? Failure()
                   : failure("cannot remove", path);
    Failure first;
    if (const Fd folder(::openat(dir, name.c_str(), kFolderFlags)); !folder.valid()) {
        if (errno == ELOOP || errno == ENOTDIR) // no longer a folder: a link took its place
            return removeEntry(dir, name, path);
    } else if (!sameMount(dir, folder.get())) {
        return mountedIn(path);
    } else {
        first = removeContents(folder.get(), path);
    }
    if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && first.empty())
        first = failure("cannot remove", path);
    return first;
}

// Looks through `name` in `dir` and all it holds for what would stop this process removing it:
// `first` gets the first obstacle, `foreign` the first entry of a third user's (neither root's
// nor `user`'s).
void surveyRemoval(int dir, const std::string &name, const std::string &path, uid_t user,
                   Failure &first, std::string &foreign)
{
    const auto note = [&first](Failure f) {
        if (first.empty())
            first = std::move(f);
    };
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            note(failure("cannot inspect", path));
        return;
    }
    if (st.st_uid != 0 && st.st_uid != user && foreign.empty())
        foreign = path;
    if (S_ISREG(st.st_mode)) {
        const Fd file(::openat(dir, name.c_str(), kFileFlags));
        if (file.valid() && fixedInPlace(file.get()))
            note(failure("cannot remove", path, EPERM));
        return;
    }
    if (!S_ISDIR(st.st_mode))
        return;
    const Fd folder(::openat(dir, name.c_str(), kFolderFlags));
    if (!folder.valid())
        return note(denied("cannot open", path, st.st_uid));
    if (!sameMount(dir, folder.get()))
        return note(mountedIn(path));
    if (fixedInPlace(folder.get()))
        note(failure("cannot remove", path, EPERM));
    if (st.st_uid != ::geteuid() &&
        ::faccessat(dir, name.c_str(), W_OK | X_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        note(denied("cannot remove what is in", path, st.st_uid));
    std::vector<std::string> names;
    if (!listNames(folder.get(), names))
        return note(denied("cannot list", path, st.st_uid));
    for (const std::string &entry : names)
        surveyRemoval(folder.get(), entry, join(path, entry), user, first, foreign);
}

// Whether `name` in `dir` and all it holds can be removed by this process, before anything of
// it is touched: a half-removed bundle is worse than an old one. With administrator rights
// (`privileged`) nothing of a third user's is removed; without, where something else is in the
// way, such an entry means that rights would not clear the way either.
Failure checkRemovable(int dir, const std::string &name, const std::string &path, uid_t user,
                       bool privileged)
{
    Failure first;
    std::string foreign;
    surveyRemoval(dir, name, path, user, first, foreign);
    if (!foreign.empty() && (privileged || !first.empty()))
        return {foreign + " belongs to another user", EPERM};
    return first;
}

Failure clearQuarantine(int folder, const std::string &path)
{
    if (removeAttr(folder, kQuarantine) != 0 && errno != kNoAttribute && errno != ENOTSUP)
        return failure("cannot clear the quarantine mark of", path);
    std::vector<std::string> names;
    if (!listNames(folder, names))
        return failure("cannot list", path);
    for (const std::string &name : names) {
        const std::string entryPath = join(path, name);
        struct stat st;
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return failure("cannot inspect", entryPath);
        if (S_ISLNK(st.st_mode))
            continue; // a link holds no mark of its own here, and is not followed
        const Fd entry(
            ::openat(folder, name.c_str(), S_ISDIR(st.st_mode) ? kFolderFlags : kFileFlags));
        if (!entry.valid())
            return failure("cannot open", entryPath);
        Failure e;
        if (S_ISDIR(st.st_mode))
            e = clearQuarantine(entry.get(), entryPath);
        else if (removeAttr(entry.get(), kQuarantine) != 0 && errno != kNoAttribute &&
                 errno != ENOTSUP)
            e = failure("cannot clear the quarantine mark of", entryPath);
        if (!e.empty())
            return e;
    }
    return {};
}

// The folders on the way to what a run with administrator rights copies or replaces for `user`:
// none may be one that a third user could change.
class Way
{
public:
    // `source`: the way to the copy's source, which the user made: below the user's first
    // folder, every folder must be the user's.
    Way(uid_t user, bool source) : m_user(user), m_source(source) {}

    Failure check(int fd, const std::string &path)
    {
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return failure("cannot inspect", path);
        const bool users = st.st_uid == m_user;
        std::string why;
        if (st.st_uid != 0 && !users)
            why = "owned by uid " + std::to_string(st.st_uid) + ", neither root nor uid " +
                  std::to_string(m_user);
        else if ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)
            why = "others than its owner may write to it, and it is not sticky";
        else if (m_source && m_usersSeen && !users)
            why = "root's, below a folder of uid " + std::to_string(m_user) + "'s";
        m_usersSeen = m_usersSeen || users;
        if (why.empty())
            return {};
        m_refused = true;
        return {"refusing " + path + ": " + why, EPERM};
    }
    bool refused() const { return m_refused; }

private:
    uid_t m_user;
    bool m_source;
    bool m_usersSeen = false;
    bool m_refused = false;
};

// Opens the absolute `path` one component at a time, never following a link; with `create`,
// missing folders are made on the way. With `way`, each folder is checked before anything is
// made in it or opened below it, "/" included.
Failure openFolder(const std::string &path, bool create, Fd &out, Way *way = nullptr)
{
    if (path.empty() || path[0] != '/')
        return failure("not an absolute path:", path, EINVAL);
    Fd current(::open("/", kFolderFlags));
    if (!current.valid())
        return failure("cannot open folder", "/");
    if (way)
        if (Failure e = way->check(current.get(), "/"); !e.empty())
            return e;
    std::string walked;
    for (std::string::size_type start = 1; start <= path.size();) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        walked += '/' + name;
        if (name == "." || name == "..")
            return failure("refusing", walked, EINVAL);
        int fd = ::openat(current.get(), name.c_str(), kFolderFlags);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
                return denied("cannot create folder", walked, ownerOf(current.get(), {}));
            fd = ::openat(current.get(), name.c_str(), kFolderFlags);
        }
        if (fd < 0) {
            // What refused: the entry itself, or else the folder that cannot be searched.
            uid_t owner = ownerOf(current.get(), name);
            if (owner == static_cast<uid_t>(-1))
                owner = ownerOf(current.get(), {});
            return denied("cannot open folder", walked, owner);
        }
        current = Fd(fd);
        if (way)
            if (Failure e = way->check(current.get(), walked); !e.empty())
                return e;
    }
    out = std::move(current);
    return {};
}

// Renames `from` to `to` in `dir` unless something is at `to`.
int moveNoReplace(int dir, const std::string &from, const std::string &to)
{
    if (renameNoReplace(dir, from.c_str(), to.c_str()) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without the flag: look first.
    struct stat st;
    if (::fstatat(dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return errno == ENOENT ? ::renameat(dir, from.c_str(), dir, to.c_str()) : -1;
}

// Staging folders are named `prefix` and this many letters or digits, drawn at random: a name
// another user cannot guess, so cannot take first. An aside copy adds kAside to its run's one.
constexpr size_t kSuffixLength = 12;
constexpr const char *kAside = ".previous";

bool madeHere(const std::string &entry, const std::string &prefix, const std::string &tail)
{
    if (entry.size() != prefix.size() + kSuffixLength + tail.size() ||
        entry.compare(0, prefix.size(), prefix) != 0 ||
        entry.compare(prefix.size() + kSuffixLength, tail.size(), tail) != 0)
        return false;
    for (size_t i = prefix.size(); i < prefix.size() + kSuffixLength; ++i)
        if (!std::isalnum(static_cast<unsigned char>(entry[i])))
            return false;
    return true;
}

bool randomSuffix(std::string &out)
{
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kSuffixLength];
    if (!randomBytes(bytes, sizeof bytes))
        return false;
    out.clear();
    for (const unsigned char b : bytes)
        out += kLetters[b % (sizeof kLetters - 1)];
    return true;
}

// Each run holds a lock on its staging folder while it works in it: a folder that is not
// locked is a leftover of a run that has ended. Where the file system has no locks, a run
// works unlocked, and nothing there counts as a leftover.
bool lockNow(int fd, bool lockless)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ||
           (lockless && errno != EWOULDBLOCK && errno != EINTR);
}

// Opens `entry` in `dir` and locks it when it is what a run of this user's left: a real folder
// (not a link, not a mount), this user's own, that no live run holds locked.
bool takeLeftover(int dir, const std::string &entry, Fd &out)
{
    Fd folder(::openat(dir, entry.c_str(), kFolderFlags));
    struct stat st, now;
    if (!folder.valid() || ::fstat(folder.get(), &st) != 0 || st.st_uid != ::geteuid() ||
        !sameMount(dir, folder.get()) || !lockNow(folder.get(), false) ||
        ::fstatat(dir, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFolder(now, st))
        return false;
    out = std::move(folder);
    return true;
}

void removeLeftover(int dir, const std::string &entry, const std::string &path)
{
    Fd folder;
    if (!takeLeftover(dir, entry, folder))
        return;
    removeContents(folder.get(), path);
    struct stat st, now;
    if (::fstat(folder.get(), &st) == 0 &&
        ::fstatat(dir, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFolder(now, st))
        ::unlinkat(dir, entry.c_str(), AT_REMOVEDIR);
}

// A run killed between its two renames left the previous bundle aside and nothing at `name`:
// the newest such copy goes back.
void restoreAside(int dest, const std::string &name, const std::vector<std::string> &entries,
                  const std::string &prefix)
{
    struct stat st;
    if (::fstatat(dest, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return;
    std::string newest;
    time_t when = 0;
    Fd held;
    for (const std::string &entry : entries) {
        Fd folder;
        if (!madeHere(entry, prefix, kAside) || !takeLeftover(dest, entry, folder) ||
            ::fstat(folder.get(), &st) != 0 || (!newest.empty() && st.st_ctime < when))
            continue;
        newest = entry;
        when = st.st_ctime;
        held = std::move(folder);
    }
    if (!newest.empty())
        moveNoReplace(dest, newest, name);
}

// Makes this run's staging folder in `dest`, under a fresh name, and locks it.
Failure makeStaging(int dest, const std::string &prefix, const std::string &destDir,
                    std::string &staging, Fd &out)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix;
        if (!randomSuffix(suffix))
            return failure("cannot name a folder in", destDir);
        staging = prefix + suffix;
        if (::mkdirat(dest, staging.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            return denied("cannot create folder", join(destDir, staging), ownerOf(dest, {}));
        }
        // Until it is open and locked, another run's clean-up may take it for a leftover, or
        // something else may take its name: then it is not this run's, and a fresh name is tried.
        Fd folder(::openat(dest, staging.c_str(), kFolderFlags));
        struct stat st, now;
        if (folder.valid() && ::fstat(folder.get(), &st) == 0 && st.st_uid == ::geteuid() &&
            lockNow(folder.get(), true) &&
            ::fstatat(dest, staging.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFolder(now, st)) {
            out = std::move(folder);
            return {};
        }
    }
    return failure("cannot create a staging folder in", destDir, EEXIST);
}

// Puts the staging folder at `name`. Where the file system can, the two swap places in one
// step, so that `name` never stands empty. `previous` names where the replaced entry went.
Failure swapIntoPlace(int dest, const std::string &staging, const std::string &name,
                      const std::string &destDir, const struct stat &filled, std::string &previous)
{
    const std::string target = join(destDir, name);
    const auto isFilled = [&](const std::string &entry) {
        struct stat now;
        return ::fstatat(dest, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               sameFolder(now, filled);
    };
    // Only the folder filled here goes into place, never a link or folder put in its stead.
    if (!isFilled(staging))
        return {join(destDir, staging) + ": replaced while it was being filled", EEXIST};

    if (exchange(dest, staging.c_str(), name.c_str()) == 0) {
        if (isFilled(name)) {
            previous = staging;
            return {};
        }
        exchange(dest, staging.c_str(), name.c_str()); // something slipped in: put it back
        return {target + ": the staging folder was replaced", EEXIST};
    }
    if (errno == ENOENT) // nothing to replace
        return moveNoReplace(dest, staging, name) == 0 ? Failure()
                                                       : failure("cannot move into place", target);
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return denied("cannot replace", target, ownerOf(dest, name));

    // The file system refuses the exchange: the previous bundle steps aside under this run's
    // name, so that a failed rename can put it back, and a run after a kill here finds it.
    const std::string aside = staging + kAside;
    struct stat st;
    const bool hadOld = ::fstatat(dest, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    // Locked, so that no other run takes it for a killed run's while it is aside.
    const Fd held(hadOld ? ::openat(dest, name.c_str(), kFolderFlags) : -1);
    if (held.valid())
        ::flock(held.get(), LOCK_EX | LOCK_NB);
    if (hadOld && moveNoReplace(dest, name, aside) != 0)
        return denied("cannot move aside", target, ownerOf(dest, name));
    if (moveNoReplace(dest, staging, name) != 0) {
        const Failure e = failure("cannot replace", target);
        if (hadOld)
            moveNoReplace(dest, aside, name);
        return e;
    }
    if (hadOld)
        previous = aside;
    return {};
}

Failure place(const std::string &from, const std::string &destDir, const std::string &name,
              const Placement &how, std::string *leftover)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return failure("refusing the name", name, EINVAL);
    const uid_t user = how.actingFor.value_or(::geteuid());
    const auto [fromDirPath, fromName] = split(from);
    std::optional<Way> fromWay, destWay;
    if (how.actingFor) {
        fromWay.emplace(user, true);
        destWay.emplace(user, false);
    }
    Fd fromDir, dest;
    // Rights are no help on the source's side: a run with them reads a copy of the user's.
    if (Failure e = openFolder(fromDirPath, false, fromDir, fromWay ? &*fromWay : nullptr);
        !e.empty())
        return {e.text(), e.code()};
    const Fd source(::openat(fromDir.get(), fromName.c_str(), kFolderFlags));
    if (!source.valid())
        return failure("cannot open folder", from);
    if (fromWay)
        if (Failure e = fromWay->check(source.get(), from); !e.empty())
            return e;
    if (Failure e = openFolder(destDir, how.createFolders, dest, destWay ? &*destWay : nullptr);
        !e.empty())
        return e;

    const std::string prefix = '.' + name + ".installing-";
    // What earlier runs left; a folder that cannot be listed just keeps it.
    std::vector<std::string> entries;
    if (!listNames(dest.get(), entries))
        entries.clear();
    restoreAside(dest.get(), name, entries, prefix);
    for (const std::string &entry : entries)
        if (madeHere(entry, prefix, {}))
            removeLeftover(dest.get(), entry, join(destDir, entry));

    std::string staging;
    Fd stage;
    if (Failure e = makeStaging(dest.get(), prefix, destDir, staging, stage); !e.empty())
        return e;
    const std::string stagingPath = join(destDir, staging);
    struct stat filled;
    if (::fstat(stage.get(), &filled) != 0)
        return failure("cannot inspect", stagingPath);

    Failure error = copyFolder(source.get(), from, stage.get(), stagingPath,
                               how.restrictModes ? kRestrictedModeBits : kKeptModeBits);
    if (error.empty() && how.clearQuarantine)
        error = clearQuarantine(stage.get(), stagingPath);
    if (error.empty())
        if (Failure e = checkRemovable(dest.get(), name, join(destDir, name), user,
                                       how.actingFor.has_value());
            !e.empty())
            error = {"the installed copy cannot be replaced: " + e.text(), e.code(),
                     e.rightsWouldMend()};
    std::string previous;
    if (error.empty())
        error = swapIntoPlace(dest.get(), staging, name, destDir, filled, previous);
    if (!error.empty()) {
        struct stat now;
        if (::fstatat(dest.get(), staging.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFolder(now, filled))
            removeEntry(dest.get(), staging, stagingPath);
        else // the name is someone else's now: empty the copy wherever it went
            removeContents(stage.get(), stagingPath);
        return error;
    }
    if (!previous.empty())
        if (Failure e = removeEntry(dest.get(), previous, join(destDir, previous));
            !e.empty() && leftover)
            *leftover = e.text();
    // Only now that the new copy is in place may aside copies of earlier runs go.
    for (const std::string &entry : entries)
        if (madeHere(entry, prefix, kAside))
            removeLeftover(dest.get(), entry, join(destDir, entry));
    return {};
}

} // namespace

Failure copyTree(const std::string &from, const std::string &to)
{
    const auto [fromDirPath, fromName] = split(from);
    const auto [toDirPath, toName] = split(to);
    const Fd fromDir(::open(fromDirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fromDir.valid())
        return failure("cannot open", fromDirPath);
    const Fd toDir(::open(toDirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!toDir.valid())
        return failure("cannot open", toDirPath);
    return copyEntry(fromDir.get(), fromName, from, toDir.get(), toName, to, kKeptModeBits);
}

bool Failure::rightsWouldMend() const
{
    return (m_code == EACCES || m_code == EPERM) && m_ownOrRoots;
}

Failure removeTree(const std::string &path)
{
    const auto [dirPath, name] = split(path);
    const Fd dir(::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return errno == ENOENT ? Failure() : failure("cannot open", dirPath);
    return removeEntry(dir.get(), name, path);
}

Failure placeTree(const std::string &from, const std::string &destDir, const std::string &name,
                  const Placement &how, std::string *leftover)
{
    Failure f = place(from, destDir, name, how, leftover);
    // Rights mend nothing where a run with them would refuse the way to the install folder.
    if (f.rightsWouldMend() && !how.actingFor) {
        Way way(::geteuid(), false);
        Fd unused;
        if (openFolder(destDir, false, unused, &way); way.refused())
            return {f.text(), f.code()};
    }
    return f;
}

} // namespace TreeCopy
