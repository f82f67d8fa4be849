// The operating-system seams of platform.h for Windows: Win32 file handles
// opened with the ANSI functions, so paths are taken in the host's code
// page as they are everywhere else in the library.
#include "platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

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
            return EACCES;
        // Another program holds the file open without sharing it, or holds
        // a lock on it: the file is busy, which is no matter of permission.
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EBUSY;
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

// Attributes the new file takes over from the one it replaces: a hidden or
// system file stays so, a file kept out of the content index stays out, an
// encrypted file is encrypted again. Archive is set anew, as on any changed
// file, so that backups see the change; read-only files are never replaced.
constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ENCRYPTED;

// Every kind of sharing: the library never keeps others from a file it
// only reads, nor from renaming or deleting it meanwhile.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Locks the readers' bytes of a file (see READERS_RANGE): flags 0 for the
// shared lock of a reader, which waits while a patch holds them; with
// LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY for a patch, which
// never waits. The system enforces these locks: while a patch holds them,
// a read through another handle fails, and while a reader holds them, a
// write through any handle does.
[[nodiscard]] bool lock_readers_range(HANDLE file, DWORD flags) noexcept {
    OVERLAPPED from{};  // the range starts at byte 0
    return LockFileEx(file, flags, 0, static_cast<DWORD>(READERS_RANGE & 0xFFFFFFFF),
                      static_cast<DWORD>(READERS_RANGE >> 32), &from) != 0;
}

