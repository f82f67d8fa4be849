// The operating-system seams of platform.h for Windows: Win32 file handles
// opened with the ANSI functions, so paths are taken in the host's code
// page as they are everywhere else in the library.
#include "platform.h"

#include <cerrno>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace brantcfg::detail {
namespace {

// The errno value for the Win32 error of the call that just failed, so
// failures reach the caller the same way on every system.
[[nodiscard]] int errno_from_last_error() noexcept {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
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
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK:
            return EINVAL;
        default:
            return EIO;
    }
}

// A handle from CreateFileA as this layer hands it out: NO_FILE, with
// errno set, when there is none.
[[nodiscard]] file_handle checked(HANDLE handle) noexcept {
    if (handle != INVALID_HANDLE_VALUE) return handle;
    errno = errno_from_last_error();
    return NO_FILE;
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

// Attributes the new file takes over from the one it replaces: a hidden or
// system file stays so, a file kept out of the content index stays out.
// Archive is set anew, as on any changed file; read-only files are never
// replaced.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Every kind of sharing: the library never keeps others from a file it
// only reads, nor from renaming or deleting it meanwhile.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The path of the file the open handle refers to, links and junctions
// resolved, without the "\\?\" prefix the system puts before it, so the
// temporary file is made beside that file and the link stays a link.
[[nodiscard]] bool resolve_final_path(HANDLE handle, char *dest, std::size_t capacity) noexcept {
    const DWORD length =
        GetFinalPathNameByHandleA(handle, dest, static_cast<DWORD>(capacity), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
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

target_file::~target_file() = default;

file_handle open_for_reading(const char *path, open_result *result, read_lock lock) noexcept {
    static_cast<void>(lock);  // readers take no lock here yet
    const HANDLE handle = CreateFileA(path, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        // Only a file on a disk is read: a device or a pipe may never end.
        if (GetFileType(handle) != FILE_TYPE_DISK) {
            CloseHandle(handle);
            errno = EINVAL;
            *result = open_result::failed;
            return NO_FILE;
        }
        *result = open_result::opened;
        return handle;
    }
    // Only a missing file (or folder on its path) means "no file".
    // Everything else (no permission, a folder, a file locked by another
    // program) is a file that exists but cannot be read. A folder cannot be
    // opened without backup semantics and reports ERROR_ACCESS_DENIED.
    errno = errno_from_last_error();
    *result = (errno == ENOENT) ? open_result::missing : open_result::failed;
    return NO_FILE;
}

long read_file(file_handle file, char *buffer, std::size_t size) noexcept {
    DWORD got = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        errno = errno_from_last_error();
        return -1;
    }
    return static_cast<long>(got);
}

bool seek_file(file_handle file, file_offset offset) noexcept {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    if (SetFilePointerEx(file, distance, nullptr, FILE_BEGIN)) return true;
    errno = errno_from_last_error();
    return false;
}

bool write_file(file_handle file, const char *bytes, std::size_t size) noexcept {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr)) {
            errno = errno_from_last_error();
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

file_offset copy_file_bytes(file_handle in, file_offset offset, file_offset length, file_handle out) noexcept {
    // The bytes pass through the caller's block, which costs no more here.
    static_cast<void>(in);
    static_cast<void>(offset);
    static_cast<void>(length);
    static_cast<void>(out);
    return COPY_NOT_POSSIBLE;
}

bool sync_file(file_handle file) noexcept {
    if (FlushFileBuffers(file)) return true;
    errno = errno_from_last_error();
    return false;
}

bool close_file(file_handle file) noexcept {
    if (CloseHandle(file)) return true;
    errno = errno_from_last_error();
    return false;
}

void close_read_file(file_handle file) noexcept {
    CloseHandle(file);  // read-only: closing it cannot lose data
}

file_offset file_size(file_handle file) noexcept {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? static_cast<file_offset>(size.QuadPart) : -1;
}

bool read_version(file_handle file, file_version *version) noexcept {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) return false;
    version->size = (static_cast<long long>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    version->written = (static_cast<long long>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                       information.ftLastWriteTime.dwLowDateTime;
    version->changed = version->written;
    return true;
}

bool describe_new_target(const char *path, target_file *target) noexcept {
    target->inherit = false;
    // The whole path: the writers' lock is named after the directory, which
    // a relative path would name differently from another process.
    const DWORD length = GetFullPathNameA(path, static_cast<DWORD>(sizeof target->path), target->path, nullptr);
    if (length == 0 || length >= sizeof target->path) {
        errno = length == 0 ? errno_from_last_error() : ENAMETOOLONG;
        return false;
    }
    return make_temp_name(target->path, target->temp_path);
}

bool describe_target(const char *path, file_handle source, target_file *target) noexcept {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(source, &information)) {
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
    if (!resolve_final_path(source, target->path, sizeof target->path)) {
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
    return true;
}

namespace {

// Which file a handle refers to: its volume and its index there.
struct file_identity {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const file_identity &other) const noexcept {
        return volume == other.volume && high == other.high && low == other.low;
    }
};

[[nodiscard]] bool identify(HANDLE handle, file_identity *identity) noexcept {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return false;
    identity->volume = information.dwVolumeSerialNumber;
    identity->high = information.nFileIndexHigh;
    identity->low = information.nFileIndexLow;
    return true;
}

// The writers' lock of a directory is a named mutex of the session, named
// after the directory: a mutex, unlike a lock on the file itself, outlives
// the rename that replaces the file, and the system hands it to the next
// waiter when its holder ends, even unreleased.
constexpr char LOCK_NAME_PREFIX[] = "Local\\brantcfg-writers-";

// FNV-1a of the directory part of path, letters folded to one case as the
// file system folds them, and '/' taken for '\\'.
[[nodiscard]] unsigned long long directory_hash(const char *path) noexcept {
    const char *end = path + std::strlen(path);
    while (end > path && end[-1] != '\\' && end[-1] != '/') --end;
    unsigned long long hash = 14695981039346656037ULL;
    for (const char *at = path; at < end; ++at) {
        char c = *at == '/' ? '\\' : *at;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return hash;
}

}  // namespace

bool names_file(const target_file &target, file_handle source) noexcept {
    const HANDLE named = CreateFileA(target.path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    file_identity now, opened;
    bool same = false;
    if (named != INVALID_HANDLE_VALUE) {
        same = identify(named, &now) && identify(source, &opened) && now == opened;
        CloseHandle(named);
    }
    if (!same) errno = EAGAIN;
    return same;
}

writer_lock::~writer_lock() {
    if (handle_ == NO_FILE) return;
    if (held_) ReleaseMutex(handle_);
    CloseHandle(handle_);
}

bool writer_lock::take(const target_file &target) noexcept {
    const unsigned long long directory = directory_hash(target.path);
    if (held_ && directory == directory_) return true;
    if (handle_ != NO_FILE) {
        if (held_) ReleaseMutex(handle_);
        CloseHandle(handle_);
        handle_ = NO_FILE;
        held_ = false;
    }
    char name[sizeof LOCK_NAME_PREFIX + 16];
    std::memcpy(name, LOCK_NAME_PREFIX, sizeof LOCK_NAME_PREFIX - 1);
    for (int i = 0; i < 16; ++i)
        name[sizeof LOCK_NAME_PREFIX - 1 + i] = "0123456789abcdef"[(directory >> (60 - 4 * i)) & 0xF];
    name[sizeof LOCK_NAME_PREFIX - 1 + 16] = '\0';
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (!mutex) {
        errno = errno_from_last_error();
        return false;
    }
    // WAIT_ABANDONED: the last holder ended without letting go; the lock is
    // this caller's now all the same.
    const DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        errno = errno_from_last_error();
        CloseHandle(mutex);
        return false;
    }
    handle_ = mutex;
    held_ = true;
    directory_ = directory;
    return true;
}

file_handle open_same_file_for_update(const target_file &target, file_handle source) noexcept {
    const HANDLE handle = CreateFileA(target.path, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_last_error();
        return NO_FILE;
    }
    file_identity now, opened;
    if (identify(handle, &now) && identify(source, &opened) && now == opened) return handle;
    CloseHandle(handle);
    errno = EAGAIN;
    return NO_FILE;
}

bool lock_for_patch(file_handle file) noexcept {
    static_cast<void>(file);  // readers take no lock here yet: nothing to exclude
    return true;
}

void unlock_for_patch(file_handle file) noexcept { static_cast<void>(file); }

bool read_at(file_handle file, file_offset offset, char *buffer, std::size_t size) noexcept {
    if (!seek_file(file, offset)) return false;
    while (size > 0) {
        const long got = read_file(file, buffer, size);
        if (got <= 0) {
            if (got == 0) errno = EIO;
            return false;
        }
        buffer += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool write_at(file_handle file, file_offset offset, const char *bytes, std::size_t size) noexcept {
    return seek_file(file, offset) && write_file(file, bytes, size);
}

bool keep_attributes(file_handle source, file_handle out, const target_file &target, char *scratch,
                     std::size_t scratch_size) noexcept {
    // The attributes kept went with the file's creation; the rest of what
    // WINDOWS.md lists is not copied.
    static_cast<void>(source);
    static_cast<void>(out);
    static_cast<void>(target);
    static_cast<void>(scratch);
    static_cast<void>(scratch_size);
    return true;
}

file_handle create_temp_file(target_file &target) noexcept {
    if (!make_temp_name(target.path, target.temp_path)) return NO_FILE;
    // A stale temporary file is removed rather than opened, whatever
    // attributes it was left with; a read-only one could not be deleted.
    // Clearing them fails harmlessly when there is no such file.
    SetFileAttributesA(target.temp_path, FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileA(target.temp_path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        errno = errno_from_last_error();
        return NO_FILE;
    }
    // No sharing: nothing else can open the file while it is being written.
    const HANDLE handle = CreateFileA(target.temp_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      target.mode != 0 ? target.mode : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_last_error();
        return NO_FILE;
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
    return handle;
}

bool replace_with_temp_file(const target_file &target) noexcept {
    // MOVEFILE_WRITE_THROUGH: the call returns only once the move is on
    // disk, so a crash right after a reported success cannot undo it.
    if (MoveFileExA(target.temp_path, target.path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = errno_from_last_error();
    return false;
}

bool name_new_file(const target_file &target) noexcept {
    // Without MOVEFILE_REPLACE_EXISTING the move never replaces a file that
    // appeared meanwhile.
    if (MoveFileExA(target.temp_path, target.path, MOVEFILE_WRITE_THROUGH)) return true;
    errno = errno_from_last_error();
    return false;
}

void remove_temp_file(const target_file &target) noexcept {
    // Nothing better can be done when this fails: the caller is already
    // reporting the failure that ended the rewrite.
    DeleteFileA(target.temp_path);
}

file_handle create_named_file(target_file &target) noexcept {
    // CREATE_NEW never opens what is there: a file that appeared meanwhile
    // gives ERROR_FILE_EXISTS.
    return checked(CreateFileA(target.path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

void remove_named_file(const target_file &target) noexcept {
    const int cause = errno;
    DeleteFileA(target.path);
    errno = cause;
}

void sync_target_directory(const target_file &target) noexcept {
    // MOVEFILE_WRITE_THROUGH already waited until the move was on disk.
    static_cast<void>(target);
}

}  // namespace brantcfg::detail
