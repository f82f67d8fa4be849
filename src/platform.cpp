// The operating-system seams declared in platform.h: a POSIX half and a
// Windows half, chosen at compile time. Nothing else in the library calls
// the system directly.
#include "platform.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <io.h>
#  include <fcntl.h>
#  include <sys/stat.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
#  include <climits>
#  include <cstdlib>
#endif

namespace brantcfg::detail {
namespace {

[[nodiscard]] constexpr unsigned char ascii_lower(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Copies text into a buffer of capacity bytes; false when it does not fit.
[[nodiscard]] bool copy_path(const char *text, char *dest, std::size_t capacity) noexcept {
    const std::size_t length = std::strlen(text);
    if (length + 1 > capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(dest, text, length + 1);
    return true;
}

// The temporary path is the target's whole path with its last byte
// replaced by '~'. A path that already ends in '~' would name itself, so it
// has none.
[[nodiscard]] bool make_temp_path(target_file *target) noexcept {
    const std::size_t length = std::strlen(target->path);
    if (length == 0 || target->path[length - 1] == '~') {
        errno = EINVAL;
        return false;
    }
    std::memcpy(target->temp_path, target->path, length + 1);
    target->temp_path[length - 1] = '~';
    return true;
}

}  // namespace

bool describe_new_target(const char *path, target_file *target) noexcept {
    target->inherit = false;
#if !defined(_WIN32)
    // Something at a path that could not be opened for being missing is a
    // link that leads nowhere (yet). The file it names is created, not a
    // file put in the link's place, and it is not replaced by renaming.
    struct stat link_status {};
    if (lstat(path, &link_status) == 0) {
        errno = EEXIST;
        return false;
    }
#endif
    return copy_path(path, target->path, sizeof target->path) && make_temp_path(target);
}

bool equal_ignoring_case(const char *a, const char *b, std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        if (ascii_lower(static_cast<unsigned char>(a[i])) !=
            ascii_lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::FILE *open_for_reading(const char *path, open_result *result) noexcept {
    std::FILE *file = std::fopen(path, "rb");
    // Only ENOENT means "no file". Everything else (no permission, a path
    // through a file; on Windows also a directory or a file locked by
    // another program, both reported as EACCES) is a file that exists but
    // cannot be read.
    if (file)
        *result = open_result::opened;
    else
        *result = (errno == ENOENT) ? open_result::missing : open_result::failed;
    return file;
}

#if defined(_WIN32)

namespace {

// The errno value for the Win32 error of the call that just failed, so
// failures of direct Win32 calls reach the caller the way the runtime's own
// failures do.
[[nodiscard]] int errno_from_last_error() noexcept {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_NAME:
            return EINVAL;
        default:
            return EIO;
    }
}

// Attributes the new file takes over from the one it replaces: a hidden or
// system file stays so, a file kept out of the content index stays out.
// Archive is set anew, as on any changed file; read-only files are never
// replaced.
constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The path of the file the open handle refers to, links and junctions
// resolved, without the "\\?\" prefix the system puts before it, so the
// temporary file is made beside that file and the link stays a link.
[[nodiscard]] bool resolve_final_path(HANDLE handle, char *dest, std::size_t capacity) noexcept {
    const DWORD length = GetFinalPathNameByHandleA(handle, dest, static_cast<DWORD>(capacity),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= capacity) return false;
    std::size_t prefix = 0;
    if (std::strncmp(dest, "\\\\?\\UNC\\", 8) == 0) {
        prefix = 6;  // "\\?\UNC\server\share" is "\\server\share"
        dest[6] = '\\';
    } else if (std::strncmp(dest, "\\\\?\\", 4) == 0) {
        prefix = 4;
    }
    std::memmove(dest, dest + prefix, length - prefix + 1);
    return true;
}

}  // namespace

bool describe_target(const char *path, std::FILE *source, target_file *target) noexcept {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(source)));
    BY_HANDLE_FILE_INFORMATION information;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information)) {
        errno = errno_from_last_error();
        return false;
    }
    // Read-only is the owner's word that the file must not change; the
    // system would refuse to replace it anyway.
    if (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        errno = EACCES;
        return false;
    }
    // A link at path stays a link. Where the system cannot name the final
    // file, the path as given serves, unless it is itself a link: replacing
    // that would turn the link into a file.
    if (!resolve_final_path(handle, target->path, sizeof target->path)) {
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            errno = EACCES;
            return false;
        }
        if (!copy_path(path, target->path, sizeof target->path)) return false;
    }
    target->mode = information.dwFileAttributes & KEPT_ATTRIBUTES;
    target->created = (static_cast<unsigned long long>(information.ftCreationTime.dwHighDateTime) << 32) |
                      information.ftCreationTime.dwLowDateTime;
    return make_temp_path(target);
}

