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
#include <time.h>
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

}  // namespace

// The tests' own build (BRANTCFG_TEST_SEAMS) makes chosen system calls
// fail through this hook, which the test program defines: given the call's
// name it returns 0 to let the call run, or the errno value it fails with.
// Built for use, the library asks nothing and every call runs.
#if defined(BRANTCFG_TEST_SEAMS)
extern "C" int brantcfg_system_call(const char *name);
#endif

namespace {

[[nodiscard]] int injected_failure(const char *name) noexcept {
#if defined(BRANTCFG_TEST_SEAMS)
    return brantcfg_system_call(name);
#else
    static_cast<void>(name);
    return 0;
#endif
}

// Runs the system call name, and runs it again when a signal interrupted
// it; -1 with errno on failure.
template <typename Call>
[[nodiscard]] auto retrying(const char *name, Call call) noexcept {
    decltype(call()) result;
    do {
        const int injected = injected_failure(name);
        if (injected != 0) {
            errno = injected;
            result = -1;
        } else {
            result = call();
        }
    } while (result < 0 && errno == EINTR);
    return result;
}

[[nodiscard]] int status_of(int fd, struct stat *status) noexcept {
    return retrying("fstat", [&] { return fstat(fd, status); });
}

[[nodiscard]] int status_at(int directory, const char *name, struct stat *status) noexcept {
    return retrying("fstatat", [&] { return fstatat(directory, name, status, AT_SYMLINK_NOFOLLOW); });
}

[[nodiscard]] bool same_file(const struct stat &a, const struct stat &b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---- byte-range locks ---------------------------------------------------------

[[nodiscard]] struct flock byte_range(short type, file_offset start, file_offset length) noexcept {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(start);
    range.l_len = static_cast<off_t>(length);
    return range;
}

// Tries to take wanted on fd without waiting: 0 when taken, else errno
// (EAGAIN while another holds a lock in the way).
[[nodiscard]] int try_lock(int fd, const struct flock &wanted) noexcept {
    struct flock range = wanted;
    if (retrying("fcntl", [&] { return fcntl(fd, F_OFD_SETLK, &range); }) == 0) return 0;
    return errno == EACCES ? EAGAIN : errno;
}

// True when the lock in the way of wanted is a record lock of this process
// itself: waiting for it would wait for ever.
[[nodiscard]] bool held_by_this_process(int fd, const struct flock &wanted, short *type) noexcept {
    struct flock holder = wanted;
    if (fcntl(fd, F_OFD_GETLK, &holder) != 0) return false;
    *type = holder.l_type;
    return holder.l_type != F_UNLCK && holder.l_pid > 0 && holder.l_pid == getpid();
}

// Waits between two tries for a lock: from 50 microseconds, doubling up to
// two milliseconds. Returns the time waited, in microseconds.
long pause_before_retry(long *pause) noexcept {
    const long waited = *pause;
    const timespec interval{0, waited * 1000};
    nanosleep(&interval, nullptr);
    if (*pause < 2000) *pause *= 2;
    return waited;
}

// How long a lock that no writer of this library takes may stand in the
// way of one: a read lock on the writers' byte or on a temporary file, which
// anything that can read the file can take.
constexpr long FOREIGN_LOCK_PATIENCE_US = 2 * 1000 * 1000;

// Kernels and file systems without open-file-description locks answer
// these; the caller then does without the lock it wanted.
[[nodiscard]] bool locks_unsupported(int cause) noexcept {
    return cause == EINVAL || cause == ENOLCK || cause == ENOSYS || cause == EOPNOTSUPP;
}

// Takes the write lock wanted on fd (open for writing), waiting while
// another writer holds it, which only a process that may write the file
// can. A read lock in the way is no writer's: it is given
// FOREIGN_LOCK_PATIENCE_US, then the call fails with EBUSY. A record lock
// of the caller's own process in the way is not waited for: the caller
// keeps other writers out with it, and goes ahead without this lock.
// Where the system has no such locks, a whole-file flock stands in.
[[nodiscard]] bool wait_for_write_lock(int fd, const struct flock &wanted) noexcept {
    long pause = 50;
    long foreign = 0;
    for (;;) {
        const int cause = try_lock(fd, wanted);
        if (cause == 0) return true;
        if (locks_unsupported(cause)) return retrying("flock", [&] { return flock(fd, LOCK_EX); }) == 0;
        if (cause != EAGAIN) {
            errno = cause;
            return false;
        }
        short type = F_UNLCK;
        if (held_by_this_process(fd, wanted, &type)) return true;
        if (type == F_RDLCK && (foreign += pause) > FOREIGN_LOCK_PATIENCE_US) {
            errno = EBUSY;
            return false;
        }
        pause_before_retry(&pause);
    }
}

// How long a reader waits for a patch before it reads without the lock: a
// patch holds its lock for microseconds, so only a process that went on
// holding one (a fork of a writer mid-patch) is waited for that long.
constexpr long READER_PATIENCE_US = 1000 * 1000;

// Takes the readers' lock on fd, waiting while a patch is being written.
// Where it cannot be had (no such locks here, the caller's own record lock
// in the way, a lock held past READER_PATIENCE_US), the file is read
// without it, as it always could be.
void hold_for_reading(int fd) noexcept {
    const struct flock wanted = byte_range(F_RDLCK, 0, READERS_RANGE);
    long pause = 50;
    for (long waited = 0; waited <= READER_PATIENCE_US; waited += pause_before_retry(&pause)) {
        if (try_lock(fd, wanted) != EAGAIN) return;
        short type = F_UNLCK;
        if (held_by_this_process(fd, wanted, &type)) return;
    }
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
        const int directory = retrying("openat", [&] { return openat(base, directory_path, DIRECTORY_FLAGS); });
        if (directory < 0) return false;
        set_directory(target, directory);
    } else if (target->directory < 0) {
        const int directory = retrying("open", [] { return open(".", DIRECTORY_FLAGS); });
        if (directory < 0) return false;
        set_directory(target, directory);
    }
    if (*name == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        errno = EISDIR;
        return false;
    }
    return copy_path(name, target->name, sizeof target->name);
}

// The states a path can be found in by locate.
enum class located { file, missing, link_to_missing };

// Where locate stops early: at the link named temp_name in the directory
// given, when the path passes through it.
struct link_probe {
    const struct stat *directory = nullptr;
    const char *temp_name = nullptr;
    bool passed = false;
};

// Finds the file path names, following symbolic links by hand: on success
// the target's directory is open and its name is the final file's name in
// it, so that a link stays a link and the temporary file lies beside the
// file itself, on its file system. False with errno on failure.
[[nodiscard]] bool locate(const char *path, target_file *target, located *found, int *links = nullptr,
                          link_probe *probe = nullptr) noexcept {
    char scratch[PATH_CAPACITY];
    if (!copy_path(path, scratch, sizeof scratch)) return false;
    for (int hops = 0;; ++hops) {
        if (links) *links = hops;
        if (!split_path(scratch, target)) return false;
        struct stat status {};
        if (status_at(target->directory, target->name, &status) != 0) {
            if (errno != ENOENT) return false;
            *found = hops == 0 ? located::missing : located::link_to_missing;
            return true;
        }
        if (!S_ISLNK(status.st_mode)) {
            *found = located::file;
            return true;
        }
        if (probe && std::strcmp(target->name, probe->temp_name) == 0) {
            struct stat directory {};
            if (status_of(target->directory, &directory) == 0 && same_file(directory, *probe->directory)) {
                probe->passed = true;
                return true;
            }
        }
        if (hops == MAX_LINK_HOPS) {
            errno = ELOOP;
            return false;
        }
        const ssize_t length = retrying(
            "readlinkat", [&] { return readlinkat(target->directory, target->name, scratch, sizeof scratch - 1); });
        if (length < 0) return false;
        if (static_cast<std::size_t>(length) >= sizeof scratch - 1) {
            errno = ENAMETOOLONG;
            return false;
        }
        scratch[length] = '\0';
    }
}

// Names the target's temporary file, and notes whether that name is a
// link the caller's path passed through on its way (links of the path
// counted links): a rewrite must not remove it.
[[nodiscard]] bool name_temp_file(const char *path, int links, target_file *target) noexcept {
    if (!make_temp_name(target->name, target->temp_name)) return false;
    if (links == 0) return true;
    struct stat directory {
    }, temp{};
    if (status_of(target->directory, &directory) != 0) return false;
    if (status_at(target->directory, target->temp_name, &temp) != 0 || !S_ISLNK(temp.st_mode)) return true;
    target_file walk;
    located found = located::missing;
    link_probe probe{&directory, target->temp_name};
    if (!locate(path, &walk, &found, nullptr, &probe)) return false;
    target->temp_on_link_chain = probe.passed;
    return true;
}

// Records which file fd is as the one this call created.
[[nodiscard]] bool note_created(int fd, target_file &target) noexcept {
    struct stat status {};
    if (status_of(fd, &status) != 0) return false;
    target.created_device = static_cast<unsigned long long>(status.st_dev);
    target.created_inode = static_cast<unsigned long long>(status.st_ino);
    return true;
}

// Gives back fd, the file just created under name, once it is known as
// this call's (usable: nothing else went wrong with it); otherwise the file
// is removed again and errno kept.
[[nodiscard]] int keep_created(int fd, bool usable, target_file &target, const char *name) noexcept {
    if (usable && note_created(fd, target)) return fd;
    const int cause = errno;
    unlinkat(target.directory, name, 0);
    close(fd);
    errno = cause;
    return NO_FILE;
}

// True when name in the target's directory is the file this call created.
[[nodiscard]] bool names_created_file(const target_file &target, const char *name) noexcept {
    struct stat status {};
    return status_at(target.directory, name, &status) == 0 &&
           static_cast<unsigned long long>(status.st_dev) == target.created_device &&
           static_cast<unsigned long long>(status.st_ino) == target.created_inode;
}

}  // namespace

