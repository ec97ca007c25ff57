// hdiutil attach IMAGE [-nobrowse] [-noverify] [-readonly] [-plist]
// hdiutil detach MOUNTPOINT [-force] [-quiet]
// hdiutil info -plist
// A disk image here is a SquashFS file. It is mounted read-only at a fresh private mount
// point with squashfuse (the one beside this tool, else the system's), or with a loop mount when
// running as root and FUSE is unusable. Detach takes down only such a mount point of its own,
// attached by the same user, never another mount. Beside each mount point, MOUNTPOINT.image names
// the image, for info to list; attach holds a lock on it while it works. Attach and info clear what
// this user's killed attaches and detaches left: mount points with nothing mounted, and records.
#include "tool_support.h"

#include <plist/plist.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr const char *kTool = "hdiutil";
constexpr const char *kMountPrefix = "quorvel-volume.";
constexpr const char *kRecordSuffix = ".image";
// The record's name follows from the mount point's, so another user may make it first.
constexpr int kNameAttempts = 8;
// An attach names its mount point a moment before it records and locks it: what was touched
// this recently may be one at work.
constexpr time_t kLeftoverAge = 60;

// "\040" and friends in /proc/self/mountinfo stand for the raw byte.
std::string unescapeMountField(const std::string &field)
{
    std::string out;
    for (std::string::size_type i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// One line of /proc/self/mountinfo.
struct Mount
{
    long id = -1;
    std::string point, options, type, superOptions;
};

std::vector<Mount> mountTable()
{
    std::ifstream table("/proc/self/mountinfo");
    std::vector<Mount> mounts;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        Mount m;
        std::string parent, dev, root, point, field, source;
        fields >> m.id >> parent >> dev >> root >> point >> m.options;
        while (fields >> field && field != "-") {
        }
        fields >> m.type >> source >> m.superOptions;
        m.point = unescapeMountField(point);
        mounts.push_back(m);
    }
    return mounts;
}

// The mount on top at `mountPoint`, absent when nothing is mounted there.
std::optional<Mount> mountAt(const std::string &mountPoint)
{
    std::optional<Mount> found;
    for (const Mount &m : mountTable())
        if (m.point == mountPoint)
            found = m; // the last entry is the one on top
    return found;
}

std::optional<Mount> mountById(long id)
{
    for (const Mount &m : mountTable())
        if (m.id == id)
            return m;
    return std::nullopt;
}

bool holdsImage(const Mount &m)
{
    return m.type == "squashfs" || m.type.rfind("fuse", 0) == 0;
}

// Who attached the image, read from the mount itself: the user a FUSE mount serves, root for
// a kernel mount, which only root can make.
std::optional<uid_t> ownerOf(const Mount &m)
{
    if (m.type == "squashfs")
        return 0;
    std::istringstream options(m.superOptions);
    for (std::string option; std::getline(options, option, ',');)
        if (option.rfind("user_id=", 0) == 0)
            return static_cast<uid_t>(std::strtoul(option.c_str() + 8, nullptr, 10));
    return std::nullopt;
}

// The id of the mount that `path` (or, with an empty path, `fd`) lies on; -1 when unknown.
// Asking for no attributes works even on another user's FUSE mount, which refuses a stat.
long mountIdOf(int fd, const std::string &path = {})
{
    struct statx st = {};
    const int flags = path.empty() ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    if (::statx(fd, path.c_str(), flags, 0, &st) != 0 || !(st.stx_mask & STATX_MNT_ID))
        return -1;
    return static_cast<long>(st.stx_mnt_id);
}

std::string canonical(const std::string &path)
{
    char *resolved = ::realpath(path.c_str(), nullptr);
    const std::string out = resolved ? resolved : path;
    std::free(resolved);
    return out;
}

// The one-file setup carries squashfuse beside this tool, for desktops without it. It is run
// only when no one but root or this user could have put it there.
std::string squashfuse()
{
    const std::string self = canonical("/proc/self/exe");
    const std::string own = self.substr(0, self.find_last_of('/')) + "/squashfuse";
    const auto trusted = [](const std::string &path, bool folder) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 &&
               (folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) &&
               (st.st_uid == 0 || st.st_uid == ::getuid()) &&
               (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    };
    return trusted(own, false) && trusted(own.substr(0, own.find_last_of('/')), true)
               ? own
               : "/usr/bin/squashfuse";
}

// Creates `path` (never through a link or over a file) holding `text`, and locks it. The open
// descriptor, or -1 with errno set.
int writeNewLocked(const std::string &path, const std::string &text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        const int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        errno = error;
        return -1;
    }
    return fd;
}

