// Writes that cannot be completed. The system is made to fail for real: a
// child process with a low file-size limit, a child without root's rights, a
// directory where a file should be. Every failed call returns 0 with errno
// set and leaves the file byte for byte as it was, with no temporary file.
#include "brantcfg.h"
#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

namespace {

using brantcfg_test::file_size_limit;
using brantcfg_test::in_child;
using brantcfg_test::list_dir;
using brantcfg_test::Outcome;
using brantcfg_test::read_file;
using brantcfg_test::write_file;
using Names = std::vector<std::string>;

struct Call {
    const char *name;
    const char *section, *key, *value;
};

bool drop_privileges() { return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0; }

struct Stamp {
    ino_t inode;
    long long sec;
    long nsec;
    bool operator==(const Stamp &o) const { return inode == o.inode && sec == o.sec && nsec == o.nsec; }
};

Stamp stamp_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return {st.st_ino, static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
}

// Moves the modification time far into the past, so that any write shows.
Stamp aged_stamp(const std::string &path) {
    const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    return stamp_of(path);
}

std::string lines(const char *prefix, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += prefix + std::to_string(1000 + i) + "=" + std::string(40, 'x') + "\r\n";
    return text;
}

class Faults : public brantcfg_test::ScratchDir {
protected:
    // Runs each call on a fresh copy of input in a child under a file-size
    // limit, and expects it to fail with EFBIG and change nothing.
    void expect_too_big(const std::string &input, rlim_t limit, const std::vector<Call> &calls) {
        const std::string file = path("x.ini");
        for (const Call &c : calls) {
            SCOPED_TRACE(c.name);
            write_file(file, input);
            const Outcome out =
                in_child(file_size_limit(limit), [&] { return ini_puts(c.section, c.key, c.value, file.c_str()); });
            ASSERT_TRUE(out.ran);
            EXPECT_EQ(out.result, 0);
            EXPECT_EQ(out.error, EFBIG);
            EXPECT_EQ(read_file(file), input);
            EXPECT_EQ(list_dir(dir_), Names{"x.ini"});
        }
    }
};

TEST_F(Faults, RewriteFailingMidwayLeavesTarget) {
    const std::string input = "[S]\r\nK=1\r\n[Big]\r\n" + lines("B", 400);
    ASSERT_GT(input.size(), 16384u);
    expect_too_big(input, 8192,
                   {{"replace", "S", "K", "22"},
                    {"new section", "T", "K", "v"},
                    {"delete key", "S", "K", nullptr},
                    {"delete section", "S", nullptr, nullptr}});
}

// The whole rewritten file fits the stream's buffer, so the failure comes
// only when the temporary file is flushed.
TEST_F(Faults, RewriteFailingAtFlushLeavesTarget) {
    const std::string input = "[S]\r\nK=1\r\n[Pad]\r\n" + lines("P", 60);
    ASSERT_LT(input.size(), 4000u);
    expect_too_big(input, input.size() + 2, {{"replace", "S", "K", "1234567890"}, {"new section", "T", "K", "v"}});
}

TEST_F(Faults, PatchFailingToWriteLeavesTarget) {
    const std::string input = "[Pad]\r\n" + lines("P", 50) + "[S]\r\nVal=1\r\n";
    ASSERT_GT(input.size(), 2048u);
    expect_too_big(input, 1024, {{"same length", "S", "Val", "2"}});
}

TEST_F(Faults, CreationFailingToWriteLeavesNoFile) {
    const std::string value(100, 'v');
    for (const char *section : {"Section", static_cast<const char *>(nullptr)}) {
        const std::string file = path("new.ini");
        const Outcome out =
            in_child(file_size_limit(16), [&] { return ini_puts(section, "Key", value.c_str(), file.c_str()); });
        ASSERT_TRUE(out.ran);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.error, EFBIG);
        EXPECT_EQ(list_dir(dir_), Names{});
    }
}

