// The operating-system seams of platform.h for POSIX systems: plain file
// descriptors, and every path taken apart into an open directory and a
// name in it, links followed by hand, so nothing needs the heap (as
// realpath would) and the rename happens beside the file it replaces.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#  include <sys/xattr.h>
#endif

static_assert(sizeof(off_t) == sizeof(brantcfg::detail::file_offset),
              "offsets are 64 bits: build with _FILE_OFFSET_BITS=64");

namespace brantcfg::detail {
namespace {

// How many symbolic links one path may pass through before it is taken
// for a loop, as the system itself counts them.
constexpr int MAX_LINK_HOPS = 40;

// Bytes the kernel is asked to copy at a time. After a stretch of at least
// WRITEBACK_AT_LEAST bytes the system is told to start writing what was
// copied to the disk, so the disk works while the rest is copied, and the
// sync before the rename finds most of the file on its way already. Both
// were chosen by measurement (docs/PERFORMANCE.md).
constexpr std::size_t COPY_STRIDE = 1u << 20;
constexpr std::size_t WRITEBACK_AT_LEAST = 64 * 1024;

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

}  // namespace

target_file::~target_file() {
    if (directory >= 0) close(directory);
}

file_handle open_for_reading(const char *path, open_result *result) noexcept {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; O_NOCTTY: a
    // terminal must not become the process's. Neither changes how a
    // regular file is read.
    const int fd = retrying([&] { return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) {
        // Only ENOENT means "no file". Everything else (no permission, a
        // path through a file) is a file that exists but cannot be read.
        *result = (errno == ENOENT) ? open_result::missing : open_result::failed;
        return NO_FILE;
    }
    // Only a regular file is read: a device may never end, and a folder is
    // no file of entries.
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int cause = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = cause;
        *result = open_result::failed;
        return NO_FILE;
    }
    *result = open_result::opened;
    return fd;
}

long read_file(file_handle file, char *buffer, std::size_t size) noexcept {
    return static_cast<long>(retrying([&] { return read(file, buffer, size); }));
}

bool seek_file(file_handle file, file_offset offset) noexcept {
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

file_offset copy_file_bytes(file_handle in, file_offset offset, file_offset length, file_handle out) noexcept {
#if defined(__linux__)
    // Within one file system the kernel copies without the bytes crossing
    // into this process, or shares the blocks where the file system can.
    off_t from = static_cast<off_t>(offset);
    file_offset copied = 0;
    while (length < 0 || copied < length) {
        std::size_t wanted = COPY_STRIDE;
        if (length >= 0 && static_cast<std::size_t>(length - copied) < wanted)
            wanted = static_cast<std::size_t>(length - copied);
        const ssize_t count = retrying([&] { return copy_file_range(in, &from, out, nullptr, wanted, 0); });
        if (count == 0) break;  // the end of in
        // Only a hint: the sync before the rename is what makes it durable,
        // and writes whatever this did not start.
        if (count >= static_cast<ssize_t>(WRITEBACK_AT_LEAST))
            static_cast<void>(sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE));
        if (count < 0) {
            // Refused before a byte moved: the system, the file system or
            // this pair of files does not do it, and the caller copies.
            const bool refused = errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                                 errno == EPERM || errno == EBADF;
            return refused && copied == 0 ? COPY_NOT_POSSIBLE : -1;
        }
        copied += static_cast<file_offset>(count);
    }
    return copied;
#else
    static_cast<void>(in);
    static_cast<void>(offset);
    static_cast<void>(length);
    static_cast<void>(out);
    return COPY_NOT_POSSIBLE;
#endif
}

bool sync_file(file_handle file) noexcept {
    return retrying([&] { return fsync(file); }) == 0;
}

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

file_handle create_file(const char *path) noexcept {
    const mode_t new_file_mode = 0666;  // what any new file gets, less the umask
    return retrying([&] { return open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, new_file_mode); });
}

file_offset file_size(file_handle file) noexcept {
    struct stat status {};
    return fstat(file, &status) == 0 ? static_cast<file_offset>(status.st_size) : -1;
}