void unlock_readers_range(HANDLE file) noexcept {
    OVERLAPPED from{};
    UnlockFileEx(file, 0, static_cast<DWORD>(READERS_RANGE & 0xFFFFFFFF), static_cast<DWORD>(READERS_RANGE >> 32),
                 &from);
}

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
        if (lock == read_lock::shared && !lock_readers_range(handle, 0)) {
            errno = errno_from_last_error();
            CloseHandle(handle);
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
    while (!ReadFile(file, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        // A read that meets a patch under way (a writer's search, which
        // holds no readers' lock) waits until the patch ends, by taking
        // the readers' lock for a moment, and reads again.
        if (GetLastError() != ERROR_LOCK_VIOLATION || !lock_readers_range(file, 0)) {
            errno = errno_from_last_error();
            return -1;
        }
        unlock_readers_range(file);
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
    // What stands at the name itself, a link not followed.
    const DWORD standing = GetFileAttributesA(target->path);
    if (standing != INVALID_FILE_ATTRIBUTES) {
        // A link to a missing file: the file it names is created through
        // it, by create_named_file (EINVAL: no temporary name). Anything
        // else is a file that appeared meanwhile.
        const bool link = (standing & FILE_ATTRIBUTE_REPARSE_POINT) && !(standing & FILE_ATTRIBUTE_DIRECTORY);
        errno = link ? EINVAL : EEXIST;
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

// Remembers the file just created as the one this call made; false when
// the system cannot tell which file it is.
[[nodiscard]] bool note_created(HANDLE file, target_file &target) noexcept {
    file_identity identity;
    if (!identify(file, &identity)) return false;
    target.temp_volume = identity.volume;
    target.temp_index = (static_cast<unsigned long long>(identity.high) << 32) | identity.low;
    return true;
}

// True when the open file is the one this call created.
[[nodiscard]] bool is_created_file(HANDLE file, const target_file &target) noexcept {
    file_identity identity;
    return target.temp_index != 0 && identify(file, &identity) && identity.volume == target.temp_volume &&
           ((static_cast<unsigned long long>(identity.high) << 32) | identity.low) == target.temp_index;
}

// Opens what stands at path itself, never what a link or junction there
// leads to: the identity checks compare the very file a name holds.
[[nodiscard]] HANDLE open_name_itself(const char *path, DWORD access, DWORD share) noexcept {
    return CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// True when path itself (not what it leads to) is the file open as source.
[[nodiscard]] bool name_holds(const char *path, HANDLE source) noexcept {
    const HANDLE named = open_name_itself(path, FILE_READ_ATTRIBUTES, SHARE_ALL);
    if (named == INVALID_HANDLE_VALUE) return false;
    file_identity now, opened;
    const bool same = identify(named, &now) && identify(source, &opened) && now == opened;
    CloseHandle(named);
    return same;
}

// Waits before another try at a call that another handle on the file kept
// from succeeding. Readers of this library, and writers searching before
// they take the writers' lock, hold the file for far less than a
// millisecond; a program that holds it longer than BUSY_WAIT_MS in all
// makes the call fail.
constexpr DWORD BUSY_WAIT_MS = 2000;

[[nodiscard]] bool held_elsewhere(DWORD error) noexcept {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// Calls attempt until it succeeds, fails for another reason than a handle
// held elsewhere, or BUSY_WAIT_MS have passed; the last Win32 error stays.
template <typename Attempt>
[[nodiscard]] bool retry_while_held(Attempt attempt) noexcept {
    DWORD pause = 1, waited = 0;
    for (;;) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (!held_elsewhere(error) || waited >= BUSY_WAIT_MS) {
            SetLastError(error);
            return false;
        }
        Sleep(pause);
        waited += pause;
        if (pause < 16) pause *= 2;
    }
}

// errno for a replace, removal or creation that retry_while_held gave up
// on: EBUSY when the name is held by another handle (it cannot be opened
// for deletion beside the others, or it could, and only their handles were
// in the way), EACCES when this caller may not delete it at all.
[[nodiscard]] int errno_after_retries(const char *held) noexcept {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) return EBUSY;
    if (error != ERROR_ACCESS_DENIED) return errno_from_last_error();
    const HANDLE probe = open_name_itself(held, DELETE, SHARE_ALL);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        return EBUSY;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? EBUSY : EACCES;
}

// The classes of SetFileInformationByHandle that older headers leave out.
constexpr auto FILE_DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto FILE_RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD RENAME_REPLACE_IF_EXISTS = 0x1;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS
constexpr DWORD RENAME_POSIX_SEMANTICS = 0x2;    // FILE_RENAME_FLAG_POSIX_SEMANTICS
constexpr DWORD DISPOSITION_DELETE = 0x1;        // FILE_DISPOSITION_FLAG_DELETE
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
constexpr DWORD DISPOSITION_IGNORE_READONLY = 0x10;

// True when a call failed because the system or the file system does not
// offer that class of information at all.
[[nodiscard]] bool not_offered(DWORD error) noexcept {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_CALL_NOT_IMPLEMENTED;
}

// The directory that holds the file at path, opened only to be told apart.
[[nodiscard]] HANDLE open_directory_of(const char *path) noexcept {
    char directory[PATH_CAPACITY];
    if (!copy_path(path, directory, sizeof directory)) return INVALID_HANDLE_VALUE;
    char *end = directory + std::strlen(directory);
    while (end > directory && end[-1] != '\\' && end[-1] != '/') --end;
    if (end == directory) {
        std::memcpy(directory, ".", 2);
    } else {
        // "C:\" names the root; "C:" alone would name the drive's current folder.
        if (end - 1 > directory && end[-2] != ':' && end[-2] != '\\' && end[-2] != '/') --end;
        *end = '\0';
    }
    return CreateFileA(directory, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

// FILE_RENAME_INFO with room for a whole path: the flags (or, for the
// older class, ReplaceIfExists in their low byte), and the new name as the
// system itself spells it, "\\??\\" and the full path in UTF-16.
struct rename_request {
    DWORD flags = 0;
    HANDLE root = nullptr;
    DWORD name_bytes = 0;
    WCHAR name[PATH_CAPACITY + 8];
};

// The path the ...A functions would open, in UTF-16: the code page they
// use is the ANSI one unless the process switched the file functions to
// the OEM one.
[[nodiscard]] int widen_path(const char *path, WCHAR *wide, int capacity) noexcept {
    return MultiByteToWideChar(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, path, -1, wide, capacity);
}

// Renames the open file to path, a full path. POSIX semantics where the
// system offers them: then a file open at path with sharing for deletion,
// as this library's readers open it, no longer keeps it from being
// replaced. Else the older rename through the handle.
[[nodiscard]] bool rename_open_file(HANDLE file, const char *path, bool replace) noexcept {
    rename_request request;
    // "\\?\X" and "\\.\X" are "\??\X"; "\\server\share" is "\??\UNC\server\share".
    const bool local = path[0] == '\\' && path[1] == '\\' && (path[2] == '?' || path[2] == '.') && path[3] == '\\';
    const bool unc = !local && path[0] == '\\' && path[1] == '\\';
    const wchar_t *const prefix = unc ? L"\\??\\UNC" : L"\\??\\";
    const int prefix_length = unc ? 7 : 4;
    std::memcpy(request.name, prefix, static_cast<std::size_t>(prefix_length) * sizeof(WCHAR));
    const char *const rest = local ? path + 4 : unc ? path + 1 : path;
    const int length = widen_path(rest, request.name + prefix_length, static_cast<int>(PATH_CAPACITY));
    if (length <= 0) return false;
    request.name_bytes = static_cast<DWORD>(prefix_length + length - 1) * sizeof(WCHAR);
    const DWORD size = static_cast<DWORD>(offsetof(rename_request, name) + request.name_bytes + sizeof(WCHAR));
    request.flags = RENAME_POSIX_SEMANTICS | (replace ? RENAME_REPLACE_IF_EXISTS : 0);
    if (SetFileInformationByHandle(file, FILE_RENAME_INFO_EX, &request, size)) return true;
    if (!not_offered(GetLastError())) return false;
    request.flags = replace ? 1 : 0;  // ReplaceIfExists
    return SetFileInformationByHandle(file, FileRenameInfo, &request, size) != 0;
}

// Opens the temporary file this call created, for renaming: NO_FILE with
// errno EAGAIN when another file stands under its name now.
[[nodiscard]] HANDLE open_own_temp_file(const target_file &target) noexcept {
    HANDLE temp = INVALID_HANDLE_VALUE;
    if (!retry_while_held([&] {
            // Shared: once renamed, the file is the target, which readers
            // open while this handle still flushes it.
            temp = open_name_itself(target.temp_path, GENERIC_WRITE | DELETE | SYNCHRONIZE, SHARE_ALL);
            return temp != INVALID_HANDLE_VALUE;
        })) {
        errno = errno_from_last_error();
        return INVALID_HANDLE_VALUE;
    }
    if (is_created_file(temp, target)) return temp;
    CloseHandle(temp);
    errno = EAGAIN;
    return INVALID_HANDLE_VALUE;
}

// Gives the temporary file the target's name: replacing what is there, or
// only where nothing is. Other handles on the target are waited for (see
// retry_while_held); where the system cannot rename through a handle at
// all, MoveFileExA does it by name.
[[nodiscard]] bool move_temp_file(const target_file &target, bool replace) noexcept {
    const HANDLE temp = open_own_temp_file(target);
    if (temp == INVALID_HANDLE_VALUE) return false;
    bool moved = retry_while_held([&] { return rename_open_file(temp, target.path, replace); });
    const bool by_name = !moved && not_offered(GetLastError());
    // The rename is on disk once the file's metadata is flushed: a crash
    // right after a reported success cannot undo it.
    if (moved) static_cast<void>(FlushFileBuffers(temp));
    CloseHandle(temp);
    if (by_name) {
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
        moved = retry_while_held([&] { return MoveFileExA(target.temp_path, target.path, flags) != 0; });
    }
    if (moved) return true;
    errno = errno_after_retries(target.path);
    return false;
}

// Deletes what stands at path itself (never what a link there leads to)
// in a way that frees the name at once, even while other handles that
// share deletion hold it; read-only and hidden files too. The handle must
// have been opened with DELETE and FILE_WRITE_ATTRIBUTES.
[[nodiscard]] bool delete_open_file(HANDLE file) noexcept {
    DWORD flags = DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS | DISPOSITION_IGNORE_READONLY;
    if (SetFileInformationByHandle(file, FILE_DISPOSITION_INFO_EX, &flags, sizeof flags)) return true;
    if (!not_offered(GetLastError())) return false;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) &&
           SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// The writers' lock of a directory is a named mutex, named after the
// directory's volume serial number and file ID, so that every spelling of
// the folder (another case, a short name, a "\\?\" prefix, a junction)
// names the same lock. A mutex, unlike a lock on the file itself, outlives
// the rename that replaces the file, and the system hands it to the next
// waiter when its holder ends, even unreleased. It lives in the Global
// namespace, shared by every session, where the process may create objects
// there; the session's otherwise.
constexpr char LOCK_NAME_BASE[] = "brantcfg-writers-";
constexpr std::size_t LOCK_NAME_CAPACITY = sizeof "Global\\" + sizeof LOCK_NAME_BASE + 48;

// FILE_ID_INFO, which older headers leave out: a 64-bit volume serial and
// a 128-bit file ID, what tells files apart on ReFS too.
struct file_id_info {
    ULONGLONG volume;
    unsigned char id[16];
};
constexpr auto FILE_ID_INFO_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// Who may wait for and take a Global writers' lock: any signed-in user or
// service, as any of them may write the files of a folder they can write;
// nothing else about the mutex is theirs to change.
struct everyone_may_lock {
    SECURITY_ATTRIBUTES attributes{};
    SECURITY_DESCRIPTOR descriptor{};
    union {
        ACL acl;
        unsigned char room[64];
    } dacl{};
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    union {
        SID sid;
        unsigned char room[SECURITY_MAX_SID_SIZE];
    } users{};

    [[nodiscard]] bool build() noexcept {
        PSID sid = &users.sid;
        if (!InitializeSid(sid, &nt_authority, 1)) return false;
        *GetSidSubAuthority(sid, 0) = SECURITY_AUTHENTICATED_USER_RID;
        if (!InitializeAcl(&dacl.acl, sizeof dacl.room, ACL_REVISION) ||
            !AddAccessAllowedAce(&dacl.acl, ACL_REVISION, SYNCHRONIZE | MUTEX_MODIFY_STATE, sid) ||
            !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, &dacl.acl, FALSE))
            return false;
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = &descriptor;
        return true;
    }
};

}  // namespace

bool names_file(const target_file &target, file_handle source) noexcept {
    if (name_holds(target.path, source)) return true;
    errno = EAGAIN;
    return false;
}

writer_lock::~writer_lock() {
    if (handle_ == NO_FILE) return;
    if (held_) ReleaseMutex(handle_);
    CloseHandle(handle_);
}

bool writer_lock::open(const target_file &target) noexcept {
    const HANDLE directory = open_directory_of(target.path);
    if (directory == INVALID_HANDLE_VALUE) {
        errno = errno_from_last_error();
        return false;
    }
    unsigned long long volume = 0, high = 0, low = 0;
    file_id_info id{};
    if (GetFileInformationByHandleEx(directory, FILE_ID_INFO_CLASS, &id, sizeof id)) {
        volume = id.volume;
        std::memcpy(&low, id.id, 8);
        std::memcpy(&high, id.id + 8, 8);
    } else {
        file_identity identity;
        if (!identify(directory, &identity)) {
            errno = errno_from_last_error();
            CloseHandle(directory);
            return false;
        }
        volume = identity.volume;
        low = (static_cast<unsigned long long>(identity.high) << 32) | identity.low;
    }
    CloseHandle(directory);
    if (handle_ != NO_FILE) {
        if (volume == volume_ && high == directory_high_ && low == directory_low_) return true;
        if (held_) ReleaseMutex(handle_);
        CloseHandle(handle_);
        handle_ = NO_FILE;
        held_ = deferred_ = false;
    }
    char name[LOCK_NAME_CAPACITY] = "Global\\";
    char *at = name + std::strlen(name);
    std::memcpy(at, LOCK_NAME_BASE, sizeof LOCK_NAME_BASE - 1);
    at += sizeof LOCK_NAME_BASE - 1;
    for (const unsigned long long part : {volume, high, low})
        for (int shift = 60; shift >= 0; shift -= 4) *at++ = "0123456789abcdef"[(part >> shift) & 0xF];
    *at = '\0';
    everyone_may_lock security;
    // Only the rights a writer uses are asked for: a mutex that another
    // user's process created opens with those, where all rights would be
    // refused.
    constexpr DWORD USED_RIGHTS = SYNCHRONIZE | MUTEX_MODIFY_STATE;
    HANDLE mutex = security.build() ? CreateMutexExA(&security.attributes, name, 0, USED_RIGHTS) : nullptr;
    if (!mutex) {
        // Creating objects in the Global namespace takes a privilege that
        // services and administrators hold and others may lack.
        const std::size_t global = sizeof "Global\\" - 1;
        char local[LOCK_NAME_CAPACITY] = "Local\\";
        std::memcpy(local + sizeof "Local\\" - 1, name + global, std::strlen(name + global) + 1);
        mutex = CreateMutexExA(nullptr, local, 0, USED_RIGHTS);
    }
    if (!mutex) {
        errno = errno_from_last_error();
        return false;
    }
    handle_ = mutex;
    volume_ = volume;
    directory_high_ = high;
    directory_low_ = low;
    return true;
}

namespace {

// Waits for a writers' lock mutex; WAIT_ABANDONED means its last holder
// ended without letting go, and the lock is this caller's all the same.
// WAIT_TIMEOUT only where timeout is not INFINITE.
[[nodiscard]] DWORD wait_for_lock(HANDLE mutex, DWORD timeout) noexcept {
    const DWORD waited = WaitForSingleObject(mutex, timeout);
    return waited == WAIT_ABANDONED ? WAIT_OBJECT_0 : waited;
}

}  // namespace

bool writer_lock::take(const target_file &target) noexcept {
    if (!open(target)) return false;
    if (held_) return true;
    if (wait_for_lock(handle_, INFINITE) != WAIT_OBJECT_0) {
        errno = errno_from_last_error();
        return false;
    }
    held_ = true;
    deferred_ = false;
    return true;
}

bool writer_lock::take_or_defer(const target_file &target) noexcept {
    if (!open(target)) return false;
    if (held_) return true;
    const DWORD waited = wait_for_lock(handle_, 0);
    if (waited == WAIT_OBJECT_0) {
        held_ = true;
        return true;
    }
    if (waited == WAIT_TIMEOUT) {
        deferred_ = true;
        errno = EAGAIN;
    } else {
        errno = errno_from_last_error();
    }
    return false;
}

bool writer_lock::wait_deferred() noexcept {
    if (!deferred_) return true;
    deferred_ = false;
    if (wait_for_lock(handle_, INFINITE) != WAIT_OBJECT_0) {
        errno = errno_from_last_error();
        return false;
    }
    held_ = true;
    return true;
}

file_handle open_same_file_for_update(const target_file &target, file_handle source) noexcept {
    const HANDLE handle = CreateFileA(target.path, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
    if (lock_readers_range(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) return true;
    errno = EAGAIN;
    return false;
}

void unlock_for_patch(file_handle file) noexcept { unlock_readers_range(file); }

namespace {

// Most bytes one ReadFile or WriteFile is given: its count is 32 bits.
constexpr std::size_t MAX_TRANSFER = std::size_t{1} << 30;

// Moves size bytes at offset by transfer(done, count, &moved, &place), each
// piece placed by its OVERLAPPED offsets, then puts the file's position
// back: a handle opened for synchronous use moves its position past the
// bytes even when their offset is given. A read past the end of the file
// (or a piece that moves nothing) fails with EIO.
template <typename Transfer>
[[nodiscard]] bool transfer_at(HANDLE file, file_offset offset, std::size_t size, Transfer transfer) noexcept {
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT)) {
        errno = errno_from_last_error();
        return false;
    }
    bool complete = true;
    for (std::size_t done = 0; done < size;) {
        const file_offset at = offset + static_cast<file_offset>(done);
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(at & 0xFFFFFFFF);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        const std::size_t left = size - done;
        DWORD moved = 0;
        if (!transfer(done, static_cast<DWORD>(left < MAX_TRANSFER ? left : MAX_TRANSFER), &moved, &place)) {
            errno = errno_from_last_error();  // EIO for ERROR_HANDLE_EOF too
            complete = false;
            break;
        }
        if (moved == 0) {
            errno = EIO;
            complete = false;
            break;
        }
        done += moved;
    }
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && complete) {
        errno = errno_from_last_error();
        return false;
    }
    return complete;
}

}  // namespace

bool read_at(file_handle file, file_offset offset, char *buffer, std::size_t size) noexcept {
    return transfer_at(file, offset, size, [&](std::size_t done, DWORD count, DWORD *moved, OVERLAPPED *place) {
        return ReadFile(file, buffer + done, count, moved, place) != 0;
    });
}

bool write_at(file_handle file, file_offset offset, const char *bytes, std::size_t size) noexcept {
    return transfer_at(file, offset, size, [&](std::size_t done, DWORD count, DWORD *moved, OVERLAPPED *place) {
        return WriteFile(file, bytes + done, count, moved, place) != 0;
    });
}

namespace {

// FILE_STREAM_INFO as GetFileInformationByHandleEx fills it.
struct stream_entry {
    DWORD next;
    DWORD name_bytes;
    LARGE_INTEGER size;
    LARGE_INTEGER allocated;
    WCHAR name[1];
};

// Longest stream name with its ":" and ":$DATA", in UTF-16 units.
constexpr int STREAM_NAME_CAPACITY = 256 + 8;

// Room for a path with a stream name after it (":name:$DATA"), in UTF-16.
constexpr std::size_t STREAM_PATH_CAPACITY = PATH_CAPACITY + 256 + 8;

// Opens the stream named by name (":name:$DATA") of the file at path,
// spelling the whole in full, which holds STREAM_PATH_CAPACITY units.
[[nodiscard]] HANDLE open_stream(const char *path, const WCHAR *name, std::size_t name_length, WCHAR *full,
                                 DWORD access, DWORD disposition) noexcept {
    const int length = widen_path(path, full, static_cast<int>(PATH_CAPACITY));
    if (length <= 0 || static_cast<std::size_t>(length) + name_length > STREAM_PATH_CAPACITY) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(full + length - 1, name, name_length * sizeof(WCHAR));
    full[static_cast<std::size_t>(length) - 1 + name_length] = L'\0';
    return CreateFileW(full, access, disposition == OPEN_EXISTING ? SHARE_ALL : 0, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The first byte in scratch aligned for the structures the system fills
// there; size is what remains after it.
[[nodiscard]] char *aligned(char *scratch, std::size_t *size) noexcept {
    const std::size_t skip = (8 - reinterpret_cast<std::uintptr_t>(scratch) % 8) % 8;
    *size = *size > skip ? *size - skip : 0;
    return scratch + skip;
}

// Copies the alternate data streams of the file at target.path (the mark
// of the web among them) to the temporary file. scratch holds, one after
// the other, the list of streams, the path of a stream, and the bytes on
// their way. A file system without streams has none to copy.
[[nodiscard]] bool copy_streams(HANDLE source, const target_file &target, char *scratch, std::size_t size) noexcept {
    scratch = aligned(scratch, &size);
    const std::size_t list_size = size / 2, path_size = STREAM_PATH_CAPACITY * sizeof(WCHAR);
    if (size < list_size + path_size + 512) {
        errno = EOVERFLOW;
        return false;
    }
    auto *const full = reinterpret_cast<WCHAR *>(scratch + list_size);
    char *const buffer = scratch + list_size + path_size;
    const std::size_t buffer_size = size - list_size - path_size;
    if (!GetFileInformationByHandleEx(source, FileStreamInfo, scratch, static_cast<DWORD>(list_size))) {
        const DWORD error = GetLastError();
        if (not_offered(error) || error == ERROR_HANDLE_EOF) return true;
        errno = error == ERROR_MORE_DATA ? EOVERFLOW : errno_from_last_error();
        return false;
    }
    for (std::size_t at = 0;;) {
        const auto *entry = reinterpret_cast<const stream_entry *>(scratch + at);
        const std::size_t name_length = entry->name_bytes / sizeof(WCHAR);
        // "::$DATA" is the file's content, already copied.
        const bool unnamed = name_length >= 2 && entry->name[0] == L':' && entry->name[1] == L':';
        if (!unnamed && name_length > 0) {
            const HANDLE in = open_stream(target.path, entry->name, name_length, full, GENERIC_READ, OPEN_EXISTING);
            const HANDLE out = in == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE
                                                          : open_stream(target.temp_path, entry->name, name_length,
                                                                        full, GENERIC_WRITE, CREATE_NEW);
            bool copied = out != INVALID_HANDLE_VALUE;
            errno = copied ? 0 : errno_from_last_error();
            while (copied) {
                DWORD got = 0;
                if (!ReadFile(in, buffer, static_cast<DWORD>(buffer_size), &got, nullptr)) {
                    errno = errno_from_last_error();
                    copied = false;
                } else if (got == 0) {
                    break;
                } else {
                    copied = write_file(out, buffer, got);
                }
            }
            if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
            if (out != INVALID_HANDLE_VALUE && !CloseHandle(out) && copied) {
                errno = errno_from_last_error();
                copied = false;
            }
            if (!copied) return false;
        }
        if (entry->next == 0) return true;
        at += entry->next;
    }
}

// The parts of a file's security descriptor a rewrite keeps.
constexpr SECURITY_INFORMATION KEPT_SECURITY =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

// Gives out the source's security descriptor: its access list and its
// mandatory label, and its owner and group where the caller may set them.
// Owner and group grant no access of their own, beyond the owner's right
// to read and change the access list; where they cannot be set the new
// file is the caller's, as any file it saves. Where the access list or a
// label cannot be set, false: the new file would not be guarded as the old
// one was.
[[nodiscard]] bool copy_security(HANDLE source, HANDLE out, char *scratch, std::size_t size) noexcept {
    const auto descriptor = static_cast<PSECURITY_DESCRIPTOR>(aligned(scratch, &size));
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(source, KEPT_SECURITY, descriptor, static_cast<DWORD>(size), &needed)) {
        // A file system that keeps no security (FAT) has none to copy.
        if (not_offered(GetLastError())) return true;
        errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? EOVERFLOW : errno_from_last_error();
        return false;
    }
    if (SetKernelObjectSecurity(out, KEPT_SECURITY, descriptor)) return true;
    // Setting a label takes WRITE_OWNER, which the folder may not grant:
    // only a file that has one needs it.
    BOOL present = FALSE, defaulted = FALSE;
    PACL label = nullptr;
    const bool labelled =
        GetSecurityDescriptorSacl(descriptor, &present, &label, &defaulted) && present && label && label->AceCount > 0;
    const SECURITY_INFORMATION guarding = DACL_SECURITY_INFORMATION | (labelled ? LABEL_SECURITY_INFORMATION : 0);
    if (!SetKernelObjectSecurity(out, guarding, descriptor)) {
        errno = GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PRIVILEGE_NOT_HELD
                    ? EPERM
                    : errno_from_last_error();
        return false;
    }
    static_cast<void>(SetKernelObjectSecurity(out, GROUP_SECURITY_INFORMATION, descriptor));
    return true;
}

}  // namespace

bool keep_attributes(file_handle source, file_handle out, const target_file &target, char *scratch,
                     std::size_t scratch_size) noexcept {
    // Hidden, system and not-content-indexed went with the file's creation,
    // and encryption was asked for there: a file that could not be
    // encrypted is not put in an encrypted one's place.
    if (target.mode & FILE_ATTRIBUTE_ENCRYPTED) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(out, &information) ||
            !(information.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED)) {
            errno = EACCES;
            return false;
        }
    }
    // The streams first: opening them needs the access the old file's
    // access list may not give.
    return copy_streams(source, target, scratch, scratch_size) && copy_security(source, out, scratch, scratch_size);
}

file_handle create_temp_file(target_file &target) noexcept {
    if (!make_temp_name(target.path, target.temp_path)) return NO_FILE;
    // A stale temporary file is removed rather than opened, whatever
    // attributes it was left with, and never through a link: a link under
    // the temporary name is not this library's, and stays (EEXIST).
    bool stale = false;
    HANDLE old = INVALID_HANDLE_VALUE;
    const bool opened = retry_while_held([&] {
        old = open_name_itself(target.temp_path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL);
        return old != INVALID_HANDLE_VALUE;
    });
    if (opened) {
        stale = true;
        BY_HANDLE_FILE_INFORMATION information;
        const bool link = GetFileInformationByHandle(old, &information) &&
                          (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        const bool removed = !link && delete_open_file(old);
        const int cause = link ? EEXIST : errno_from_last_error();
        CloseHandle(old);
        if (!removed) {
            errno = cause;
            return NO_FILE;
        }
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        errno = errno_after_retries(target.temp_path);
        return NO_FILE;
    }
    // No sharing: nothing else can open the file while it is being written.
    // The rights to give it the old file's security come with the handle;
    // the owner's only where the folder's access list grants them.
    const DWORD attributes = target.mode != 0 ? target.mode : FILE_ATTRIBUTE_NORMAL;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const auto create = [&] {
        for (const DWORD owner : {static_cast<DWORD>(WRITE_OWNER), DWORD{0}}) {
            handle = CreateFileA(target.temp_path, GENERIC_WRITE | READ_CONTROL | WRITE_DAC | owner, 0, nullptr,
                                 CREATE_NEW, attributes, nullptr);
            if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
        }
        return handle != INVALID_HANDLE_VALUE;
    };
    // A stale file removed without POSIX semantics keeps its name until
    // the last handle on it goes, and the name is busy till then.
    if (!(stale ? retry_while_held(create) : create())) {
        errno = stale && GetLastError() == ERROR_ACCESS_DENIED ? EBUSY : errno_from_last_error();
        return NO_FILE;
    }
    if (!note_created(handle, target)) {
        errno = errno_from_last_error();
        static_cast<void>(delete_open_file(handle));
        CloseHandle(handle);
        return NO_FILE;
    }
    // The replaced file keeps its creation time, as an edit in place would.
    // Failing that only dates the file anew and loses no data, so the
    // result is not examined.
    if (target.created != 0) {
        FILETIME created_at;
        created_at.dwLowDateTime = static_cast<DWORD>(target.created & 0xFFFFFFFFu);
        created_at.dwHighDateTime = static_cast<DWORD>(target.created >> 32);
        static_cast<void>(SetFileTime(handle, &created_at, nullptr, nullptr));
    }
    return handle;
}

bool replace_with_temp_file(const target_file &target) noexcept { return move_temp_file(target, true); }

bool name_new_file(const target_file &target) noexcept {
    // Without replacing, the rename never replaces a file that appeared
    // meanwhile: EEXIST.
    return move_temp_file(target, false);
}

namespace {

// Removes what stands at path while it is the file this call created,
// keeping errno. Nothing better can be done when this fails: the caller is
// already reporting the failure that ended the write.
void remove_created_file(const char *path, const target_file &target) noexcept {
    const int cause = errno;
    const HANDLE file = open_name_itself(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL);
    if (file != INVALID_HANDLE_VALUE) {
        if (is_created_file(file, target)) static_cast<void>(delete_open_file(file));
        CloseHandle(file);
    }
    errno = cause;
}

}  // namespace

void remove_temp_file(const target_file &target) noexcept { remove_created_file(target.temp_path, target); }

file_handle create_named_file(target_file &target) noexcept {
    // CREATE_NEW never opens what is there: a file that appeared meanwhile
    // gives ERROR_FILE_EXISTS. Through a link to a missing file it creates
    // the file the link names, following the link once; should that file
    // appear meanwhile, it is not opened either. The target then names the
    // file created, so that only that file is ever removed again.
    const HANDLE handle = CreateFileA(target.path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        static_cast<void>(note_created(handle, target));
        static_cast<void>(resolve_final_path(handle, target.path, sizeof target.path));
    }
    return checked(handle);
}

void remove_named_file(const target_file &target) noexcept { remove_created_file(target.path, target); }

void sync_target_directory(const target_file &target) noexcept {
    // The rename flushed the file's metadata, or MOVEFILE_WRITE_THROUGH
    // waited until the move was on disk.
    static_cast<void>(target);
}

}  // namespace brantcfg::detail