target_file::~target_file() {
    if (directory >= 0) close(directory);
}

file_handle open_for_reading(const char *path, open_result *result, read_lock lock) noexcept {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; O_NOCTTY: a
    // terminal must not become the process's. Neither changes how a
    // regular file is read.
    const int fd = retrying("open", [&] { return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) {
        // Only ENOENT means "no file". Everything else (no permission, a
        // path through a file) is a file that exists but cannot be read.
        *result = (errno == ENOENT) ? open_result::missing : open_result::failed;
        return NO_FILE;
    }
    // Only a regular file is read: a device may never end, and a folder is
    // no file of entries.
    struct stat status {};
    const bool told = status_of(fd, &status) == 0;
    if (!told || !S_ISREG(status.st_mode)) {
        const int cause = !told ? errno : S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = cause;
        *result = open_result::failed;
        return NO_FILE;
    }
    if (lock == read_lock::shared) hold_for_reading(fd);
    *result = open_result::opened;
    return fd;
}

long read_file(file_handle file, char *buffer, std::size_t size) noexcept {
    return static_cast<long>(retrying("read", [&] { return read(file, buffer, size); }));
}

bool seek_file(file_handle file, file_offset offset) noexcept {
    return retrying("lseek", [&] { return lseek(file, static_cast<off_t>(offset), SEEK_SET); }) ==
           static_cast<off_t>(offset);
}

bool write_file(file_handle file, const char *bytes, std::size_t size) noexcept {
    // A write may take fewer bytes than it was given (a signal, a nearly
    // full disk); the rest follows until all are written or one fails.
    while (size > 0) {
        const ssize_t written = retrying("write", [&] { return write(file, bytes, size); });
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
        const ssize_t count =
            retrying("copy_file_range", [&] { return copy_file_range(in, &from, out, nullptr, wanted, 0); });
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
    return retrying("fsync", [&] { return fsync(file); }) == 0;
}

bool close_file(file_handle file) noexcept {
    // close is not retried: after EINTR the descriptor is gone on Linux,
    // and another thread may already hold its number again. A failure made
    // by a test still closes it.
    const int injected = injected_failure("close");
    const bool closed = close(file) == 0;
    if (injected != 0) errno = injected;
    return closed && injected == 0;
}

void close_read_file(file_handle file) noexcept {
    const int cause = errno;
    close(file);  // read-only: closing it cannot lose data
    errno = cause;
}

file_offset file_size(file_handle file) noexcept {
    struct stat status {};
    return status_of(file, &status) == 0 ? static_cast<file_offset>(status.st_size) : -1;
}

bool read_version(file_handle file, file_version *version) noexcept {
    struct stat status {};
    if (status_of(file, &status) != 0) return false;
    constexpr long long NANOSECONDS = 1000000000LL;
    version->size = static_cast<long long>(status.st_size);
    version->written = static_cast<long long>(status.st_mtim.tv_sec) * NANOSECONDS + status.st_mtim.tv_nsec;
    version->changed = static_cast<long long>(status.st_ctim.tv_sec) * NANOSECONDS + status.st_ctim.tv_nsec;
    return true;
}

bool describe_new_target(const char *path, target_file *target) noexcept {
    target->inherit = false;
    located found = located::file;
    int links = 0;
    if (!locate(path, target, &found, &links)) return false;
    // A link that leads nowhere (yet): the file it names is created, by its
    // name in its own directory, so the link is followed once, here, and
    // never again by an open that a link put there meanwhile could divert.
    if (found == located::file) {
        errno = EEXIST;
        return false;
    }
    return name_temp_file(path, links, target);
}

bool describe_target(const char *path, file_handle source, target_file *target) noexcept {
    located found = located::missing;
    int links = 0;
    if (!locate(path, target, &found, &links)) return false;
    if (found != located::file) {
        errno = ENOENT;  // the file went away since it was opened
        return false;
    }
    // A file whose permission bits forbid this caller to write it is left
    // alone, as an in-place patch of it would be; replacing it by rename
    // needs only a writable directory.
    if (retrying("faccessat", [&] { return faccessat(target->directory, target->name, W_OK, AT_EACCESS); }) != 0)
        return false;
    struct stat status {};
    if (status_of(source, &status) != 0) return false;
    target->mode = static_cast<unsigned>(status.st_mode & 07777);
    target->owner = static_cast<long>(status.st_uid);
    target->group = static_cast<long>(status.st_gid);
    // A name that ends in '~' has no temporary name: it can be patched, but
    // not rewritten (create_temp_file says so).
    return name_temp_file(path, links, target) || errno == EINVAL;
}

namespace {

// True when the name in the target's directory is the file open as fd.
[[nodiscard]] bool name_is(const target_file &target, const char *name, int fd) noexcept {
    struct stat named {
    }, opened{};
    return status_at(target.directory, name, &named) == 0 && status_of(fd, &opened) == 0 && same_file(named, opened);
}

// Opens the target's file itself for writing, without following a link or
// waiting on a FIFO.
[[nodiscard]] int open_target_for_writing(const target_file &target) noexcept {
    return retrying("openat", [&] {
        return openat(target.directory, target.name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    });
}

}  // namespace

bool names_file(const target_file &target, file_handle source) noexcept {
    if (name_is(target, target.name, source)) return true;
    errno = EAGAIN;
    return false;
}

writer_lock::~writer_lock() {
    if (handle_ != NO_FILE) close(handle_);  // lets go of the lock
}

bool writer_lock::take(const target_file &target) noexcept {
    // A file about to be created has nothing to lock: it is given its name
    // by a link that never replaces a file that appeared meanwhile.
    if (!target.inherit) return true;
    // The lock is a write lock of one byte of the file itself, far past its
    // end: it needs the file open for writing, readers never touch that
    // byte, and it belongs to the open file, not to the process, so two
    // threads exclude each other as two processes do and no unrelated
    // close lets go of it. A writer that replaces the file leaves the lock
    // on the old one: it is taken again on whatever the name names now.
    for (;;) {
        if (held_) {
            if (name_is(target, target.name, handle_)) return true;
            close(handle_);
            handle_ = NO_FILE;
            held_ = false;
        }
        const int fd = open_target_for_writing(target);
        if (fd < 0) return false;
        if (!wait_for_write_lock(fd, byte_range(F_WRLCK, WRITERS_BYTE, 1))) {
            close_read_file(fd);
            return false;
        }
        handle_ = fd;
        held_ = true;
    }
}

file_handle open_same_file_for_update(const target_file &target, file_handle source) noexcept {
    const int fd = open_target_for_writing(target);
    if (fd < 0) return NO_FILE;
    struct stat updated {
    }, opened{};
    if (status_of(fd, &updated) == 0 && status_of(source, &opened) == 0 && same_file(updated, opened)) return fd;
    close(fd);
    errno = EAGAIN;
    return NO_FILE;
}

bool lock_for_patch(file_handle file) noexcept {
    const int cause = try_lock(file, byte_range(F_WRLCK, 0, READERS_RANGE));
    if (cause == 0) return true;
    // A reader holds the file, or the system has no such locks and readers
    // cannot be kept out: either way the file is not patched under them.
    errno = EAGAIN;
    return false;
}

void unlock_for_patch(file_handle file) noexcept {
    const struct flock range = byte_range(F_UNLCK, 0, READERS_RANGE);
    static_cast<void>(try_lock(file, range));
}

bool read_at(file_handle file, file_offset offset, char *buffer, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t got = retrying("pread", [&] { return pread(file, buffer, size, static_cast<off_t>(offset)); });
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
        const ssize_t written =
            retrying("pwrite", [&] { return pwrite(file, bytes, size, static_cast<off_t>(offset)); });
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
    const ssize_t length = retrying("flistxattr", [&] { return flistxattr(fd, list, capacity); });
    if (length >= 0) return length;
    if (errno == ENOTSUP || errno == ENOSYS) return 0;
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
        const ssize_t length = retrying("fgetxattr", [&] { return fgetxattr(source, name, value, value_size); });
        if (length < 0) {
            if (errno == ENODATA) continue;  // removed since it was listed
            if (errno == ERANGE) errno = E2BIG;
            return false;
        }
        const ssize_t has = fgetxattr(out, name, present, value_size);
        if (has == length && std::memcmp(present, value, static_cast<std::size_t>(length)) == 0) continue;
        if (retrying("fsetxattr", [&] { return fsetxattr(out, name, value, static_cast<std::size_t>(length), 0); }) !=
            0)
            return false;
    }
    for (const char *name = out_names; name < out_names + out_total; name += std::strlen(name) + 1) {
        if (!listed(source_names, source_total, name) &&
            retrying("fremovexattr", [&] { return fremovexattr(out, name); }) != 0 && errno != ENODATA)
            return false;
    }
    return true;
}
#endif

}  // namespace

bool keep_attributes(file_handle source, file_handle out, const target_file &target, char *scratch,
                     std::size_t scratch_size) noexcept {
    if (!target.inherit)
        return true;  // a new file gets what any new file gets
                      // While the new file is still private (0600), it gets the old one's
                      // extended attributes first, its access list among them, so that no
                      // moment gives it wider access than the old file had.
#if defined(__linux__)
    if (!copy_attributes(source, out, scratch, scratch_size)) return false;
#else
    static_cast<void>(source);
    static_cast<void>(scratch);
    static_cast<void>(scratch_size);
#endif
    // Then owner and group, which clear the set-ID bits, and the mode last.
    // Each is only asked for where it differs: a file system without owners
    // or modes (FAT, some FUSE ones) refuses the call, yet may well show
    // the new file as the old one already.
    const auto owner = static_cast<uid_t>(target.owner);
    const auto group = static_cast<gid_t>(target.group);
    const auto mode = static_cast<mode_t>(target.mode);
    struct stat status {};
    if (status_of(out, &status) != 0) return false;
    if (status.st_uid != owner || status.st_gid != group) {
        if (retrying("fchown", [&] { return fchown(out, owner, group); }) != 0)
            static_cast<void>(retrying("fchown", [&] { return fchown(out, static_cast<uid_t>(-1), group); }));
        if (status_of(out, &status) != 0) return false;
    }
    bool mode_refused = false;
    if ((status.st_mode & 07777) != mode) {
        mode_refused = retrying("fchmod", [&] { return fchmod(out, mode); }) != 0;
        if (status_of(out, &status) != 0) return false;
    }
    // The file must not change hands: a caller who may write the file but
    // cannot give the new one its owner leaves it as it is (a patch of the
    // same length still may change it). A group that cannot be kept must
    // not be granted what the old group was. And the mode must be the old
    // one: the system may have dropped a bit it does not let this caller
    // set (set-group-ID outside the file's group); only where the file
    // system keeps no modes may it stay narrower than the old.
    const auto kept = static_cast<mode_t>(status.st_mode & 07777);
    const bool widened = (kept & ~mode) != 0;
    if (status.st_uid != owner || (status.st_gid != group && (mode & 0070) != 0) || widened ||
        (kept != mode && !mode_refused)) {
        errno = EPERM;
        return false;
    }
    return true;
}

namespace {

// A temporary file younger than this may still be written by its writer.
constexpr time_t TEMP_FILE_STALE_AFTER_S = 60;

// Times create_temp_file tries to make the name its own.
constexpr int MAX_TEMP_ROUNDS = 16;

[[nodiscard]] bool in_use_by_another_user(const target_file &target) noexcept {
    struct stat status {};
    timespec now{};
    return status_at(target.directory, target.temp_name, &status) == 0 && S_ISREG(status.st_mode) &&
           clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec - status.st_ctim.tv_sec < TEMP_FILE_STALE_AFTER_S;
}

}  // namespace

file_handle create_temp_file(target_file &target) noexcept {
    if (!make_temp_name(target.name, target.temp_name)) return NO_FILE;
    if (target.temp_on_link_chain) {
        errno = EEXIST;  // the caller's own link: never removed
        return NO_FILE;
    }
    // Private until it is complete; keep_attributes then gives it the old
    // file's owner and mode. A new file gets what any new file gets.
    const mode_t private_mode = 0600;
    const mode_t new_file_mode = 0666;  // less the umask
    const struct flock whole = byte_range(F_WRLCK, 0, 0);
    // Each round creates the file, or waits for the one in the way and
    // removes it; a name that something keeps putting back ends in EBUSY.
    for (int round = 0; round < MAX_TEMP_ROUNDS; ++round) {
        const int fd = retrying("openat", [&] {
            return openat(target.directory, target.temp_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          target.inherit ? private_mode : new_file_mode);
        });
        if (fd >= 0) {
            // Locked while in use, so that a writer of a file that shares
            // the name waits for it rather than take it away.
            const int cause = try_lock(fd, whole);
            const bool locked = cause == 0 || locks_unsupported(cause);
            if (!locked) errno = cause;
            return keep_created(fd, locked, target, target.temp_name);
        }
        if (errno != EEXIST) return NO_FILE;
        // Something stands under the name: a temporary file another writer
        // is using (locked), or one a crash left, or anything else another
        // program put there. It is never opened to be written into: a link
        // planted there could lead to another file. A regular file is
        // waited for while its writer holds it; then, or at once for
        // anything else, whatever the name names is removed and the name
        // tried again.
        const int old = retrying("openat", [&] {
            return openat(target.directory, target.temp_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        });
        if (old >= 0) {
            struct stat status {};
            const bool regular = status_of(old, &status) == 0 && S_ISREG(status.st_mode);
            if (regular && !wait_for_write_lock(old, whole)) {
                close_read_file(old);
                return NO_FILE;
            }
            const bool still_there = !regular || name_is(target, target.temp_name, old);
            if (still_there &&
                retrying("unlinkat", [&] { return unlinkat(target.directory, target.temp_name, 0); }) != 0 &&
                errno != ENOENT) {
                close_read_file(old);
                return NO_FILE;
            }
            close(old);
            continue;
        }
        // A link, a folder, or a file of another user that cannot be
        // opened: removed where it can be. Such a file may be in use by a
        // writer of another user for a file that shares the name, and is
        // left alone while it is young: removing it could make that writer
        // rename this call's file over its own.
        if (errno == EACCES && in_use_by_another_user(target)) {
            errno = EBUSY;
            return NO_FILE;
        }
        if (retrying("unlinkat", [&] { return unlinkat(target.directory, target.temp_name, 0); }) != 0 &&
            errno != ENOENT)
            return NO_FILE;
    }
    errno = EBUSY;
    return NO_FILE;
}

bool replace_with_temp_file(const target_file &target) noexcept {
    // Only the temporary file this call wrote, and still holds open and
    // locked, is renamed over the file.
    if (!names_created_file(target, target.temp_name)) {
        errno = EAGAIN;
        return false;
    }
    return retrying("renameat",
                    [&] { return renameat(target.directory, target.temp_name, target.directory, target.name); }) == 0;
}

bool name_new_file(const target_file &target) noexcept {
    if (!names_created_file(target, target.temp_name)) {
        errno = EAGAIN;
        return false;
    }
    // A rename that never replaces what is there, or a hard link where the
    // file system has no such rename: a file another program created
    // meanwhile is kept, and the caller starts over on it.
#if defined(RENAME_NOREPLACE)
    if (retrying("renameat2", [&] {
            return renameat2(target.directory, target.temp_name, target.directory, target.name, RENAME_NOREPLACE);
        }) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
#endif
    if (retrying("linkat",
                 [&] { return linkat(target.directory, target.temp_name, target.directory, target.name, 0); }) == 0) {
        // The name is the file's now; a temporary name left over is removed
        // by the next rewrite before it makes its own.
        static_cast<void>(retrying("unlinkat", [&] { return unlinkat(target.directory, target.temp_name, 0); }));
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
    if (names_created_file(target, target.temp_name)) unlinkat(target.directory, target.temp_name, 0);
    errno = cause;
}

file_handle create_named_file(target_file &target) noexcept {
    const mode_t new_file_mode = 0666;  // what any new file gets, less the umask
    const int fd = retrying("openat", [&] {
        return openat(target.directory, target.name,
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, new_file_mode);
    });
    if (fd < 0) return NO_FILE;
    return keep_created(fd, true, target, target.name);
}

void remove_named_file(const target_file &target) noexcept {
    const int cause = errno;
    if (names_created_file(target, target.name)) unlinkat(target.directory, target.name, 0);
    errno = cause;
}

void sync_target_directory(const target_file &target) noexcept {
    // The rename is complete and the new content synced; a failed directory
    // sync only means the rename itself may not yet survive a power loss,
    // and the caller has nothing better to do than report success.
    const int directory =
        retrying("openat", [&] { return openat(target.directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (directory < 0) return;
    static_cast<void>(retrying("fsync", [&] { return fsync(directory); }));
    close(directory);
}

}  // namespace brantcfg::detail