std::string xmlOf(plist_t root)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::string text(xml ? xml : "", length);
    plist_to_xml_free(xml);
    plist_free(root);
    return text;
}

std::string printPlist(const std::string &image, const std::string &mountPoint)
{
    // Like the macOS tool: a whole-disk entity without a mount point, then the volume.
    plist_t disk = plist_new_dict();
    plist_dict_set_item(disk, "content-hint", plist_new_string("GUID_partition_scheme"));
    plist_dict_set_item(disk, "dev-entry", plist_new_string(image.c_str()));
    plist_dict_set_item(disk, "potentially-mountable", plist_new_bool(0));
    plist_t volume = plist_new_dict();
    plist_dict_set_item(volume, "content-hint", plist_new_string("Linux_SquashFS"));
    plist_dict_set_item(volume, "dev-entry", plist_new_string(image.c_str()));
    plist_dict_set_item(volume, "mount-point", plist_new_string(mountPoint.c_str()));
    plist_dict_set_item(volume, "potentially-mountable", plist_new_bool(1));
    plist_dict_set_item(volume, "volume-kind", plist_new_string("squashfs"));
    plist_t entities = plist_new_array();
    plist_array_append_item(entities, disk);
    plist_array_append_item(entities, volume);
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "system-entities", entities);
    return xmlOf(root);
}

// A SquashFS superblock, and all the bytes it says the file system uses. A truncated image
// would otherwise mount and fail only when its contents are read.
std::string checkImage(const std::string &image, off_t size)
{
    unsigned char super[96] = {};
    std::ifstream in(image, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(super), sizeof super) ||
        std::memcmp(super, "hsqs", 4) != 0)
        return "not a recognized disk image";
    unsigned long long bytesUsed = 0;
    for (int i = 7; i >= 0; --i)
        bytesUsed = (bytesUsed << 8) | super[40 + i];
    if (static_cast<unsigned long long>(size) < bytesUsed)
        return "the image is truncated";
    return {};
}

// Text the mount point can carry into the property list and back: valid UTF-8 without
// control characters.
bool printable(const std::string &text)
{
    for (std::string::size_type i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
        const int length = c < 0x80           ? 1
                           : (c >> 5) == 0x6  ? 2
                           : (c >> 4) == 0xe  ? 3
                           : (c >> 3) == 0x1e ? 4
                                              : 0;
        if (length == 0 || i + length > text.size())
            return false;
        unsigned long code = length == 1 ? c : c & (0x7f >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3f);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        static const unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff ||
            (code >= 0x80 && code < 0xa0))
            return false;
        i += length;
    }
    return true;
}

// Where the private mount points are made: TMPDIR when its resolved path can be printed, else
// /tmp. Attach and detach agree on it, so detach knows the mount points it made.
std::string privateMountBase()
{
    const char *tmp = std::getenv("TMPDIR");
    if (tmp && tmp[0] == '/') {
        const std::string base = canonical(tmp);
        if (printable(base) && base[0] == '/')
            return base;
    }
    return "/tmp";
}

// Every mount point this tool makes is this prefix and six characters.
std::string mountPrefix()
{
    const std::string base = privateMountBase();
    return (base == "/" ? "" : base) + '/' + kMountPrefix;
}

bool madeHere(const std::string &mountPoint)
{
    const std::string prefix = mountPrefix();
    return mountPoint.size() == prefix.size() + 6 &&
           mountPoint.compare(0, prefix.size(), prefix) == 0 &&
           mountPoint.find('/', prefix.size()) == std::string::npos;
}

