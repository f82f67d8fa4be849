// What the Windows build does where the system differs: file attributes,
// read-only files, files held open by another program, stale temporary
// files, creation times, links, and how failed opens are told apart.
#include "brantcfg.h"
#include "support.h"

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

using brantcfg_test::file_exists;
using brantcfg_test::list_dir;
using brantcfg_test::read_file;
using brantcfg_test::write_file;

const std::string ORIGINAL = "[s]\r\nk=1\r\nother=keep\r\n";
// Longer than k=1, so the file is rewritten through the temporary file.
const std::string REWRITTEN = "[s]\r\nk=longer\r\nother=keep\r\n";

class WindowsFiles : public brantcfg_test::ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        file_ = path("app.ini");
        write_file(file_, ORIGINAL);
    }
    // Only the target itself is left in the scratch directory (no "app.in~").
    void expect_only_target() const { EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"app.ini"}); }
    DWORD attributes() const { return GetFileAttributesA(file_.c_str()); }
    std::string file_;
};

TEST_F(WindowsFiles, RewriteKeepsHiddenAndSystemAttributes) {
    ASSERT_TRUE(SetFileAttributesA(file_.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_EQ(ini_puts("s", "k", "longer", file_.c_str()), 1);
    EXPECT_EQ(read_file(file_), REWRITTEN);
    EXPECT_EQ(attributes() & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    expect_only_target();
}

TEST_F(WindowsFiles, PlainFileStaysPlainAfterRewrite) {
    ASSERT_EQ(ini_puts("s", "k", "longer", file_.c_str()), 1);
    EXPECT_EQ(attributes() & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY), 0u);
    expect_only_target();
}

TEST_F(WindowsFiles, ReadOnlyFileIsNeverChanged) {
    ASSERT_TRUE(SetFileAttributesA(file_.c_str(), FILE_ATTRIBUTE_READONLY));
    // Windows refuses to open a read-only file for writing; Wine run as
    // root does not, and then a same-length patch goes through.
    bool opens_for_writing = false;
    if (std::FILE *probe = std::fopen(file_.c_str(), "r+b")) {
        opens_for_writing = true;
        std::fclose(probe);
    }
    struct Case {
        const char *what, *key, *value;
        bool patch;
    } cases[] = {
        {"rewrite", "k", "longer", false},
        {"same-length patch", "k", "2", true},
        {"key deletion", "k", nullptr, false},
        {"section deletion", nullptr, nullptr, false},
    };
    for (const auto &c : cases) {
        if (c.patch && opens_for_writing) continue;
        errno = 0;
        EXPECT_EQ(ini_puts("s", c.key, c.value, file_.c_str()), 0) << c.what;
        EXPECT_EQ(errno, EACCES) << c.what;
        EXPECT_EQ(read_file(file_), ORIGINAL) << c.what;
        expect_only_target();
    }
    // An unchanged value needs no write and succeeds.
    EXPECT_EQ(ini_puts("s", "k", "1", file_.c_str()), 1);
    SetFileAttributesA(file_.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowsFiles, FileHeldOpenByAnotherProgramIsLeftIntact) {
    // A reader that does not share deletion, as the C runtime's fopen does,
    // keeps the file from being replaced.
    const HANDLE other = CreateFileA(file_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    errno = 0;
    const int result = ini_puts("s", "k", "longer", file_.c_str());
    const int cause = errno;
    CloseHandle(other);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(cause, EACCES);
    EXPECT_EQ(read_file(file_), ORIGINAL);
    expect_only_target();
}

TEST_F(WindowsFiles, StaleReadOnlyHiddenTemporaryFileIsReplaced) {
    const std::string stale = path("app.in~");
    write_file(stale, "left over by a crash\r\n");
    ASSERT_TRUE(SetFileAttributesA(stale.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(ini_puts("s", "k", "longer", file_.c_str()), 1);
    EXPECT_EQ(read_file(file_), REWRITTEN);
    EXPECT_EQ(attributes() & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), 0u);
    expect_only_target();
}

TEST_F(WindowsFiles, RewriteKeepsCreationTime) {
    // 2001-01-01 in FILETIME units.
    FILETIME old_time;
    old_time.dwLowDateTime = 0xE1D58000u;
    old_time.dwHighDateTime = 0x01C07385u;
    const auto set_created = [&](const std::string &name) {
        const HANDLE h =
            CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool set = SetFileTime(h, &old_time, nullptr, nullptr) != 0;
        CloseHandle(h);
        return set;
    };
    const auto created = [&](const std::string &name) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data);
        return (static_cast<unsigned long long>(data.ftCreationTime.dwHighDateTime) << 32) |
               data.ftCreationTime.dwLowDateTime;
    };
    const unsigned long long wanted =
        (static_cast<unsigned long long>(old_time.dwHighDateTime) << 32) | old_time.dwLowDateTime;
    ASSERT_TRUE(set_created(file_));
    if (created(file_) != wanted) GTEST_SKIP() << "this file system does not keep creation times";

    ASSERT_EQ(ini_puts("s", "k", "longer", file_.c_str()), 1);
    EXPECT_EQ(read_file(file_), REWRITTEN);
    EXPECT_EQ(created(file_), wanted);
}

TEST_F(WindowsFiles, RewriteThroughLinkKeepsTheLink) {
    const std::string link = path("link.ini");
    if (!CreateSymbolicLinkA(link.c_str(), file_.c_str(), 0) ||
        GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "symbolic links cannot be made here";
    ASSERT_EQ(ini_puts("s", "k", "longer", link.c_str()), 1);
    EXPECT_EQ(read_file(file_), REWRITTEN);
    EXPECT_NE(GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_FALSE(file_exists(path("link.in~")));
    EXPECT_FALSE(file_exists(path("app.in~")));
}

TEST_F(WindowsFiles, FailedOpensTellMissingFromUnreadable) {
    // A directory cannot be read as a file: nothing is created in its place.
    const std::string folder = path("folder.ini");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    errno = 0;
    EXPECT_EQ(ini_puts("s", "k", "v", folder.c_str()), 0);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(ini_puts("s", nullptr, nullptr, folder.c_str()), 0);
    EXPECT_EQ(errno, EACCES);

    // A missing file in a missing folder is missing, and cannot be created.
    const std::string nowhere = path("no-such-folder/app.ini");
    EXPECT_EQ(ini_puts("s", "k", nullptr, nowhere.c_str()), 1);
    errno = 0;
    EXPECT_EQ(ini_puts("s", "k", "v", nowhere.c_str()), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(file_exists(path("no-such-folder")));

    // A file locked by another program is unreadable, not missing.
    const HANDLE locked =
        CreateFileA(file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    errno = 0;
    const int result = ini_puts("s", "k", "v", file_.c_str());
    const int cause = errno;
    char buffer[16];
    const int length = ini_gets("s", "k", "dflt", buffer, sizeof buffer, file_.c_str());
    CloseHandle(locked);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(cause, EACCES);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(read_file(file_), ORIGINAL);
}

}  // namespace
