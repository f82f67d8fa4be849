// The library's seams to the operating system: everything that differs
// between POSIX systems and Windows lives behind these few functions, so the
// text rules and the update algorithm above them are the same everywhere.
// platform_posix.cpp and platform_windows.cpp each define all of them; the
// build compiles the one for its system. Files are reached through the
// system's own descriptors or handles, never the C runtime's streams, so no
// call allocates: every buffer below lives on the caller's stack.
#ifndef BRANTCFG_PLATFORM_H
#define BRANTCFG_PLATFORM_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brantcfg::detail {

// Offsets and sizes in a file: 64 bits on every system and in 32-bit
// builds too, so a file of any size is read and written correctly.
using file_offset = std::int64_t;

#if defined(_WIN32)
using file_handle = void *;  // a Win32 HANDLE
constexpr file_handle NO_FILE = nullptr;
// Longest path, NUL included, a rewrite can name its file and temporary
// file by once links are resolved: each of the two lives on the stack, so
// paths past this (possible only where long paths are enabled) are refused.
constexpr std::size_t PATH_CAPACITY = 1024;
#else
using file_handle = int;  // a file descriptor
constexpr file_handle NO_FILE = -1;
// Longest path, NUL included, that can be resolved through its links.
constexpr std::size_t PATH_CAPACITY = 4096;
// Longest file name, NUL included, in one directory.
constexpr std::size_t NAME_CAPACITY = 256;
#endif

// The cause of a failure just reported: errno, or EIO where a call failed
// without setting it.
[[nodiscard]] inline int failure_cause() noexcept { return errno != 0 ? errno : EIO; }