// Removes what this user's killed attaches and detaches left in the base: a mount point with
// nothing mounted, empty, and its record, or either alone. Never what an attach at work holds,
// nor another user's, nor anything touched in the last minute.
void clearLeftovers()
{
    const std::string base = privateMountBase();
    const int dir = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *stream = dir >= 0 ? ::fdopendir(dir) : nullptr;
    struct stat top = {};
    if (!stream || ::fstat(dir, &top) != 0) {
        if (stream)
            ::closedir(stream);
        else if (dir >= 0)
            ::close(dir);
        return;
    }
    std::set<std::string> names; // mount point names, made here or left
    while (const dirent *entry = ::readdir(stream)) {
        std::string name = entry->d_name;
        const std::size_t length = std::strlen(kMountPrefix) + 6;
        if (name.size() == length + std::strlen(kRecordSuffix) &&
            name.compare(length, std::string::npos, kRecordSuffix) == 0)
            name.resize(length);
        if (name.size() == length && name.rfind(kMountPrefix, 0) == 0 &&
            name.find('/') == std::string::npos)
            names.insert(name);
    }
    std::set<std::string> mounted;
    for (const Mount &m : mountTable())
        mounted.insert(m.point);
    const std::string prefix = base == "/" ? "" : base;
    const time_t recent = std::time(nullptr) - kLeftoverAge;
    for (const std::string &name : names) {
        const std::string record = name + kRecordSuffix;
        if (mounted.count(prefix + '/' + name))
            continue;
        struct stat st = {};
        const bool point = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (point ? !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || st.st_dev != top.st_dev ||
                        st.st_mtime > recent
                  : errno != ENOENT)
            continue;
        // The lock tells an attach at work: it holds its record's from making it to the end.
        const int fd = ::openat(dir, record.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const bool recorded = fd >= 0;
        const bool left = recorded ? ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                                         st.st_uid == ::getuid() && st.st_mtime <= recent &&
                                         ::flock(fd, LOCK_EX | LOCK_NB) == 0
                                   : errno == ENOENT && point;
        // A folder that holds something is no mount point left empty: it stays, and so does
        // its record.
        if (left && (!point || ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0) && recorded)
            ::unlinkat(dir, record.c_str(), 0);
        if (fd >= 0)
            ::close(fd);
    }
    ::closedir(stream);
}

int attach(int argc, char **argv)
{
    if (argc < 3)
        return fail(kTool,
                    "usage: hdiutil attach IMAGE [-nobrowse] [-noverify] [-readonly] [-plist]", 64);
    const std::set<std::string> known = {"-nobrowse", "-noverify", "-readonly", "-plist"};
    bool plist = false;
    for (int i = 3; i < argc; ++i) {
        if (!known.count(argv[i]))
            return fail(kTool, std::string("attach: unsupported option ") + argv[i], 64);
        plist = plist || std::string(argv[i]) == "-plist";
    }
    char *resolved = ::realpath(argv[2], nullptr);
    struct stat st;
    if (!resolved || ::stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::free(resolved);
        return fail(kTool, std::string("attach failed - ") + argv[2] + ": no such image file");
    }
    const std::string image = resolved;
    std::free(resolved);
    if (const std::string problem = checkImage(image, st.st_size); !problem.empty())
        return fail(kTool, "attach failed - " + problem + ": " + image);

    clearLeftovers();
    // The mount table holds resolved paths; the base is resolved already.
    std::string mountPoint, record;
    int recordFd = -1;
    for (int attempt = 0; attempt < kNameAttempts && recordFd < 0; ++attempt) {
        mountPoint = mountPrefix() + "XXXXXX";
        if (!::mkdtemp(mountPoint.data()))
            return fail(kTool, std::string("attach failed - cannot create a mount point: ") +
                                   std::strerror(errno));
        record = mountPoint + kRecordSuffix;
        // Held until this process ends: a clear-up leaves a record being made alone.
        recordFd = writeNewLocked(record, image + '\n');
        if (recordFd < 0) {
            const int error = errno;
            ::rmdir(mountPoint.c_str());
            // Someone made the name first: another mount point, another name.
            if (error != EEXIST)
                break;
        }
    }
    if (recordFd < 0)
        return fail(kTool, "attach failed - cannot record the image: " + record);

    // Always read-only: nothing here writes into the image.
    // The privileged copy reads the volume as root, which a user's FUSE mount shuts out unless
    // it allows root; that needs user_allow_other in /etc/fuse.conf, so fall back without it.
    const std::string fuse = squashfuse();
    bool mounted =
        ::geteuid() != 0 && runAndWait({fuse, "-o", "ro,allow_root", image, mountPoint}, true) == 0;
    if (!mounted)
        mounted = runAndWait({fuse, "-o", "ro", image, mountPoint}, true) == 0;
    if (!mounted && ::geteuid() == 0)
        mounted = runAndWait({"/bin/mount", "-t", "squashfs", "-o", "ro,loop,nodev,nosuid", image,
                              mountPoint},
                             true) == 0;
    if (!mounted || !mountAt(mountPoint)) {
        ::rmdir(mountPoint.c_str());
        ::unlink(record.c_str());
        return fail(kTool, "attach failed - could not mount " + image);
    }
    if (plist)
        std::fputs(printPlist(image, mountPoint).c_str(), stdout);
    else
        std::printf("%s\t%s\n", image.c_str(), mountPoint.c_str());
    return 0;
}

// Takes down the mount checked through `fd`, its root, and closes `fd`. As root a forced detach
// unmounts that very object. Otherwise the kernel would count `fd` itself as a use, and
// fusermount3 takes only a name (and only the user's own FUSE mounts): the name is taken again,
// and only while it still leads to the mount that was checked.
bool unmount(int fd, const Mount &mount, bool force)
{
    bool done = false;
    if (::geteuid() == 0 && force) {
        done = ::umount2(("/proc/self/fd/" + std::to_string(fd)).c_str(), MNT_DETACH) == 0;
        ::close(fd);
    } else if (mountIdOf(AT_FDCWD, mount.point) != mount.id) {
        ::close(fd);
    } else {
        ::close(fd);
        std::vector<std::string> command = {"/usr/bin/fusermount3", "-u"};
        if (force)
            command.push_back("-z");
        command.push_back(mount.point);
        done = ::geteuid() == 0 ? ::umount2(mount.point.c_str(), UMOUNT_NOFOLLOW) == 0
                                : runAndWait(command, true) == 0;
    }
    const std::optional<Mount> after = mountById(mount.id);
    return done && (!after || after->point != mount.point);
}

int detach(int argc, char **argv)
{
    bool force = false;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option != "-force" && option != "-quiet")
            return fail(kTool, "detach: unsupported option " + option, 64);
        force = force || option == "-force";
    }
    if (argc < 3)
        return fail(kTool, "usage: hdiutil detach MOUNTPOINT [-force] [-quiet]", 64);
    // The name as given, opened once and never through a link: what is checked is what goes.
    const std::string mountPoint = argv[2];
    // Only what attach mounted: never another mount, whoever asks.
    if (!madeHere(mountPoint))
        return fail(kTool, "detach failed - " + mountPoint + " was not attached by hdiutil");
    int fd = ::open(mountPoint.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fail(kTool, "detach failed - " + mountPoint + ": " + std::strerror(errno));
    const std::optional<Mount> mount = mountById(mountIdOf(fd));
    std::string problem;
    if (!mount || mount->point != mountPoint)
        problem = "nothing is mounted at " + mountPoint;
    else if (!holdsImage(*mount))
        problem = mountPoint + " holds no disk image";
    else if (ownerOf(*mount) != ::getuid())
        problem = mountPoint + " was attached by another user";
    else if (!unmount(std::exchange(fd, -1), *mount, force))
        problem = mountPoint + " is busy";
    if (fd >= 0)
        ::close(fd);
    if (!problem.empty())
        return fail(kTool, "detach failed - " + problem);

    ::rmdir(mountPoint.c_str());
    ::unlink((mountPoint + kRecordSuffix).c_str());
    return 0;
}

