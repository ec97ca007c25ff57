// osascript -e 'do shell script "..." with administrator privileges': the one script form the
// installer sends. Runs the command with /bin/sh as root, through pkexec when not root.
// Builds with tests take another pkexec from QUORVEL_TEST_PKEXEC, so that tests can answer the
// prompt; shipped builds have no such seam.
#include "tool_support.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

constexpr const char *kPrefix = "do shell script \"";
constexpr const char *kSuffix = " with administrator privileges";
// pkexec's status when the user dismissed the authentication dialog.
constexpr int kPkexecDismissed = 126;

// Undoes the string-literal escaping; absent when the script is not exactly the known form.
std::optional<std::string> shellCommandOf(const std::string &script)
{
    const std::string prefix = kPrefix;
    if (script.rfind(prefix, 0) != 0)
        return std::nullopt;
    std::string command;
    for (std::string::size_type i = prefix.size(); i < script.size(); ++i) {
        const char c = script[i];
        if (c == '"')
            return script.substr(i + 1) == kSuffix ? std::optional(command) : std::nullopt;
        if (c != '\\') {
            command += c;
            continue;
        }
        if (++i == script.size())
            return std::nullopt;
        switch (script[i]) {
        case '\\':
        case '"':
            command += script[i];
            break;
        case 'n':
            command += '\n';
            break;
        case 't':
            command += '\t';
            break;
        case 'r':
            command += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return std::nullopt; // the literal never closed
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || std::string(argv[1]) != "-e")
        return fail("osascript", "usage: osascript -e SCRIPT", 64);
    const std::optional<std::string> command = shellCommandOf(argv[2]);
    if (!command)
        return fail("osascript",
                    "only 'do shell script \"...\" with administrator privileges' is supported",
                    64);

    std::string pkexec = "/usr/bin/pkexec";
#ifdef QUORVEL_TEST_SEAMS
    if (const char *fake = std::getenv("QUORVEL_TEST_PKEXEC"); fake && fake[0] == '/')
        pkexec = fake;
#endif
    std::vector<std::string> run = {"/bin/sh", "-c", *command};
    if (::geteuid() != 0)
        run.insert(run.begin(), pkexec);
    const int status = runAndWait(run, false);
    if (status == 0)
        return 0;
    if (::geteuid() != 0 && status == kPkexecDismissed) {
        std::printf("User canceled. (-128)\n");
        return 1;
    }
    return fail("osascript",
                "execution error: the shell command failed with status " + std::to_string(status),
                1);
}