bool read_version(file_handle file, file_version *version) noexcept {
    struct stat status {};
    if (fstat(file, &status) != 0) return false;
    constexpr long long NANOSECONDS = 1000000000LL;
    version->size = static_cast<long long>(status.st_size);
    version->written = static_cast<long long>(status.st_mtim.tv_sec) * NANOSECONDS + status.st_mtim.tv_nsec;
    version->changed = static_cast<long long>(status.st_ctim.tv_sec) * NANOSECONDS + status.st_ctim.tv_nsec;
    return true;
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
    return make_temp_name(target->name, target->temp_name);
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
    return true;
}

namespace {

[[nodiscard]] bool same_file(const struct stat &a, const struct stat &b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool names_file(const target_file &target, file_handle source) noexcept {
    struct stat named {
    }, opened{};
    if (fstatat(target.directory, target.name, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(source, &opened) == 0 &&
        same_file(named, opened))
        return true;
    errno = EAGAIN;
    return false;
}

writer_lock::~writer_lock() {
    if (handle_ != NO_FILE) close(handle_);  // lets go of the lock
}

bool writer_lock::take(const target_file &target) noexcept {
    // The lock is the directory's, so it also covers the temporary name,
    // which files of one directory may share, and files not yet created.
    const int directory = retrying([&] { return openat(target.directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (directory < 0) return false;
    if (held_) {
        struct stat now {
        }, before{};
        if (fstat(directory, &now) == 0 && fstat(handle_, &before) == 0 && same_file(now, before)) {
            close(directory);
            return true;
        }
        close(handle_);  // the target moved to another directory: that one's lock is taken instead
        handle_ = NO_FILE;
        held_ = false;
    }
    // flock belongs to the open directory, not to the process: two threads
    // exclude each other as two processes do, and no other close lets go
    // of it, as one would of a record lock.
    if (retrying([&] { return flock(directory, LOCK_EX); }) != 0) {
        const int cause = errno;
        close(directory);
        errno = cause;
        return false;
    }
    handle_ = directory;
    held_ = true;
    return true;
}

file_handle open_same_file_for_update(const target_file &target, file_handle source) noexcept {
    const int fd = retrying(
        [&] { return openat(target.directory, target.name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) return NO_FILE;
    struct stat updated {
    }, opened{};
    if (fstat(fd, &updated) == 0 && fstat(source, &opened) == 0 && same_file(updated, opened)) return fd;
    close(fd);
    errno = EAGAIN;
    return NO_FILE;
}

bool read_at(file_handle file, file_offset offset, char *buffer, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t got = retrying([&] { return pread(file, buffer, size, static_cast<off_t>(offset)); });
        if (got <= 0) {
            if (got == 0) errno = EIO;  // the file ended before the bytes did
            return false;
        }
        buffer += got;
        offset += static_cast<file_offset>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool write_at(file_handle file, file_offset offset, const char *bytes, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = retrying([&] { return pwrite(file, bytes, size, static_cast<off_t>(offset)); });
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        bytes += written;
        offset += static_cast<file_offset>(written);
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

namespace {

#if defined(__linux__)
// True when name appears in the NUL-separated list of length bytes.
[[nodiscard]] bool listed(const char *list, std::size_t length, const char *name) noexcept {
    for (const char *at = list; at < list + length; at += std::strlen(at) + 1)
        if (std::strcmp(at, name) == 0) return true;
    return false;
}

// The extended attribute names of a file into list; -1 with errno, E2BIG
// when they do not fit. A file system without them has none.
[[nodiscard]] ssize_t list_attributes(int fd, char *list, std::size_t capacity) noexcept {
    const ssize_t length = flistxattr(fd, list, capacity);
    if (length >= 0) return length;
    if (errno == ENOTSUP) return 0;
    if (errno == ERANGE) errno = E2BIG;
    return -1;
}

// Makes out's extended attributes those of source: each of source's set
// on out unless out already has it with that value, and each out has that
// source lacks (an access list inherited from the folder, say) removed.
[[nodiscard]] bool copy_attributes(int source, int out, char *scratch, std::size_t scratch_size) noexcept {
    const std::size_t list_size = scratch_size / 6;
    const std::size_t value_size = (scratch_size - 2 * list_size) / 2;
    char *source_names = scratch;
    char *out_names = source_names + list_size;
    char *value = out_names + list_size;
    char *present = value + value_size;
    const ssize_t source_length = list_attributes(source, source_names, list_size);
    const ssize_t out_length = list_attributes(out, out_names, list_size);
    if (source_length < 0 || out_length < 0) return false;
    const auto source_total = static_cast<std::size_t>(source_length);
    const auto out_total = static_cast<std::size_t>(out_length);
    for (const char *name = source_names; name < source_names + source_total; name += std::strlen(name) + 1) {
        const ssize_t length = fgetxattr(source, name, value, value_size);
        if (length < 0) {
            if (errno == ENODATA) continue;  // removed since it was listed
            if (errno == ERANGE) errno = E2BIG;
            return false;
        }
        const ssize_t has = fgetxattr(out, name, present, value_size);
        if (has == length && std::memcmp(present, value, static_cast<std::size_t>(length)) == 0) continue;
        if (fsetxattr(out, name, value, static_cast<std::size_t>(length), 0) != 0) return false;
    }
    for (const char *name = out_names; name < out_names + out_total; name += std::strlen(name) + 1) {
        if (!listed(source_names, source_total, name) && fremovexattr(out, name) != 0 && errno != ENODATA) return false;
    }
    return true;
}
#endif

}  // namespace

bool keep_attributes(file_handle source, file_handle out, const target_file &target, char *scratch,
                     std::size_t scratch_size) noexcept {
    if (!target.inherit) return true;  // a new file gets what any new file gets
    // Owner and group first: changing them clears the set-ID bits, which
    // the mode then sets again. The owner is kept where this process may
    // set it (as root); where it may not, the file belongs to the writer,
    // who could write it anyway. A group that cannot be kept must not be
    // granted what the old group was.
    const auto owner = static_cast<uid_t>(target.owner);
    const auto group = static_cast<gid_t>(target.group);
    if (fchown(out, owner, group) != 0 && fchown(out, static_cast<uid_t>(-1), group) != 0 && (target.mode & 0070) != 0)
        return false;
    if (fchmod(out, static_cast<mode_t>(target.mode)) != 0) return false;
#if defined(__linux__)
    if (!copy_attributes(source, out, scratch, scratch_size)) return false;
#else
    static_cast<void>(source);
    static_cast<void>(scratch);
    static_cast<void>(scratch_size);
#endif
    // The system may have dropped a bit it does not let this caller set
    // (set-group-ID outside the file's group): the file would differ from
    // what it replaces, so it does not replace it.
    struct stat status {};
    if (fstat(out, &status) != 0) return false;
    if ((status.st_mode & 07777) != target.mode) {
        errno = EPERM;
        return false;
    }
    return true;
}

file_handle create_temp_file(target_file &target) noexcept {
    if (!make_temp_name(target.name, target.temp_name)) return NO_FILE;
    // A stale temporary file, or anything else an earlier crash or another
    // program left under that name, is removed rather than opened: opening
    // it could follow a link planted there and overwrite another file. The
    // writers' lock makes sure no writer is using it.
    if (unlinkat(target.directory, target.temp_name, 0) != 0 && errno != ENOENT) return NO_FILE;
    // Private until it is complete; keep_attributes then gives it the old
    // file's owner and mode. A new file gets what any new file gets.
    const mode_t private_mode = 0600;
    const mode_t new_file_mode = 0666;  // less the umask
    return retrying([&] {
        return openat(target.directory, target.temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      target.inherit ? private_mode : new_file_mode);
    });
}

bool replace_with_temp_file(const target_file &target) noexcept {
    return renameat(target.directory, target.temp_name, target.directory, target.name) == 0;
}

bool name_new_file(const target_file &target) noexcept {
    // A hard link never replaces what is there: a file another program
    // created meanwhile is kept, and the caller starts over on it.
    if (linkat(target.directory, target.temp_name, target.directory, target.name, 0) == 0) {
        // The name is the file's now; a temporary name left over is removed
        // by the next rewrite before it makes its own.
        static_cast<void>(unlinkat(target.directory, target.temp_name, 0));
        return true;
    }
    if (errno == EEXIST) return false;
    // A file system without hard links: the rename, which replaces, is
    // all there is.
    if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EMLINK || errno == ENOSYS)
        return replace_with_temp_file(target);
    return false;
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
