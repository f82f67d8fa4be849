// The exit statuses of the command-line tool, and the failure that carries
// one of them, with its one-line message, out of a verb to main().
#ifndef BRANTCFG_TOOL_FAILURE_H
#define BRANTCFG_TOOL_FAILURE_H

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace brantcfg_tool {

enum class exit_status : int {
    ok = 0,          // the verb did what was asked
    not_found = 1,   // get or keys found nothing; set --existing found no key
    usage = 2,       // the command line is wrong, or the library refuses a name
    file_error = 3,  // a file, standard input or standard output could not be read or written
};

// Why a verb stops early: the status to exit with, a one-line message, and
// whether the usage hint follows it.
struct failure {
    exit_status status;
    std::string message;
    bool hint = false;
};

// A wrong command line: the message and the hint to read --help.
[[noreturn]] inline void fail_usage(std::string message) {
    throw failure{exit_status::usage, std::move(message), true};
}

// "cannot ACTION NAME: reason", where cause is an errno value (0 when the
// system gave none).
[[noreturn]] inline void fail_file(const char *action, const std::string &name, int cause) {
    throw failure{exit_status::file_error,
                  std::string("cannot ") + action + " " + name + ": " + std::strerror(cause != 0 ? cause : EIO)};
}

}  // namespace brantcfg_tool

#endif
