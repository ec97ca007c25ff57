#pragma once

#include <string>
#include <vector>

// Small helpers shared by the Linux stand-ins for the system tools.

// Prints "<tool>: <message>" on standard error and returns `status`, for `return fail(...)`.
int fail(const char *tool, const std::string &message, int status = 1);

// Runs argv[0] (an absolute path, no PATH search) with argv and waits for it. Standard output
// goes to /dev/null when `quietOutput` is set, else it is shared with this process. Returns
// the exit status, 128 plus the signal number when killed, -1 when it could not be started.
int runAndWait(const std::vector<std::string> &argv, bool quietOutput);

// Creates `dir` and its missing parents with mode 0755; true when it exists as a folder.
bool makeFolders(const std::string &dir);