// Copies the path or file name text, NUL included, into dest of capacity
// bytes; false (errno ENAMETOOLONG) when it does not fit, dest unchanged.
[[nodiscard]] inline bool copy_path(const char *text, char *dest, std::size_t capacity) noexcept {
    const std::size_t length = std::strlen(text);
    if (length + 1 > capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(dest, text, length + 1);
    return true;
}

// Writes the temporary name of name into temp (room for name and its NUL):
// the whole name with its last byte replaced by '~'. A name that already
// ends in '~' would name itself, so it has none: false, errno EINVAL.
[[nodiscard]] inline bool make_temp_name(const char *name, char *temp) noexcept {
    const std::size_t length = std::strlen(name);
    if (length == 0 || name[length - 1] == '~') {
        errno = EINVAL;
        return false;
    }
    std::memcpy(temp, name, length + 1);
    temp[length - 1] = '~';
    return true;
}

enum class open_result { opened, missing, failed };

// Readers and the in-place patch meet on byte-range locks of the file
// itself. A reader holds a shared lock of the bytes [0, READERS_RANGE) from
// its open to its close; a patch writes only under an exclusive lock of the
// same bytes, taken without waiting, so a reader never sees a line half
// patched and a patch that finds a reader rewrites the file instead. The
// writers' lock of a file is the one byte at WRITERS_BYTE, past the end of
// any file: readers and writers never wait for each other.
constexpr file_offset READERS_RANGE = file_offset{1} << 62;
constexpr file_offset WRITERS_BYTE = READERS_RANGE;

// Whether an open for reading takes the readers' lock: the lookups do; the
// search of a setter does not, since what it found is checked again under
// the writers' lock.
enum class read_lock { none, shared };

// Opens path for reading, without waiting on it (a FIFO with no writer).
// Tells a file that does not exist from one that exists but cannot be read
// (errno says why): a path that names anything but a regular file, such as
// a folder (EISDIR), a device or a FIFO (EINVAL), is one that cannot be
// read, and is closed again before a byte is read. NO_FILE when not opened.
// With read_lock::shared the readers' lock is held until the file is
// closed; it waits only while a patch is being written.
[[nodiscard]] file_handle open_for_reading(const char *path, open_result *result,
                                           read_lock lock = read_lock::none) noexcept;

// Reads up to size bytes at the file's position: the number read, 0 at the
// end of the file, -1 on failure (errno set).
[[nodiscard]] long read_file(file_handle file, char *buffer, std::size_t size) noexcept;

// Moves the file's position to offset bytes from its start.
[[nodiscard]] bool seek_file(file_handle file, file_offset offset) noexcept;

// Writes all size bytes at the file's position; false (errno set) when any
// of them could not be written.
[[nodiscard]] bool write_file(file_handle file, const char *bytes, std::size_t size) noexcept;

// Copies length bytes of in from offset (length < 0: up to in's end) to
// out, at out's position, inside the system without passing through this
// process. Returns the number of bytes copied, -1 on failure (errno set),
// or COPY_NOT_POSSIBLE when the system cannot copy between these two files
// so, having copied nothing: the caller then copies them itself.
constexpr file_offset COPY_NOT_POSSIBLE = -2;
[[nodiscard]] file_offset copy_file_bytes(file_handle in, file_offset offset, file_offset length,
                                          file_handle out) noexcept;

// Pushes what was written to the file through to the disk.
[[nodiscard]] bool sync_file(file_handle file) noexcept;

// Closes the file; false (errno set) when the system reports that an
// earlier write did not reach the file after all.
bool close_file(file_handle file) noexcept;

// Closes a file only read from, keeping errno: nothing can be lost there.
void close_read_file(file_handle file) noexcept;

// The file's size in bytes; -1 when it cannot be told.
[[nodiscard]] file_offset file_size(file_handle file) noexcept;

// What tells one state of a file's bytes from another: its size and the
// times of its last write and last change, as finely as the system keeps
// them.
struct file_version {
    long long size = -1, written = 0, changed = 0;
    [[nodiscard]] bool operator==(const file_version &other) const noexcept {
        return size == other.size && written == other.written && changed == other.changed;
    }
};

// The file's version now; false when the system cannot tell.
[[nodiscard]] bool read_version(file_handle file, file_version *version) noexcept;

// What a rewrite needs to know about the file it replaces.
struct target_file {
#if defined(_WIN32)
    char path[PATH_CAPACITY];        // the file to replace: path itself, or what its link resolves to
    char temp_path[PATH_CAPACITY];   // path with its last byte replaced by '~'
    unsigned long long created = 0;  // creation time to keep (FILETIME); 0 for none
    // The temporary file this call created: only that file is renamed.
    unsigned long temp_volume = 0;
    unsigned long long temp_index = 0;
#else
    int directory = -1;             // the directory that holds the file, open; -1 for none yet
    char name[NAME_CAPACITY];       // the file's name in it, links resolved
    char temp_name[NAME_CAPACITY];  // name with its last byte replaced by '~'
    long owner = -1, group = -1;    // owner and group to keep where allowed
    // The file this call created under temp_name (or name, when created
    // directly): only that file is renamed or removed by name.
    unsigned long long created_device = 0, created_inode = 0;
    bool temp_on_link_chain = false;  // temp_name is a link the caller's path passes through
#endif
    unsigned mode = 0;    // permission bits (POSIX) or attributes (Windows) to give the new file
    bool inherit = true;  // false: no old file; the new one gets what any new file gets

    target_file() noexcept = default;
    target_file(const target_file &) = delete;
    target_file &operator=(const target_file &) = delete;
    ~target_file();  // lets go of what describe_target opened
};

// Fills target for the file at path, opened for reading as source. The
// path is resolved anew, so when it no longer names source the target is
// whatever it names now; names_file tells. Returns
// false (errno set) when no temporary path can be formed, or when the
// caller may not write the file (a read-only file is not replaced).
[[nodiscard]] bool describe_target(const char *path, file_handle source, target_file *target) noexcept;

// Fills target for a file that does not exist yet at path: where a link
// leads to a missing file, the file the link names, in its own directory.
// Returns false (errno set) when a folder on the way cannot be reached,
// when a file stands at path after all (EEXIST), or when the file has no
// temporary name (EINVAL), in which case the target is still filled and
// create_named_file creates it directly. On Windows, where the file a link
// names cannot be told without reading the link, a link to a missing file
// is such a target too (EINVAL).
[[nodiscard]] bool describe_new_target(const char *path, target_file *target) noexcept;

// Creates the target's file itself, which must not exist yet, never
// through a link and never anything but a regular file: NO_FILE with
// errno EEXIST when something stands there now. On Windows it follows a
// link at the target's name once, to create the missing file it names,
// and the target then names that file.
[[nodiscard]] file_handle create_named_file(target_file &target) noexcept;

// Removes the file create_named_file made, only while the target's name
// still names it; keeps errno.
void remove_named_file(const target_file &target) noexcept;

// True when the target's path still names the file open as source: the
// same file on the same device. False (errno EAGAIN) when it names another
// file or none; a writer must then not write what it read from source.
[[nodiscard]] bool names_file(const target_file &target, file_handle source) noexcept;

// The writers' lock: setters that change one file take it in turn, whether
// they run in threads of one process or in several processes, and wait for
// it rather than fail. Readers never take it. It is let go when the holder
// goes out of scope, or when a process ends. Taking it needs write access
// to the file: nothing that can only read the file can hold writers back.
class writer_lock {
public:
    writer_lock() noexcept = default;
    writer_lock(const writer_lock &) = delete;
    writer_lock &operator=(const writer_lock &) = delete;
    ~writer_lock();
    [[nodiscard]] bool held() const noexcept { return held_; }

    // The locked file, open for reading and writing, where the lock is one
    // of the file itself; NO_FILE where it is not. Under the lock a writer
    // reads the file through it: on some file systems (FUSE ones) a
    // descriptor opened before the file was opened for writing reads stale
    // bytes.
#if defined(_WIN32)
    [[nodiscard]] file_handle file() const noexcept { return NO_FILE; }
#else
    [[nodiscard]] file_handle file() const noexcept { return held_ ? handle_ : NO_FILE; }
#endif

    // Waits until this caller holds the lock of the file the target names
    // now (a file about to be created has none to take). False (errno set)
    // when the lock cannot be had at all: ENOENT when the file is gone,
    // EBUSY when a lock no writer takes has stood in the way too long.
    [[nodiscard]] bool take(const target_file &target) noexcept;

    // As take, for a caller that holds the file open: where a file open in
    // one process keeps another from replacing it (Windows), a lock that is
    // not free at once is not waited for here, since the holder could then
    // not replace the file. take_or_defer then returns false with deferred()
    // true; the caller closes its files and starts over, and wait_deferred()
    // waits for the lock, holding nothing open, before the next attempt.
#if defined(_WIN32)
    [[nodiscard]] bool take_or_defer(const target_file &target) noexcept;
    [[nodiscard]] bool deferred() const noexcept { return deferred_; }
    [[nodiscard]] bool wait_deferred() noexcept;
#else
    [[nodiscard]] bool take_or_defer(const target_file &target) noexcept { return take(target); }
    [[nodiscard]] bool deferred() const noexcept { return false; }
    [[nodiscard]] bool wait_deferred() noexcept { return true; }
#endif

private:
    file_handle handle_ = NO_FILE;
    bool held_ = false;
#if defined(_WIN32)
    bool deferred_ = false;  // handle_ is open, its lock not yet waited for
    // Which directory's lock handle_ is: its volume and its file ID.
    unsigned long long volume_ = 0, directory_high_ = 0, directory_low_ = 0;
    [[nodiscard]] bool open(const target_file &target) noexcept;
#endif
};

// Opens the target's file for writing in place, only while it is the file
// open as source; NO_FILE otherwise (errno EAGAIN when another file stands
// there now).
[[nodiscard]] file_handle open_same_file_for_update(const target_file &target, file_handle source) noexcept;

// Takes the exclusive lock of the readers' bytes on a file opened by
// open_same_file_for_update, without waiting: false (errno EAGAIN) while
// any reader holds the file, and the caller rewrites it instead of
// patching it. The lock is let go by unlock_for_patch or the file's close.
[[nodiscard]] bool lock_for_patch(file_handle file) noexcept;
void unlock_for_patch(file_handle file) noexcept;

// read_at reads exactly size bytes at offset: false (errno set, EIO when
// the file ends before them) otherwise. write_at writes all size bytes at
// offset: false (errno set) when any of them could not be written. Neither
// uses nor moves the file's position: a read_file or write_file after them
// goes on where the one before them ended.
[[nodiscard]] bool read_at(file_handle file, file_offset offset, char *buffer, std::size_t size) noexcept;
[[nodiscard]] bool write_at(file_handle file, file_offset offset, const char *bytes, std::size_t size) noexcept;

// Gives the temporary file of a rewrite what the file it replaces had and
// nothing more: owner and group where the system lets the caller set them,
// every mode bit (set-user-ID, set-group-ID and sticky included), and the
// extended attributes, access lists and security labels among them. Called
// once every byte is written, since a write clears the set-ID bits. scratch
// holds the attributes on the way. False (errno set) when anything could not
// be kept such that the new file would be more open than the old one; the
// rewrite must then not replace it.
[[nodiscard]] bool keep_attributes(file_handle source, file_handle out, const target_file &target, char *scratch,
                                   std::size_t scratch_size) noexcept;

// Names the target's temporary file (the target's name with its last byte
// replaced by '~'; EINVAL for a name that already ends in '~', which would
// name itself) and creates it afresh, a stale one replaced. The name may be
// shared with another file's (app.ini and app.inj): a temporary file in use
// is locked by its writer, and waited for. NO_FILE on failure, errno set:
// EEXIST when the name is a link the caller's path passes through, which is
// not removed; EBUSY when a young temporary file of another user stands
// there, which may be in use.
[[nodiscard]] file_handle create_temp_file(target_file &target) noexcept;

// Whether a file must be closed by this process before another is renamed
// over it: Windows refuses to replace a file that is open.
#if defined(_WIN32)
constexpr bool REPLACE_NEEDS_CLOSED_FILE = true;
#else
constexpr bool REPLACE_NEEDS_CLOSED_FILE = false;
#endif

// Puts the temporary file in the target's place in one atomic step, so the
// path names the old or the new file at every moment, and only the file
// this call created: false with EAGAIN when another stands under the
// temporary name now. False on failure.
[[nodiscard]] bool replace_with_temp_file(const target_file &target) noexcept;

// Gives the temporary file the target's name, which names nothing yet:
// false with errno EEXIST, the temporary file left in place, when a file
// appeared there meanwhile.
[[nodiscard]] bool name_new_file(const target_file &target) noexcept;

// Removes the temporary file of a rewrite that failed, keeping errno: only
// the one this call created.
void remove_temp_file(const target_file &target) noexcept;

// Makes a completed replace durable by syncing the directory that holds
// the target, where the system needs it.
void sync_target_directory(const target_file &target) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_PLATFORM_H
