// Standard streams, private copies and whole files for the command-line
// tool; see files.h. Only standard C++ and the library's C++ layer, except
// for the one call per system that sets the standard streams to binary.
#include "files.h"

#include "failure.h"

#include <brantcfg.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <random>
#include <system_error>
#include <type_traits>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#endif

namespace brantcfg_tool {
namespace {

namespace fs = std::filesystem;

// Bytes moved per read when copying a stream or reading a file.
constexpr std::size_t CHUNK_SIZE = 65536;

// ---- removal when a signal ends the process -----------------------------------

// The paths a signal handler removes: every private copy, the temporary
// file a rewrite of it may have left (its path with the last byte "~"), and
// the folder. Kept in fixed arrays so that the handler reads only memory
// that nothing frees or moves; a path too long for them is still removed on
// every other way out.
constexpr std::size_t CLEANUP_PATH_SIZE = 4096;
constexpr int CLEANUP_FILES = 8;

struct cleanup_list {
    char folder[CLEANUP_PATH_SIZE];
    char files[CLEANUP_FILES][CLEANUP_PATH_SIZE];
    volatile std::sig_atomic_t count;
};
cleanup_list to_remove{};

// remove() is unlink() or rmdir() underneath on POSIX, both safe to call in
// a signal handler. The signal is then raised again with its default
// action, so the process still ends as the signal says.
extern "C" void remove_copies_and_end(int signal_number) {
    for (std::sig_atomic_t i = 0; i < to_remove.count; ++i) std::remove(to_remove.files[i]);
    std::remove(to_remove.folder);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// The signals that end a process and can be caught.
constexpr int ENDING_SIGNALS[] = {
    SIGINT,
    SIGTERM,
#if defined(SIGHUP)
    SIGHUP,
#endif
#if defined(SIGPIPE)
    SIGPIPE,
#endif
};

[[nodiscard]] bool fits(const std::string &path) { return path.size() < CLEANUP_PATH_SIZE; }

void list_for_removal(const std::string &path) {
    if (!fits(path) || to_remove.count + 2 > CLEANUP_FILES) return;
    std::string temporary = path;
    temporary.back() = '~';
    for (const std::string *name : {&path, static_cast<const std::string *>(&temporary)}) {
        std::snprintf(to_remove.files[to_remove.count], CLEANUP_PATH_SIZE, "%s", name->c_str());
        // The name is whole before the handler can count it.
        std::atomic_signal_fence(std::memory_order_release);
        to_remove.count = to_remove.count + 1;
    }
}

// ---- paths --------------------------------------------------------------------

// A path as the library takes it (in the ANSI code page on Windows).
[[nodiscard]] std::string library_path(const fs::path &path) { return brantcfg::path_arg(path).get(); }

[[nodiscard]] std::string random_name() {
    std::random_device random;
    const unsigned long long bits = (static_cast<unsigned long long>(random()) << 32) ^ random();
    char name[32];
    std::snprintf(name, sizeof name, "brantcfg-%016llx", bits);
    return name;
}

}  // namespace

// ---- standard streams ---------------------------------------------------------

void use_binary_stdio() noexcept {
#if defined(_WIN32)
    // No call can fail for a stream the runtime opened itself. Standard
    // error goes along, so that every message ends in LF everywhere.
    static_cast<void>(_setmode(_fileno(stdin), _O_BINARY));
    static_cast<void>(_setmode(_fileno(stdout), _O_BINARY));
    static_cast<void>(_setmode(_fileno(stderr), _O_BINARY));
#endif
}

bool names_stream(const std::string &path) {
    // Where paths are not narrow text (Windows) the name would be converted
    // by another rule than the library's; pipes there are not named by path.
    if constexpr (std::is_same_v<fs::path::value_type, char>) {
        std::error_code ignored;
        const fs::file_type type = fs::status(path, ignored).type();
        return type == fs::file_type::fifo || type == fs::file_type::character || type == fs::file_type::socket;
    }
    return false;
}

// ---- whole files --------------------------------------------------------------

std::optional<std::string> read_bytes(const std::string &path, const std::string &name) {
    errno = 0;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT) return std::nullopt;
        fail_file("read", name, errno);
    }
    std::string bytes;
    static char chunk[CHUNK_SIZE];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, count);
    const int cause = std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
    std::fclose(file);  // opened for reading only: closing it loses nothing
    if (cause != 0) fail_file("read", name, cause);
    return bytes;
}

// ---- private copies -----------------------------------------------------------

void scratch::make_folder() {
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) fail_file("find", "the temporary folder", error.value());
    // create_directory is true only for a folder it made now, never for one
    // that was there (a name someone else chose, or a link): a name that is
    // taken is passed over.
    for (int attempt = 0; attempt < 100 && folder_.empty(); ++attempt) {
        const fs::path candidate = base / random_name();
        if (fs::create_directory(candidate, error))
            folder_ = candidate;
        else if (error && error != std::errc::file_exists)
            fail_file("create a folder in", library_path(base), error.value());
    }
    if (folder_.empty()) fail_file("create a folder in", library_path(base), EEXIST);
    to_remove.count = 0;
    std::snprintf(to_remove.folder, sizeof to_remove.folder, "%s",
                  fits(library_path(folder_)) ? library_path(folder_).c_str() : "");
    for (const int signal_number : ENDING_SIGNALS) std::signal(signal_number, remove_copies_and_end);
    // Only the owner may enter; with that in place, a folder that is still
    // empty can hold nothing but what this process puts there.
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::replace, error);
    if (error || !fs::is_empty(folder_, error) || error)
        fail_file("use the private folder", library_path(folder_), error ? error.value() : EEXIST);
}

scratch::~scratch() {
    if (folder_.empty()) return;
    for (const int signal_number : ENDING_SIGNALS) std::signal(signal_number, SIG_DFL);
    to_remove.count = 0;
    std::error_code ignored;  // nothing more can be done about a copy left behind
    fs::remove_all(folder_, ignored);
}

std::string scratch::copy(std::FILE *from, const std::string &from_name, const char *name) {
    if (folder_.empty()) make_folder();
    const std::string path = library_path(folder_ / name);
    list_for_removal(path);
    errno = 0;
    std::FILE *to = std::fopen(path.c_str(), "wb");
    if (!to) fail_file("write", path, errno);
    static char chunk[CHUNK_SIZE];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, from)) > 0) {
        if (std::fwrite(chunk, 1, count, to) != count) {
            const int cause = errno;
            std::fclose(to);  // the copy is given up; its folder goes with the scratch
            fail_file("write", path, cause);
        }
    }
    if (std::ferror(from)) {
        const int cause = errno;
        std::fclose(to);  // the copy is given up; its folder goes with the scratch
        fail_file("read", from_name, cause);
    }
    // A close that fails may have lost the tail of the copy.
    if (std::fclose(to) != 0) fail_file("write", path, errno);
    return path;
}

}  // namespace brantcfg_tool
