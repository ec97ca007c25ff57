#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

// Recursive copy of an application bundle, shared by the installer's plain copy, the ditto
// stand-in and the privileged install helper. Plain C++ and POSIX, so the stand-ins need no Qt.
//
// Below the paths named, everything works from folder descriptors (openat, mkdirat,
// O_NOFOLLOW | O_DIRECTORY, fchmod): a symbolic link is never followed, and a folder swapped
// for a link while the work goes on is refused rather than written through.
namespace TreeCopy {

// What stopped a copy or a removal: a description and the errno behind it. Empty: nothing did.
class Failure
{
public:
    Failure() = default;
    // `ownOrRoots`: what refused is root's or this process's own, not a third user's.
    Failure(std::string text, int code, bool ownOrRoots = false)
        : m_text(std::move(text)), m_code(code), m_ownOrRoots(ownOrRoots)
    {}

    bool empty() const { return m_text.empty(); }
    const std::string &text() const { return m_text; }
    int code() const { return m_code; }
    // Access refused (EACCES, EPERM) by something of root's or this process's own: what a run
    // with administrator rights gets past. A full disk, a read-only file system, a name too long,
    // an I/O error or an entry of another user is not.
    bool rightsWouldMend() const;

private:
    std::string m_text;
    int m_code = 0;
    bool m_ownOrRoots = false;
};

// Copies `from` to `to`. Symbolic links are copied as links and never followed; folders and
// regular files keep their permission bits (set-id bits dropped), times and extended
// attributes (on Linux those of the user namespace). An existing folder at a target is merged
// into, any other existing entry is replaced. Fifos, sockets and device nodes are refused: a
// bundle has none, and copying them with administrator rights would be a hazard. The folders
// holding `from` and `to` are found by path. Returns the first failure; the copy stops there.
Failure copyTree(const std::string &from, const std::string &to);

// Removes `path` and everything below it, never following a link nor entering a mount; a missing
// one is no error. Returns the first failure (it goes on past failures).
Failure removeTree(const std::string &path);

struct Placement
{
    bool createFolders = false;   // make the missing folders of `destDir` (mode 0755)
    bool clearQuarantine = false; // remove the download quarantine mark from the copy
    // No group or other write bits on anything the copy makes: a copy made with administrator
    // rights must not be open to changes by other users.
    bool restrictModes = false;
    // Run with administrator rights for this user: no folder on the way to `from` or to
    // `destDir` may be one a third user could change. Each must be root's or the user's, and
    // not writable by group or others unless sticky; on the way to `from`, all below the first
    // folder of the user's must be the user's. Nothing is made before that is known.
    std::optional<uid_t> actingFor;
};

// Installs a copy of the folder `from` as `destDir`/`name`, the way both install roads do:
// copies into a staging folder made afresh beside it (.`name`.installing-XXXXXXXXXXXX, a random
// name, locked while this run fills it), checks that the bundle now at `destDir`/`name` (if
// any) can be removed as a whole, swaps the two in one step (renameat2 RENAME_EXCHANGE; where
// the file system refuses the exchange, the old bundle steps aside to the staging name with
// ".previous" added), then removes the previous bundle. On failure before the swap, the
// previous bundle is untouched and the staging copy is removed. A previous bundle that holds a
// mount is never replaced, nor, with administrator rights, one that holds a third user's entry.
//
// What killed runs left goes on the way, but only what is provably theirs: this user's own
// real folders of those names that no live run holds locked. An aside copy goes back to
// `name` when nothing is there, and other aside copies go only once the new copy is in place.
//
// `from` and `destDir` must be absolute paths without symbolic links (canonical): every
// component is opened with O_NOFOLLOW, so a link put in the way is refused. `from` must be a
// real folder. What is moved into place is checked to be the folder that was filled.
//
// Returns an empty failure once the copy is in place. Should the previous bundle then resist
// removal after all (it was checked to be removable), what stopped it goes to `leftover`.
Failure placeTree(const std::string &from, const std::string &destDir, const std::string &name,
                  const Placement &how, std::string *leftover = nullptr);

} // namespace TreeCopy
