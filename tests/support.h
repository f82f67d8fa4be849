// Helpers shared by the test suites: a scratch directory per test and
// whole-file reads and writes, byte for byte.
#ifndef BRANTCFG_TEST_SUPPORT_H
#define BRANTCFG_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include "dir_list.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brantcfg_test {

// A fresh, empty directory for one test, removed with everything in it when
// the fixture ends.
class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Path of a file inside the scratch directory.
    std::string path(const std::string &name) const;
    std::string dir_;
};

// Writes bytes exactly as given (binary; NUL bytes included).
void write_file(const std::string &path, const std::string &bytes);
// Reads the whole file; sets *exists to false (and returns "") when it is missing.
std::string read_file(const std::string &path, bool *exists = nullptr);
bool file_exists(const std::string &path);
// What tells one version of a file from another: which file the path names
// (a rewrite puts a new one there) and when it was last written.
struct FileStamp {
    unsigned long long identity = 0;  // inode, or Windows' file index
    long long write_time = 0;         // in the system's own units
    bool operator==(const FileStamp &other) const {
        return identity == other.identity && write_time == other.write_time;
    }
};
FileStamp stamp_of(const std::string &path);
// Moves the file's last-write time far into the past, so any write shows.
void age_file(const std::string &path);
// Sets an environment variable of this process; nullptr removes it.
void set_env(const char *name, const char *value);
#if !defined(_WIN32)
// What a call made in a child process returned, and its errno.
struct Outcome {
    bool ran = false;  // prepare succeeded in the child
    int result = -1;
    int error = 0;
};

// Runs call in a child process once prepare has succeeded there, and hands
// back its result and errno.
Outcome in_child(const std::function<bool()> &prepare, const std::function<int()> &call);

// A prepare step for in_child: the process becomes nobody (user and group
// 65534), a member of the supplementary groups given and of no other.
bool drop_privileges(const std::vector<unsigned> &groups = {});

// A prepare step for in_child: a file-size limit with SIGXFSZ ignored, so a
// write past it fails with EFBIG instead of ending the process.
std::function<bool()> file_size_limit(unsigned long bytes);
#endif

// One entry of an access list: its tag (0x01 owner, 0x02 a named user, 0x04
// the owning group, 0x08 a named group, 0x10 the mask, 0x20 others), its
// permission bits (4 read, 2 write, 1 execute) and, for a named entry, the id.
struct AccessEntry {
    std::uint16_t tag, permissions;
    std::uint32_t id = 0xFFFFFFFF;
};
// The access list in the system's own form, the value of the
// system.posix_acl_access extended attribute.
std::string access_list(const std::vector<AccessEntry> &entries);

// What a reader left in a caller's buffer, and what it returned.
struct Answer {
    int result;
    std::string text;
};

// Runs call(buffer, size) on a buffer of exactly size bytes followed by
// guard bytes; fails the test on an overrun, a missing NUL, or a result that
// is not the length of what the buffer holds.
Answer call_guarded(int size, const std::function<int(char *, int)> &call);

// The text with every line feed turned into CR LF.
std::string crlf(const std::string &text);

// Directory of the real-world corpus, or "" when it is not there.
std::string corpus_dir();
// Every regular file below the corpus directory (SOURCES.md and dot files excepted), sorted.
std::vector<std::string> corpus_files();
// A corpus file as a Windows editor saved it: UTF-8 behind a byte-order
// mark, or UTF-16. An entry it holds (section "" for the nameless one) and
// the first header's name, as a reader that knows the encoding sees them.
struct SavedFile {
    const char *path;  // below the corpus directory
    bool utf16;
    const char *section, *key, *value;
    const char *first_section;  // "" when there is none
};
// The corpus files that begin with a byte-order mark, UTF-8 and UTF-16.
extern const SavedFile SAVED_FILES[8];

// Why a test that reads the corpus skips itself when corpus_files() finds none.
inline constexpr char NO_CORPUS[] =
    "no corpus at " BRANTCFG_CORPUS_DIR ": the shared folder's corpus/, beside the repository (see README)";

}  // namespace brantcfg_test

#endif
