#include "platform/tree_copy.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace TreeCopy {
namespace {

constexpr mode_t kKeptModeBits = 01777; // permissions and sticky bit, never set-id

std::string failure(const char *what, const std::string &path, int err = errno)
{
    return std::string(what) + ' ' + path + ": " + std::strerror(err);
}

#ifdef __APPLE__
ssize_t listAttrs(const std::string &p, char *buf, size_t n)
{
    return ::listxattr(p.c_str(), buf, n, XATTR_NOFOLLOW);
}
ssize_t getAttr(const std::string &p, const char *name, void *buf, size_t n)
{
    return ::getxattr(p.c_str(), name, buf, n, 0, XATTR_NOFOLLOW);
}
int setAttr(const std::string &p, const char *name, const void *buf, size_t n)
{
    return ::setxattr(p.c_str(), name, buf, n, 0, XATTR_NOFOLLOW);
}
#else
ssize_t listAttrs(const std::string &p, char *buf, size_t n)
{
    return ::llistxattr(p.c_str(), buf, n);
}
ssize_t getAttr(const std::string &p, const char *name, void *buf, size_t n)
{
    return ::lgetxattr(p.c_str(), name, buf, n);
}
int setAttr(const std::string &p, const char *name, const void *buf, size_t n)
{
    return ::lsetxattr(p.c_str(), name, buf, n, 0);
}
#endif

// Extended attributes travel with the copy, the download quarantine mark included; the
// installer removes that one afterwards. Attributes the target cannot hold are skipped.
void copyAttributes(const std::string &from, const std::string &to)
{
    const ssize_t size = listAttrs(from, nullptr, 0);
    if (size <= 0)
        return;
    std::vector<char> names(static_cast<size_t>(size));
    const ssize_t got = listAttrs(from, names.data(), names.size());
    for (ssize_t i = 0; i < got;) {
        const char *name = names.data() + i;
        i += static_cast<ssize_t>(std::strlen(name)) + 1;
        const ssize_t len = getAttr(from, name, nullptr, 0);
        if (len < 0)
            continue;
        std::vector<char> value(static_cast<size_t>(len));
        if (getAttr(from, name, value.data(), value.size()) == len)
            setAttr(to, name, value.data(), value.size());
    }
}

bool setTimes(const std::string &to, const struct stat &st)
{
#ifdef __APPLE__
    const struct timespec times[2] = {st.st_atimespec, st.st_mtimespec};
#else
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
#endif
    return ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Makes room for a new non-folder entry, or reports whether a folder is already there.
std::string clearTarget(const std::string &to, bool wantFolder, bool &folderExists)
{
    folderExists = false;
    struct stat st;
    if (::lstat(to.c_str(), &st) != 0)
        return errno == ENOENT ? std::string() : failure("cannot inspect", to);
    if (wantFolder && S_ISDIR(st.st_mode)) {
        folderExists = true;
        return {};
    }
    if (S_ISDIR(st.st_mode))
        return failure("cannot replace folder", to, EISDIR);
    return ::unlink(to.c_str()) == 0 ? std::string() : failure("cannot replace", to);
}

std::string copyFile(const std::string &from, const std::string &to, const struct stat &st)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return failure("cannot open", from);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        const std::string e = failure("cannot create", to);
        ::close(in);
        return e;
    }
    std::string error;
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = failure("cannot read", from);
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                error = failure("cannot write", to);
                break;
            }
            done += w;
        }
        if (!error.empty())
            break;
    }
    if (error.empty() && ::fchmod(out, st.st_mode & kKeptModeBits) != 0)
        error = failure("cannot set permissions of", to);
    ::close(in);
    if (::close(out) != 0 && error.empty())
        error = failure("cannot write", to);
    return error;
}

std::string copyEntry(const std::string &from, const std::string &to)
{
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0)
        return failure("cannot inspect", from);
    bool folderExists = false;
    if (std::string e = clearTarget(to, S_ISDIR(st.st_mode), folderExists); !e.empty())
        return e;

    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(st.st_size) + 1);
        const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<size_t>(n) >= target.size())
            return failure("cannot read link", from, n < 0 ? errno : ENAMETOOLONG);
        target[static_cast<size_t>(n)] = '\0';
        if (::symlink(target.data(), to.c_str()) != 0)
            return failure("cannot create link", to);
    } else if (S_ISREG(st.st_mode)) {
        if (std::string e = copyFile(from, to, st); !e.empty())
            return e;
    } else if (S_ISDIR(st.st_mode)) {
        // Owner-only until filled, then the source's bits.
        if (!folderExists && ::mkdir(to.c_str(), 0700) != 0)
            return failure("cannot create folder", to);
        DIR *dir = ::opendir(from.c_str());
        if (!dir)
            return failure("cannot list", from);
        std::vector<std::string> names;
        while (const dirent *ent = ::readdir(dir)) {
            const std::string name = ent->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
        for (const std::string &name : names)
            if (std::string e = copyEntry(from + '/' + name, to + '/' + name); !e.empty())
                return e;
        if (::chmod(to.c_str(), st.st_mode & kKeptModeBits) != 0)
            return failure("cannot set permissions of", to);
    } else {
        return failure("cannot copy special file", from, ENOTSUP);
    }
    copyAttributes(from, to);
    setTimes(to, st);
    return {};
}

} // namespace

std::string copyTree(const std::string &from, const std::string &to)
{
    return copyEntry(from, to);
}

} // namespace TreeCopy
