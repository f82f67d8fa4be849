// The operating-system seams of platform.h for POSIX systems: plain file
// descriptors, and every path taken apart into an open directory and a
// name in it, links followed by hand, so nothing needs the heap (as
// realpath would) and the rename happens beside the file it replaces.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brantcfg::detail {
namespace {

// How many symbolic links one path may pass through before it is taken
// for a loop, as the system itself counts them.
constexpr int MAX_LINK_HOPS = 40;

// Bytes the kernel is asked to copy at a time: large, so a file takes few
// calls, and well within what one call may move.
constexpr std::size_t COPY_CHUNK = 1u << 30;

// Runs a system call again when a signal interrupted it.
template <typename Call>
[[nodiscard]] auto retrying(Call call) noexcept {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Copies text into dest of capacity bytes; false (ENAMETOOLONG) when it
// does not fit.
[[nodiscard]] bool copy_name(const char *text, std::size_t length, char *dest, std::size_t capacity) noexcept {
    if (length + 1 > capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(dest, text, length);
    dest[length] = '\0';
    return true;
}

// Replaces the target's directory with a newly opened one.
void set_directory(target_file *target, int directory) noexcept {
    if (target->directory >= 0) close(target->directory);
    target->directory = directory;
}

// Directories are opened only to name files in them: O_PATH needs no read
// permission on them, as naming a file by its whole path needs none.
#if defined(O_PATH)
constexpr int DIRECTORY_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Takes path (held in scratch, which it may change) apart into the target's
// directory, opened relative to the directory it had, and the name in it.
[[nodiscard]] bool split_path(char *scratch, target_file *target) noexcept {
    char *slash = std::strrchr(scratch, '/');
    const char *name = scratch;
    if (slash) {
        // "/name" lives in the root; "a/b/name" in "a/b".
        name = slash + 1;
        const char *directory_path = "/";
        if (slash != scratch) {
            *slash = '\0';
            directory_path = scratch;
        }
        const int base = target->directory >= 0 ? target->directory : AT_FDCWD;
        const int directory = retrying([&] { return openat(base, directory_path, DIRECTORY_FLAGS); });
        if (directory < 0) return false;
        set_directory(target, directory);
    } else if (target->directory < 0) {
        const int directory = retrying([] { return open(".", DIRECTORY_FLAGS); });
        if (directory < 0) return false;
        set_directory(target, directory);
    }
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        errno = EISDIR;
        return false;
    }
    return copy_name(name, std::strlen(name), target->name, sizeof target->name);
}

// The states a path can be found in by locate.
enum class located { file, missing, link_to_missing };

// Finds the file path names, following symbolic links by hand: on success
// the target's directory is open and its name is the final file's name in
// it, so that a link stays a link and the temporary file lies beside the
// file itself, on its file system. False with errno on failure.
[[nodiscard]] bool locate(const char *path, target_file *target, located *found) noexcept {
    char scratch[PATH_CAPACITY];
    if (!copy_name(path, std::strlen(path), scratch, sizeof scratch)) return false;
    for (int hops = 0;; ++hops) {
        if (!split_path(scratch, target)) return false;
        struct stat status {};
        if (fstatat(target->directory, target->name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return false;
            *found = hops == 0 ? located::missing : located::link_to_missing;
            return true;
        }
        if (!S_ISLNK(status.st_mode)) {
            *found = located::file;
            return true;
        }
        if (hops == MAX_LINK_HOPS) {
            errno = ELOOP;
            return false;
        }
        const ssize_t length = readlinkat(target->directory, target->name, scratch, sizeof scratch - 1);
        if (length < 0) return false;
        if (static_cast<std::size_t>(length) >= sizeof scratch - 1) {
            errno = ENAMETOOLONG;
            return false;
        }
        scratch[length] = '\0';
    }
}

// The temporary name is the target's whole name with its last byte
// replaced by '~'. A name that already ends in '~' would name itself, so it
// has none.
[[nodiscard]] bool make_temp_name(target_file *target) noexcept {
    const std::size_t length = std::strlen(target->name);
    if (length == 0 || target->name[length - 1] == '~') {
        errno = EINVAL;
        return false;
    }
    std::memcpy(target->temp_name, target->name, length + 1);
    target->temp_name[length - 1] = '~';
    return true;
}

}  // namespace

target_file::~target_file() {
    if (directory >= 0) close(directory);
}

file_handle open_for_reading(const char *path, open_result *result) noexcept {
    const int fd = retrying([&] { return open(path, O_RDONLY | O_CLOEXEC); });
    // Only ENOENT means "no file". Everything else (no permission, a path
    // through a file) is a file that exists but cannot be read.
    if (fd >= 0)
        *result = open_result::opened;
    else
        *result = (errno == ENOENT) ? open_result::missing : open_result::failed;
    return fd;
}

long read_file(file_handle file, char *buffer, std::size_t size) noexcept {
    return static_cast<long>(retrying([&] { return read(file, buffer, size); }));
}

bool seek_file(file_handle file, long offset) noexcept {
    return lseek(file, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool write_file(file_handle file, const char *bytes, std::size_t size) noexcept {
    // A write may take fewer bytes than it was given (a signal, a nearly
    // full disk); the rest follows until all are written or one fails.
    while (size > 0) {
        const ssize_t written = retrying([&] { return write(file, bytes, size); });
        if (written < 0) return false;
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

long copy_file_tail(file_handle in, long offset, file_handle out) noexcept {
#if defined(__linux__) && (defined(__LP64__) || (defined(_FILE_OFFSET_BITS) && _FILE_OFFSET_BITS == 64))
    // Within one file system the kernel copies without the bytes crossing
    // into this process, or shares the blocks where the file system can.
    off_t from = static_cast<off_t>(offset);
    long copied = 0;
    for (;;) {
        const ssize_t count = retrying([&] { return copy_file_range(in, &from, out, nullptr, COPY_CHUNK, 0); });
        if (count == 0) return copied;
        if (count < 0) {
            // Refused before a byte moved: the system, the file system or
            // this pair of files does not do it, and the caller copies.
            const bool refused = errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                                 errno == EOPNOTSUPP || errno == EPERM || errno == EBADF;
            return refused && copied == 0 ? COPY_NOT_POSSIBLE : -1;
        }
        copied += static_cast<long>(count);
    }
#else
    static_cast<void>(in);
    static_cast<void>(offset);
    static_cast<void>(out);
    return COPY_NOT_POSSIBLE;
#endif
}

bool sync_file(file_handle file) noexcept { return retrying([&] { return fsync(file); }) == 0; }

bool close_file(file_handle file) noexcept {
    // close is not retried: after EINTR the descriptor is gone on Linux,
    // and another thread may already hold its number again.
    return close(file) == 0;
}

void close_read_file(file_handle file) noexcept {
    const int cause = errno;
    close(file);  // read-only: closing it cannot lose data
    errno = cause;
}

file_handle open_for_update(const char *path) noexcept {
    return retrying([&] { return open(path, O_RDWR | O_CLOEXEC); });
}

file_handle create_file(const char *path) noexcept {
    const mode_t new_file_mode = 0666;  // what any new file gets, less the umask
    return retrying([&] { return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, new_file_mode); });
}

bool describe_new_target(const char *path, target_file *target) noexcept {
    target->inherit = false;
    located found = located::file;
    if (!locate(path, target, &found)) return false;
    // Something at a path that could not be opened for being missing is a
    // link that leads nowhere (yet). The file it names is created, not a
    // file put in the link's place, and it is not replaced by renaming.
    if (found != located::missing) {
        errno = EEXIST;
        return false;
    }
    return make_temp_name(target);
}

bool describe_target(const char *path, file_handle source, target_file *target) noexcept {
    located found = located::missing;
    if (!locate(path, target, &found)) return false;
    if (found != located::file) {
        errno = ENOENT;  // the file went away since it was opened
        return false;
    }
    // A file whose permission bits forbid this caller to write it is left
    // alone, as an in-place patch of it would be; replacing it by rename
    // needs only a writable directory.
    if (faccessat(target->directory, target->name, W_OK, AT_EACCESS) != 0) return false;
    struct stat status {};
    if (fstat(source, &status) != 0) return false;
    target->mode = static_cast<unsigned>(status.st_mode & 07777);
    target->owner = static_cast<long>(status.st_uid);
    target->group = static_cast<long>(status.st_gid);
    return make_temp_name(target);
}

file_handle create_temp_file(const target_file &target) noexcept {
    // A stale temporary file, or anything else an earlier crash or another
    // program left under that name, is removed rather than opened: opening
    // it could follow a link planted there and overwrite another file.
    if (unlinkat(target.directory, target.temp_name, 0) != 0 && errno != ENOENT) return NO_FILE;
    const mode_t new_file_mode = 0666;  // what any new file gets, less the umask
    const int fd = retrying([&] {
        return openat(target.directory, target.temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                      target.inherit ? static_cast<mode_t>(target.mode & 0777) : new_file_mode);
    });
    if (fd < 0) return NO_FILE;
    // The umask may have cleared bits the old file had; the new file gets
    // exactly the old bits. Owner and group are kept where this process may
    // set them (as root, or a group it belongs to); where it may not, the
    // file belongs to the writer, as any new file would, so that failure is
    // not an error.
    int cause = 0;
    if (target.inherit && fchmod(fd, static_cast<mode_t>(target.mode)) != 0) cause = errno;
    if (cause == 0 && target.inherit &&
        fchown(fd, static_cast<uid_t>(target.owner), static_cast<gid_t>(target.group)) != 0) {
        const int group_kept = fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(target.group));
        static_cast<void>(group_kept);
    }
    if (cause != 0) {
        close(fd);
        unlinkat(target.directory, target.temp_name, 0);
        errno = cause;
        return NO_FILE;
    }
    return fd;
}

bool replace_with_temp_file(const target_file &target) noexcept {
    return renameat(target.directory, target.temp_name, target.directory, target.name) == 0;
}

void remove_temp_file(const target_file &target) noexcept {
    const int cause = errno;
    // Nothing better can be done when this fails: the caller is already
    // reporting the failure that ended the rewrite.
    unlinkat(target.directory, target.temp_name, 0);
    errno = cause;
}

void remove_created_file(const char *path) noexcept {
    // Through a link, the file now exists and the link resolves; removing
    // the path itself would take away the link and leave the file.
    target_file target;
    located found = located::missing;
    if (locate(path, &target, &found) && found == located::file)
        unlinkat(target.directory, target.name, 0);
    else
        unlink(path);
}

void sync_target_directory(const target_file &target) noexcept {
    // The rename is complete and the new content synced; a failed directory
    // sync only means the rename itself may not yet survive a power loss,
    // and the caller has nothing better to do than report success.
    const int directory = retrying([&] { return openat(target.directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (directory < 0) return;
    static_cast<void>(fsync(directory));
    close(directory);
}

}  // namespace brantcfg::detail