// A link to a file that does not exist yet: the file is created through it,
// and a failed creation takes away what was written, not the link.
TEST_F(Faults, CreationThroughDanglingLinkLeavesNoPartialFile) {
    const std::string link = path("x.ini");
    ASSERT_EQ(symlink("real.ini", link.c_str()), 0);
    const std::string value(100, 'v');
    const Outcome out =
        in_child(file_size_limit(16), [&] { return ini_puts("Section", "Key", value.c_str(), link.c_str()); });
    ASSERT_TRUE(out.ran);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.error, EFBIG);
    EXPECT_EQ(list_dir(dir_), Names{"x.ini"});
    struct stat st {};
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(Faults, MissingDirectoryCreatesNothing) {
    const std::string file = path("none/x.ini");
    errno = 0;
    EXPECT_EQ(ini_puts("S", "K", "v", file.c_str()), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(list_dir(dir_), Names{});
}

TEST_F(Faults, TemporaryFileThatCannotBeCreatedLeavesTarget) {
    const std::string file = path("x.ini");
    const std::string input = "[S]\r\nK=1\r\n";
    write_file(file, input);
    ASSERT_EQ(mkdir(path("x.in~").c_str(), 0700), 0);
    errno = 0;
    EXPECT_EQ(ini_puts("S", "K", "22", file.c_str()), 0);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(read_file(file), input);
    EXPECT_EQ(list_dir(dir_), (Names{"x.ini", "x.in~"}));
    EXPECT_EQ(list_dir(path("x.in~")), Names{});
}

// A directory opens for reading but every read of it fails.
TEST_F(Faults, DirectoryAtPathIsNeverReplaced) {
    const std::string file = path("x.ini");
    ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
    const std::vector<Call> calls = {
        {"set", "S", "K", "v"}, {"delete key", "S", "K", nullptr}, {"delete section", "S", nullptr, nullptr}};
    for (const Call &c : calls) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(ini_puts(c.section, c.key, c.value, file.c_str()), 0);
        EXPECT_EQ(errno, EISDIR);
        EXPECT_EQ(list_dir(dir_), Names{"x.ini"});
        EXPECT_EQ(list_dir(file), Names{});
    }
}

// A file that exists but cannot be read must not be taken for a missing one:
// it is writable here, so creating it afresh would destroy it.
// A file this process may not read, and one it may read but not write,
// are both left alone, whether the change would patch it in place or
// replace it (which needs only the directory's permission).
TEST_F(Faults, UnreadableOrReadOnlyFileIsNeverReplaced) {
    const std::string sub = path("open");
    const std::string file = sub + "/x.ini";
    const std::string input = "[S]\r\nK=1\r\n";
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    ASSERT_EQ(chmod(sub.c_str(), 0777), 0);
    const std::vector<Call> calls = {{"replace", "S", "K", "22"},
                                     {"same length", "S", "K", "2"},
                                     {"new section", "T", "K", "v"},
                                     {"delete key", "S", "K", nullptr},
                                     {"delete absent key", "S", "Z", nullptr},
                                     {"delete section", "S", nullptr, nullptr}};
    for (const mode_t mode : {mode_t{0622}, mode_t{0444}}) {
        for (const Call &c : calls) {
            SCOPED_TRACE(std::string(c.name) + (mode == 0444 ? ", read-only" : ", unreadable"));
            ASSERT_EQ(chmod(sub.c_str(), 0777), 0);
            if (brantcfg_test::file_exists(file)) {
                ASSERT_EQ(chmod(file.c_str(), 0644), 0);
            }
            write_file(file, input);
            ASSERT_EQ(chmod(file.c_str(), mode), 0);
            const Outcome out =
                in_child(drop_privileges, [&] { return ini_puts(c.section, c.key, c.value, file.c_str()); });
            if (!out.ran) GTEST_SKIP() << "cannot drop privileges";
            // Deleting what a readable file does not hold changes nothing,
            // so it succeeds without writing.
            const bool nothing_to_do = mode == 0444 && std::string(c.name) == "delete absent key";
            EXPECT_EQ(out.result, nothing_to_do ? 1 : 0);
            if (!nothing_to_do) {
                EXPECT_EQ(out.error, EACCES);
            }
            EXPECT_EQ(read_file(file), input);
            EXPECT_EQ(list_dir(sub), Names{"x.ini"});
        }
    }
}