// The image that the record beside `mountPoint` names, when `owner` wrote it.
std::string recordedImage(const std::string &mountPoint, uid_t owner)
{
    const int fd = ::open((mountPoint + kRecordSuffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st = {};
    std::string image;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == owner) {
        char text[4096];
        for (ssize_t length = 0;
             image.size() <= PATH_MAX && (length = ::read(fd, text, sizeof text)) > 0;)
            image.append(text, static_cast<std::size_t>(length));
    }
    ::close(fd);
    // The whole path and one line break: a path may hold line breaks of its own.
    if (!image.empty() && image.back() == '\n')
        image.pop_back();
    return image;
}

// The images attached here, each with its mount point and the user who attached it, as the
// macOS tool lists them.
int info(int argc, char **argv)
{
    if (argc != 3 || std::string(argv[2]) != "-plist")
        return fail(kTool, "usage: hdiutil info -plist", 64);
    clearLeftovers();
    plist_t images = plist_new_array();
    for (const Mount &m : mountTable()) {
        const std::optional<uid_t> owner = ownerOf(m);
        if (!madeHere(m.point) || !holdsImage(m) || !owner)
            continue;
        plist_t volume = plist_new_dict();
        plist_dict_set_item(volume, "mount-point", plist_new_string(m.point.c_str()));
        plist_t entities = plist_new_array();
        plist_array_append_item(entities, volume);
        plist_t item = plist_new_dict();
        if (const std::string image = recordedImage(m.point, *owner); !image.empty())
            plist_dict_set_item(item, "image-path", plist_new_string(image.c_str()));
        plist_dict_set_item(item, "owner-uid", plist_new_uint(*owner));
        plist_dict_set_item(item, "system-entities", entities);
        plist_array_append_item(images, item);
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "images", images);
    std::fputs(xmlOf(root).c_str(), stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "attach")
        return attach(argc, argv);
    if (verb == "detach")
        return detach(argc, argv);
    if (verb == "info")
        return info(argc, argv);
    return fail(
        kTool,
        "usage: hdiutil attach IMAGE ... | hdiutil detach MOUNTPOINT ... | hdiutil info -plist",
        64);
}
