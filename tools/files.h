// Files as the command-line tool sees them around the library: standard
// input and output carrying bytes as they are, private copies of what can
// be read only once (standard input, pipes), and a file's whole bytes.
#ifndef BRANTCFG_TOOL_FILES_H
#define BRANTCFG_TOOL_FILES_H

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace brantcfg_tool {

// Makes the standard streams pass bytes unchanged on every system (on
// Windows they would turn CR LF into LF and stop reading at a Ctrl-Z, and
// write every LF as CR LF).
void use_binary_stdio() noexcept;

// Whether path names a pipe, a socket or a character device rather than a
// file: such a thing gives its bytes once, while the library opens a file
// again on every call.
[[nodiscard]] bool names_stream(const std::string &path);

// The whole bytes of the file at path, or nothing when there is no file.
// name is what a message calls it; a read that fails throws a failure.
[[nodiscard]] std::optional<std::string> read_bytes(const std::string &path, const std::string &name);

// Private copies of what the library cannot read by path itself, each a
// file in a folder made for this process alone in the system's temporary
// folder. The folder is made on the first copy, only its owner may enter
// it, and it goes with everything in it when the scratch ends: on a
// return, on an exception, and when a signal ends the process (interrupt,
// termination, hang-up, a closed pipe).
class scratch {
public:
    scratch() = default;
    scratch(const scratch &) = delete;
    scratch &operator=(const scratch &) = delete;
    ~scratch();

    // Copies everything from gives into a new file called name in the
    // folder and returns its path, as the library takes a path. from_name
    // is what a message calls from. Throws a failure when a read or a write
    // fails.
    [[nodiscard]] std::string copy(std::FILE *from, const std::string &from_name, const char *name);

private:
    void make_folder();
    std::filesystem::path folder_;
};

}  // namespace brantcfg_tool

#endif