std::FILE *create_temp_file(const target_file &target) noexcept {
    // A stale temporary file is removed rather than opened, whatever
    // attributes it was left with; a read-only one could not be deleted.
    // Clearing them fails harmlessly when there is no such file.
    SetFileAttributesA(target.temp_path, FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileA(target.temp_path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        errno = errno_from_last_error();
        return nullptr;
    }
    // No sharing: nothing else can open the file while it is being written.
    const HANDLE handle = CreateFileA(target.temp_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      target.mode != 0 ? target.mode : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_last_error();
        return nullptr;
    }
    // The replaced file keeps its creation time, as an edit in place would.
    // Failing that only dates the file anew and loses no data, so the
    // result is not examined.
    if (target.created != 0) {
        FILETIME created;
        created.dwLowDateTime = static_cast<DWORD>(target.created & 0xFFFFFFFFu);
        created.dwHighDateTime = static_cast<DWORD>(target.created >> 32);
        static_cast<void>(SetFileTime(handle, &created, nullptr, nullptr));
    }
    int cause = 0;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE *file = nullptr;
    if (fd < 0) {
        cause = errno;
        CloseHandle(handle);
    } else if (!(file = _fdopen(fd, "wb"))) {
        cause = errno;
        _close(fd);
    }
    if (!file) {
        // Should the empty file stay, the next rewrite removes it first.
        DeleteFileA(target.temp_path);
        errno = cause;
    }
    return file;
}

bool flush_to_disk(std::FILE *file) noexcept {
    if (std::fflush(file) != 0) return false;
    // _commit is FlushFileBuffers on the stream's handle, with errno set.
    return _commit(_fileno(file)) == 0;
}

bool replace_file(const char *temp_path, const char *path) noexcept {
    // MOVEFILE_WRITE_THROUGH: the call returns only once the move is on
    // disk, so a crash right after a reported success cannot undo it.
    if (MoveFileExA(temp_path, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = errno_from_last_error();
    return false;
}

void remove_created_file(const char *path) noexcept {
    // Through a link, the file now exists and the link resolves; deleting
    // the path itself would take away the link and leave the file.
    char resolved[PATH_CAPACITY];
    const HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool named = false;
    if (file != INVALID_HANDLE_VALUE) {
        named = resolve_final_path(file, resolved, sizeof resolved);
        CloseHandle(file);
    }
    // Nothing better can be done when this fails: the caller is already
    // reporting the failure that made the file incomplete.
    DeleteFileA(named ? resolved : path);
}

void sync_parent_directory(const char *path) noexcept {
    // MOVEFILE_WRITE_THROUGH already waited until the move was on disk.
    static_cast<void>(path);
}

#else  // POSIX

bool describe_target(const char *path, std::FILE *source, target_file *target) noexcept {
    // A symbolic link stays a link: the file it resolves to is the one
    // rewritten, with the temporary file beside it so the rename stays
    // within one file system.
    struct stat link_status {};
    if (lstat(path, &link_status) == 0 && S_ISLNK(link_status.st_mode)) {
        char resolved[PATH_MAX];
        if (!realpath(path, resolved)) return false;
        if (!copy_path(resolved, target->path, sizeof target->path)) return false;
    } else if (!copy_path(path, target->path, sizeof target->path)) {
        return false;
    }
    // A file whose permission bits forbid this caller to write it is left
    // alone, as an in-place patch of it would be; replacing it by rename
    // needs only a writable directory.
    if (faccessat(AT_FDCWD, target->path, W_OK, AT_EACCESS) != 0) return false;
    struct stat status {};
    if (fstat(fileno(source), &status) != 0) return false;
    target->mode = static_cast<unsigned>(status.st_mode & 07777);
    target->owner = static_cast<long>(status.st_uid);
    target->group = static_cast<long>(status.st_gid);
    return make_temp_path(target);
}

std::FILE *create_temp_file(const target_file &target) noexcept {
    // A stale temporary file, or anything else an earlier crash or another
    // program left under that name, is removed rather than opened: opening
    // it could follow a link planted there and overwrite another file.
    if (unlink(target.temp_path) != 0 && errno != ENOENT) return nullptr;
    const mode_t new_file_mode = 0666;  // what fopen gives a new file, less the umask
    const int fd = open(target.temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        target.inherit ? static_cast<mode_t>(target.mode & 0777) : new_file_mode);
    if (fd < 0) return nullptr;
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
    std::FILE *file = (cause == 0) ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        if (cause == 0) cause = errno;
        close(fd);
        unlink(target.temp_path);
        errno = cause;
    }
    return file;
}

bool flush_to_disk(std::FILE *file) noexcept {
    if (std::fflush(file) != 0) return false;
    return fsync(fileno(file)) == 0;
}

void remove_created_file(const char *path) noexcept {
    // Through a link, the file now exists and the link resolves; removing
    // the path itself would take away the link and leave the file.
    char resolved[PATH_MAX];
    if (realpath(path, resolved))
        unlink(resolved);
    else
        unlink(path);
}

bool replace_file(const char *temp_path, const char *path) noexcept {
    return std::rename(temp_path, path) == 0;
}

void sync_parent_directory(const char *path) noexcept {
    char directory[PATH_CAPACITY];
    if (!copy_path(path, directory, sizeof directory)) return;
    char *slash = std::strrchr(directory, '/');
    if (!slash) {
        directory[0] = '.';
        directory[1] = '\0';
    } else if (slash == directory) {
        directory[1] = '\0';
    } else {
        *slash = '\0';
    }
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // The rename is complete and the new content synced; a failed directory
    // sync only means the rename itself may not yet survive a power loss,
    // and the caller has nothing better to do than report success.
    (void)fsync(fd);
    close(fd);
}

#endif

}  // namespace brantcfg::detail
