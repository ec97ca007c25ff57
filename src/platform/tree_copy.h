#pragma once

#include <string>

// Recursive copy of an application bundle, shared by the installer's plain copy and the
// ditto stand-in. Plain C++ and POSIX, so the stand-ins need no Qt.
namespace TreeCopy {

// Copies `from` to `to`. Symbolic links are copied as links and never followed; folders and
// regular files keep their permission bits (set-id bits dropped), times and extended
// attributes. An existing folder at a target is merged into, any other existing entry is
// replaced. Fifos, sockets and device nodes are refused: a bundle has none, and copying
// them with administrator rights would be a hazard. Returns an empty string on success,
// else a description of the first failure; the copy stops there.
std::string copyTree(const std::string &from, const std::string &to);

} // namespace TreeCopy