TEST_F(Faults, LineBreakInAnyArgumentIsRefused) {
    const std::vector<Call> calls = {{"CR in section", "S\r", "K", "v"},
                                     {"LF in key", "S", "K\n", "v"},
                                     {"LF in value", "S", "K", "a\nb"},
                                     {"CR ending value", "S", "K", "a\r"},
                                     {"injected section", "S", "K", "x\r\n[T]\r\nL=1"},
                                     {"LF in unused value", "S", nullptr, "x\ny"},
                                     {"LF in deleted section", "S\n", nullptr, nullptr},
                                     {"CR in deleted key", nullptr, "K\r", nullptr}};
    const std::string file = path("x.ini");
    const std::string missing = path("missing.ini");
    const std::string input = "K=1\r\n[S]\r\nK=1\r\n";
    write_file(file, input);
    const Stamp before = aged_stamp(file);
    for (const Call &c : calls) {
        SCOPED_TRACE(c.name);
        for (const std::string &target : {file, missing}) {
            errno = 0;
            EXPECT_EQ(ini_puts(c.section, c.key, c.value, target.c_str()), 0);
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_EQ(read_file(file), input);
        EXPECT_EQ(stamp_of(file), before);
        EXPECT_EQ(list_dir(dir_), Names{"x.ini"});
    }
    errno = 0;
    EXPECT_EQ(ini_putl("S\n", "K", 1, file.c_str()), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(ini_putf("S", "K\r", 1.0f, file.c_str()), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(stamp_of(file), before);
}

TEST(NullPath, IsRefusedWithEinval) {
    errno = 0;
    EXPECT_EQ(ini_puts("S", "K", "v", nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(ini_putl("S", "K", 1, nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(ini_putf("S", "K", 1.0f, nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
}

// A path ending in '~' has no temporary path of its own: whatever needs a
// rewrite is refused, the rest works.
TEST_F(Faults, TildePathRefusesRewriteOnly) {
    const std::string file = path("x.in~");
    const std::string input = "[S]\r\nK=1\r\nL=2\r\n";
    write_file(file, input);
    const std::vector<Call> rewrites = {{"replace", "S", "K", "22"},
                                        {"new section", "T", "K", "v"},
                                        {"delete key", "S", "K", nullptr},
                                        {"delete section", "S", nullptr, nullptr}};
    for (const Call &c : rewrites) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(ini_puts(c.section, c.key, c.value, file.c_str()), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(read_file(file), input);
        EXPECT_EQ(list_dir(dir_), Names{"x.in~"});
    }
    EXPECT_EQ(ini_puts("S", "K", "1", file.c_str()), 1);
    EXPECT_EQ(read_file(file), input);
    EXPECT_EQ(ini_puts("S", "K", "3", file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[S]\r\nK=3\r\nL=2\r\n");
    EXPECT_EQ(ini_puts("S", "K", "v", path("y.in~").c_str()), 1);
    EXPECT_EQ(read_file(path("y.in~")), "[S]\r\nK=v\r\n");
    EXPECT_EQ(list_dir(dir_), (Names{"x.in~", "y.in~"}));
}

// The temporary path is the whole path with its last byte replaced; a path
// cut at 511 bytes would name the file beside the deepest directory here.
TEST_F(Faults, LongPathTemporaryIsNotCut) {
    std::string deep = dir_;
    while (511 - deep.size() - 1 > 240) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    if (deep.size() + 2 >= 511) GTEST_SKIP() << "scratch directory path too long";
    deep += "/" + std::string(511 - deep.size() - 1, 'e');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    ASSERT_EQ(deep.size(), 511u);
    const std::string victim = deep.substr(0, 510) + "~";
    write_file(victim, "victim");
    const std::string file = deep + "/x.ini";
    write_file(file, "[S]\r\nK=1\r\n");
    EXPECT_EQ(ini_puts("S", "K", "22", file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[S]\r\nK=22\r\n");
    EXPECT_EQ(read_file(victim), "victim");
    EXPECT_EQ(list_dir(deep), Names{"x.ini"});
}

TEST_F(Faults, RewriteKeepsPermissionBits) {
    const mode_t old_mask = umask(022);
    const std::string file = path("x.ini");
    for (const mode_t mode : {0600, 0640, 0604, 0666, 0755}) {
        SCOPED_TRACE(mode);
        write_file(file, "[S]\r\nK=1\r\n");
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        EXPECT_EQ(ini_puts("S", "K", "22", file.c_str()), 1);
        EXPECT_EQ(read_file(file), "[S]\r\nK=22\r\n");
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
    umask(old_mask);
}

// The link stays; the file it names is rewritten beside itself. A directory
// at the link's own temporary path would make a rewrite beside the link fail.
TEST_F(Faults, SymbolicLinkStaysAndTargetIsRewritten) {
    const std::string real = path("real"), links = path("links");
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(links.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((links + "/link.in~").c_str(), 0700), 0);
    write_file(real + "/t.ini", "[S]\r\nK=1\r\n");
    ASSERT_EQ(chmod((real + "/t.ini").c_str(), 0640), 0);
    const std::string link = links + "/link.ini";
    ASSERT_EQ(symlink("../real/t.ini", link.c_str()), 0);

    EXPECT_EQ(ini_puts("S", "K", "22", link.c_str()), 1);
    EXPECT_EQ(ini_puts("T", "N", "v", link.c_str()), 1);

    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    char target[64] = {};
    EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../real/t.ini");
    EXPECT_EQ(read_file(real + "/t.ini"), "[S]\r\nK=22\r\n[T]\r\nN=v\r\n");
    ASSERT_EQ(stat((real + "/t.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(list_dir(real), Names{"t.ini"});
    EXPECT_EQ(list_dir(links), (Names{"link.ini", "link.in~"}));
}

}  // namespace
