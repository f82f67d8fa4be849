// The library's seams to the operating system: everything that differs
// between POSIX systems and Windows lives behind these few functions, so the
// text rules and the update algorithm above them are the same everywhere.
#ifndef BRANTCFG_PLATFORM_H
#define BRANTCFG_PLATFORM_H

#include <cstddef>
#include <cstdio>

namespace brantcfg::detail {

// Longest path, NUL included, that a rewrite can name its temporary file
// after; longer paths cannot be opened on these systems anyway.
#if defined(_WIN32)
constexpr std::size_t PATH_CAPACITY = 32768;
#else
constexpr std::size_t PATH_CAPACITY = 4096;
#endif

// ASCII case-insensitive comparison of exactly length bytes; other bytes
// compare as they are, whatever the process locale.
[[nodiscard]] bool equal_ignoring_case(const char *a, const char *b, std::size_t length) noexcept;

enum class open_result { opened, missing, failed };

// Opens path for binary reading. Tells a file that does not exist from one
// that exists but cannot be opened (errno says why).
[[nodiscard]] std::FILE *open_for_reading(const char *path, open_result *result) noexcept;

// What a rewrite needs to know about the file it replaces.
struct target_file {
    char path[PATH_CAPACITY];       // the file to replace: path itself, or what its link resolves to
    char temp_path[PATH_CAPACITY];  // path with its last byte replaced by '~'
    unsigned mode = 0;              // permission bits (POSIX) or attributes (Windows) to give the new file
    long owner = -1, group = -1;    // owner and group to keep where allowed (POSIX)
    unsigned long long created = 0; // creation time to keep (Windows FILETIME); 0 for none
    bool inherit = true;            // false: no old file; the new one gets what any new file gets
};

// Fills target for the file at path, opened for reading as source. Returns
// false (errno set) when no temporary path can be formed, or when the
// caller may not write the file (a read-only file is not replaced).
[[nodiscard]] bool describe_target(const char *path, std::FILE *source, target_file *target) noexcept;

// Fills target for a file that does not exist yet at path. Returns false
// (errno set) when no temporary path can be formed, or when path is a link
// to a missing file, which is created through the link instead.
[[nodiscard]] bool describe_new_target(const char *path, target_file *target) noexcept;

// Creates the temporary file afresh (a stale one is replaced), with the
// target's permission bits. nullptr on failure, errno set.
[[nodiscard]] std::FILE *create_temp_file(const target_file &target) noexcept;

// Pushes a written stream's data through the runtime and the system to the
// disk. False on failure, errno set.
[[nodiscard]] bool flush_to_disk(std::FILE *file) noexcept;

// Puts the temporary file in the target's place in one atomic step, so the
// path names the old or the new file at every moment. False on failure.
[[nodiscard]] bool replace_file(const char *temp_path, const char *path) noexcept;

// Removes a file this call created at path and could not complete: the
// file itself, also when path is a symbolic link that named no file before.
void remove_created_file(const char *path) noexcept;

// Makes a completed replace durable by syncing the directory that holds
// path, where the system needs it.
void sync_parent_directory(const char *path) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_PLATFORM_H
