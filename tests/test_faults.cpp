// Writes that cannot be completed. The system is made to fail for real: a
// child process with a low file-size limit, a child without root's rights, a
// directory where a file should be; or through the platform layer's
// system-call hook, which fails any one call or acts just before it. Every
// failed call returns 0 with errno set and leaves the file byte for byte as
// it was, with no temporary file.
#include "brantcfg.h"
#include "hooks.h"
#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using brantcfg_test::drop_privileges;
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

// A system call that fails every time with error: what a system or file
// system without that feature answers.
struct Refusal {
    const char *name;
    int error;
};

// What the system-call hook does with the calls the platform layer makes:
// counts them, fails the one numbered fail_at (from 1) with error and every
// one that refused names, and runs before just ahead of each.
struct SystemCalls {
    int count = 0;
    int fail_at = 0;
    int error = 0;
    std::vector<Refusal> refused;
    int failed = 0;           // calls made to fail
    std::string failed_name;  // the last of them
    std::function<void(const char *)> before;
};
SystemCalls system_calls;

}  // namespace

extern "C" int brantcfg_system_call(const char *name) {
    SystemCalls &calls = system_calls;
    ++calls.count;
    if (calls.before) calls.before(name);
    int error = calls.count == calls.fail_at ? calls.error : 0;
    for (const Refusal &refusal : calls.refused)
        if (std::strcmp(name, refusal.name) == 0) error = refusal.error;
    if (error == 0) return 0;
    ++calls.failed;
    calls.failed_name = name;
    return error;
}

namespace {

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
    void TearDown() override {
        system_calls = {};
        ScratchDir::TearDown();
    }

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

// A set that finds no file creates one, unless the way to it is blocked:
// a missing folder, or a link whose target is longer than a path can be (a
// target cut short would name another file). A file that another program
// creates between the search and the creation is changed, not replaced.
TEST_F(Faults, CreationOfAMissingFileStopsOrDefersToWhatItMeets) {
    std::string far;  // 4095 bytes, the longest target a link can hold
    while (far.size() + 2 < 4095) far += "d/";
    far.resize(4094, 'd');
    far += "x";
    const struct {
        const char *name;
        const char *path;   // below the scratch folder
        const char *link;   // when not nullptr: path is a link to this
        bool appears;       // a file x.ini appears just before the creation
        int result, error;  // of the call
        Names left;
        const char *text;  // of x.ini afterwards; nullptr: none
    } rows[] = {
        {"a folder on the way missing", "none/x.ini", nullptr, false, 0, ENOENT, Names{}, nullptr},
        {"a link to a target too long to follow", "x.ini", far.c_str(), false, 0, ENAMETOOLONG, Names{"x.ini"},
         nullptr},
        {"a file created meanwhile", "x.ini", nullptr, true, 1, 0, Names{"x.ini"}, "[S]\r\nJ=w\r\nK=v\r\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        for (const std::string &name : list_dir(dir_)) std::remove(path(name).c_str());
        const std::string file = path(row.path);
        if (row.link) {
            ASSERT_EQ(symlink(row.link, file.c_str()), 0);
        }
        bool appeared = false;
        system_calls = {};
        system_calls.before = [&](const char *name) {
            // The creation looks at the name before it makes the file.
            if (row.appears && !appeared && std::strcmp(name, "fstatat") == 0) {
                write_file(file, "[S]\r\nJ=w\r\n");
                appeared = true;
            }
        };
        errno = 0;
        EXPECT_EQ(ini_puts("S", "K", "v", file.c_str()), row.result);
        if (row.result == 0) {
            EXPECT_EQ(errno, row.error);
        }
        system_calls = {};
        EXPECT_EQ(appeared, row.appears);
        EXPECT_EQ(list_dir(dir_), row.left);
        struct stat status {};
        if (row.text) {
            EXPECT_EQ(read_file(file), row.text);
        } else {
            EXPECT_NE(stat(file.c_str(), &status), 0);
        }
    }
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
            const Outcome out = in_child([] { return drop_privileges(); },
                                         [&] { return ini_puts(c.section, c.key, c.value, file.c_str()); });
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

// ---- every system call failing in turn ----------------------------------------

// Descriptors this process has open now.
std::size_t open_descriptors() { return list_dir("/proc/self/fd").size(); }

// Each kind of write, with every system call it makes failed in turn (the
// first, then the second, and so on until the write no longer gets that
// far), and then with each interrupted once: a failed call leaves the file
// old and says so, 0 with errno set; a call that succeeds leaves it new,
// with its extended attribute; no temporary file is left beside it and no
// descriptor stays open. An interrupted call is made again, so every write
// then succeeds (an interrupted close excepted, which is not made again).
TEST_F(Faults, EverySystemCallFailingInTurnLeavesTheFileOldOrNew) {
    const char *const input = "; c\r\n[s]\r\nk=1\r\nj=2\r\n[t]\r\nm=1\r\n";
    const char *const longer = "; c\r\n[s]\r\nk=22\r\nj=2\r\n[t]\r\nm=1\r\n";
    // What else stands there before the call: a temporary file a crash
    // left, which the call replaces (and may leave, but only as it was); or
    // the file belongs to another user (the tests run as root), whose owner
    // the new file must keep. Or the call names the file relative to the
    // current folder, which is then the scratch folder. Or the folder gives
    // new files an access list the file lacks, which the new file must not
    // keep.
    enum class Setup { plain, stale_temporary_file, other_owner, relative_path, folder_access_list };
    const std::string folder_list =
        brantcfg_test::access_list({{0x01, 6}, {0x02, 6, 65534}, {0x04, 4}, {0x10, 6}, {0x20, 4}});
    const std::string stale = "left by a crash";
    const struct {
        const char *name;
        const char *file;
        const char *before;  // nullptr: no file yet
        const char *section, *key, *value;
        const char *after;
        Setup setup;
    } changes[] = {
        {"patch", "app.ini", input, "s", "k", "3", "; c\r\n[s]\r\nk=3\r\nj=2\r\n[t]\r\nm=1\r\n", Setup::plain},
        {"longer value", "app.ini", input, "s", "k", "22", longer, Setup::plain},
        {"new key", "app.ini", input, "s", "n", "v", "; c\r\n[s]\r\nk=1\r\nj=2\r\nn=v\r\n[t]\r\nm=1\r\n", Setup::plain},
        {"new section", "app.ini", input, "u", "n", "v", "; c\r\n[s]\r\nk=1\r\nj=2\r\n[t]\r\nm=1\r\n[u]\r\nn=v\r\n",
         Setup::plain},
        {"key deletion", "app.ini", input, "s", "j", nullptr, "; c\r\n[s]\r\nk=1\r\n[t]\r\nm=1\r\n", Setup::plain},
        {"section deletion", "app.ini", input, "t", nullptr, nullptr, "; c\r\n[s]\r\nk=1\r\nj=2\r\n", Setup::plain},
        {"creation", "app.ini", nullptr, "s", "k", "v", "[s]\r\nk=v\r\n", Setup::plain},
        // A name without a temporary name is created directly.
        {"creation under its own name", "app.in~", nullptr, "s", "k", "v", "[s]\r\nk=v\r\n", Setup::plain},
        {"longer value beside a stale temporary file", "app.ini", input, "s", "k", "22", longer,
         Setup::stale_temporary_file},
        {"creation beside a stale temporary file", "app.ini", nullptr, "s", "k", "v", "[s]\r\nk=v\r\n",
         Setup::stale_temporary_file},
        {"longer value in another user's file", "app.ini", input, "s", "k", "22", longer, Setup::other_owner},
        {"longer value, the file named in the current folder", "app.ini", input, "s", "k", "22", longer,
         Setup::relative_path},
        {"creation, the file named in the current folder", "app.ini", nullptr, "s", "k", "v", "[s]\r\nk=v\r\n",
         Setup::relative_path},
        {"longer value, the folder giving new files an access list", "app.ini", input, "s", "k", "22", longer,
         Setup::folder_access_list},
    };
    char folder[4096];
    ASSERT_NE(getcwd(folder, sizeof folder), nullptr);
    const uid_t other = 65534;  // nobody
    // The file carries an extended attribute, which a rewrite copies.
    const std::string note = "kept";
    int runs = 0;
    for (const auto &change : changes) {
        const std::string file = path(change.file);
        for (const int error : {EIO, EINTR}) {
            for (int at = 1;; ++at) {
                ASSERT_LT(at, 1000) << change.name << ": the write never ends";
                for (const std::string &name : list_dir(dir_)) std::remove(path(name).c_str());
                if (change.before) {
                    write_file(file, change.before);
                    setxattr(file.c_str(), "user.note", note.data(), note.size(), 0);
                }
                if (change.setup == Setup::stale_temporary_file) write_file(path("app.in~"), stale);
                if (change.setup == Setup::other_owner && chown(file.c_str(), other, other) != 0) {
                    std::printf("%s: left out, the file cannot be given away here\n", change.name);
                    break;
                }
                if (change.setup == Setup::folder_access_list &&
                    setxattr(dir_.c_str(), "system.posix_acl_default", folder_list.data(), folder_list.size(), 0) !=
                        0) {
                    std::printf("%s: left out, no access lists here\n", change.name);
                    break;
                }
                const std::size_t descriptors = open_descriptors();
                system_calls = {};
                system_calls.fail_at = at;
                system_calls.error = error;
                const bool relative = change.setup == Setup::relative_path;
                ASSERT_EQ(chdir(relative ? dir_.c_str() : folder), 0);
                errno = 0;
                const int result =
                    ini_puts(change.section, change.key, change.value, relative ? change.file : file.c_str());
                const int cause = errno;
                ASSERT_EQ(chdir(folder), 0);
                removexattr(dir_.c_str(), "system.posix_acl_default");
                const SystemCalls seen = system_calls;
                system_calls = {};
                ++runs;

                bool exists = false;
                const std::string text = read_file(file, &exists);
                const bool is_new = exists && text == change.after;
                const bool is_old = change.before ? exists && text == change.before : !exists;
                std::string wrong;
                if (!is_new && !is_old) wrong += " the file is neither old nor new;";
                if (result != (is_new ? 1 : 0)) wrong += " the call returned " + std::to_string(result) + ";";
                if (result == 0 && cause == 0) wrong += " errno is not set;";
                // Interrupted calls are made again, but for close, which
                // may not be (the descriptor is gone); past the last call
                // there was nothing to fail.
                const bool interrupted = error == EINTR && seen.failed_name != "close";
                if ((interrupted || seen.failed == 0) && !is_new) wrong += " the write did not happen;";
                char value[16];
                const ssize_t length = getxattr(file.c_str(), "user.note", value, sizeof value);
                if (change.before && exists && std::string(value, length > 0 ? std::size_t(length) : 0) != note)
                    wrong += " the extended attribute is lost;";
                struct stat status {};
                if (change.setup == Setup::other_owner && exists &&
                    (stat(file.c_str(), &status) != 0 || status.st_uid != other || status.st_gid != other))
                    wrong += " the owner is lost;";
                if (change.setup == Setup::folder_access_list && exists &&
                    getxattr(file.c_str(), "system.posix_acl_access", nullptr, 0) >= 0)
                    wrong += " the file took the folder's access list;";
                Names beside = exists ? Names{change.file} : Names{};
                bool stale_left = false;
                if (change.setup == Setup::stale_temporary_file && read_file(path("app.in~"), &stale_left) == stale &&
                    stale_left)
                    beside.push_back("app.in~");
                std::sort(beside.begin(), beside.end());
                if (list_dir(dir_) != beside) {
                    wrong += " a file is left beside it:";
                    for (const std::string &name : list_dir(dir_)) wrong += " " + name;
                }
                if (open_descriptors() != descriptors) wrong += " a descriptor leaked;";
                if (!wrong.empty())
                    ADD_FAILURE() << change.name << (error == EINTR ? ", interrupted" : ", failed") << " call " << at
                                  << " (" << seen.failed_name << "):" << wrong;
                if (seen.failed == 0) break;
            }
        }
    }
    std::printf("%d writes, each with one system call failed or interrupted\n", runs);
}

// ---- what some systems lack ---------------------------------------------------

// Where the system or the file system lacks a feature, a change does without
// it and still succeeds, wherever it starts, leaving nothing beside the
// file: without the kernel copy (old kernels, filters) it copies through its
// own block, at the first byte too, where nothing was copied before the
// refusal; without the rename that never replaces, a new file takes its
// name by a hard link, or where there are none by the plain rename; without
// byte-range locks of open files the writers take turns by flock and a
// change of the same length is rewritten, since readers cannot be kept out
// of a patch; without extended attributes there are none to keep.
TEST_F(Faults, ChangesSucceedWhereTheSystemLacksAFeature) {
    const Refusal no_kernel_copy = {"copy_file_range", ENOSYS};
    const Refusal no_noreplace_rename = {"renameat2", EINVAL};
    const Refusal no_hard_links = {"linkat", EPERM};
    const Refusal no_file_locks = {"fcntl", EINVAL};
    const Refusal no_attributes = {"flistxattr", ENOTSUP};
    const struct {
        const char *name;
        std::vector<Refusal> refused;
        const char *before;  // nullptr: no file yet
        const char *section, *key, *value;
        const char *after;
    } changes[] = {
        {"longer value on the first line",
         {no_kernel_copy},
         "k=1\r\n[s]\r\nj=2\r\n",
         nullptr,
         "k",
         "22",
         "k=22\r\n[s]\r\nj=2\r\n"},
        {"first line deleted", {no_kernel_copy}, "k=1\r\n[s]\r\nj=2\r\n", nullptr, "k", nullptr, "[s]\r\nj=2\r\n"},
        {"key added before the first header",
         {no_kernel_copy},
         "[s]\r\nj=2\r\n",
         nullptr,
         "n",
         "v",
         "n=v\r\n[s]\r\nj=2\r\n"},
        {"longer value on line 2", {no_kernel_copy}, "[s]\r\nk=1\r\nj=2\r\n", "s", "k", "22", "[s]\r\nk=22\r\nj=2\r\n"},
        {"line 2 deleted", {no_kernel_copy}, "[s]\r\nk=1\r\nj=2\r\n", "s", "k", nullptr, "[s]\r\nj=2\r\n"},
        {"creation without the rename that never replaces",
         {no_noreplace_rename},
         nullptr,
         "s",
         "k",
         "v",
         "[s]\r\nk=v\r\n"},
        {"creation without hard links either",
         {no_noreplace_rename, no_hard_links},
         nullptr,
         "s",
         "k",
         "v",
         "[s]\r\nk=v\r\n"},
        {"same length without file locks", {no_file_locks}, "[s]\r\nk=1\r\n", "s", "k", "2", "[s]\r\nk=2\r\n"},
        {"longer value without file locks", {no_file_locks}, "[s]\r\nk=1\r\n", "s", "k", "22", "[s]\r\nk=22\r\n"},
        {"longer value without extended attributes",
         {no_attributes},
         "[s]\r\nk=1\r\n",
         "s",
         "k",
         "22",
         "[s]\r\nk=22\r\n"},
    };
    const std::string file = path("app.ini");
    for (const auto &change : changes) {
        SCOPED_TRACE(change.name);
        std::remove(file.c_str());
        if (change.before) write_file(file, change.before);
        const ino_t inode = change.before ? stamp_of(file).inode : 0;
        system_calls = {};
        system_calls.refused = change.refused;
        errno = 0;
        EXPECT_EQ(ini_puts(change.section, change.key, change.value, file.c_str()), 1) << std::strerror(errno);
        EXPECT_GT(system_calls.failed, 0);  // the feature was asked for, and refused
        system_calls = {};
        EXPECT_EQ(read_file(file), change.after);
        EXPECT_EQ(list_dir(dir_), Names{"app.ini"});
        if (change.before) {
            EXPECT_NE(stamp_of(file).inode, inode) << "not replaced: every change here is a rewrite";
        }
    }
}

// ---- a dangling link made to lead elsewhere -------------------------------------

// app.ini links to t, which does not exist: the call creates t. Just before
// the file is created (or given its name), t appears as a link to a FIFO,
// with or without a reader at its other end. The FIFO stands for any file
// that is no regular file: it is never opened for writing (which would wait
// for a reader for ever, or write into it), and the call ends.
TEST_F(Faults, CreationThroughADanglingLinkNeverFollowsItAgain) {
    const struct {
        const char *name;
        const char *moment;  // the call before which t appears
        bool reader;
    } rows[] = {
        {"at the create, no reader", "open", false},
        {"at the create, a reader", "open", true},
        {"as it is given its name, no reader", "name", false},
        {"as it is given its name, a reader", "name", true},
    };
    const std::string link = path("app.ini");
    const std::string target = path("t");
    const std::string fifo = path("fifo");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(target.c_str());
        std::remove(link.c_str());
        std::remove(fifo.c_str());
        ASSERT_EQ(symlink("t", link.c_str()), 0);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
        const int reader = row.reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        if (row.reader) {
            ASSERT_GE(reader, 0);
        }
        // Once the link was read, at the next open (or openat), or as the
        // new file is given its name (renameat2, or linkat where there is
        // no such rename).
        bool link_read = false, planted = false;
        system_calls = {};
        system_calls.before = [&](const char *name) {
            if (std::strcmp(name, "readlinkat") == 0) link_read = true;
            const bool moment = std::strcmp(row.moment, "open") == 0
                                    ? std::strcmp(name, "open") == 0 || std::strcmp(name, "openat") == 0
                                    : std::strcmp(name, "renameat2") == 0 || std::strcmp(name, "linkat") == 0;
            if (link_read && moment && !planted) planted = symlink("fifo", target.c_str()) == 0;
        };
        // In a child that is stopped after a few seconds: a call that waits
        // on the FIFO shows as a child that did not exit by itself.
        const Outcome out = in_child(
            [] {
                alarm(5);
                return true;
            },
            [&] { return ini_puts("s", "k", "v", link.c_str()); });
        system_calls = {};
        EXPECT_TRUE(out.ran);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.error, EINVAL);  // what the call found at the end of the link now: no regular file
        struct stat status {};
        EXPECT_TRUE(lstat(target.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) << "t never appeared as a link";
        EXPECT_TRUE(lstat(fifo.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) << "the FIFO is gone";
        if (reader >= 0) {
            char byte = 0;
            EXPECT_LE(read(reader, &byte, 1), 0) << "the FIFO was written";
            close(reader);
        }
        EXPECT_EQ(list_dir(dir_), (Names{"app.ini", "fifo", "t"}));
    }
}

// ---- access never wider, not even for a moment ------------------------------------

// The old file's own access list gives its owning group nothing (the
// mode's group bits show the mask, rw); or the old file has none, but the
// folder now has a default list that a new file in it inherits, granting
// the user nobody rw. Before every system call of the rewrite, the
// temporary file, once there, grants the group and others nothing: either
// its mode does, or it already holds the old file's list. After it, the
// file has the old mode and the old list, or none where the old had none.
TEST_F(Faults, NewFileIsNeverMoreOpenThanTheOldOne) {
    const std::string file = path("app.ini");
    const std::string temp = path("app.in~");
    // Owner rw, owning group nothing, user nobody rw, mask rw, others nothing.
    const std::string list = brantcfg_test::access_list({{0x01, 6}, {0x02, 6, 65534}, {0x04, 0}, {0x10, 6}, {0x20, 0}});
    const struct {
        const char *name;
        std::string file_list, folder_default;
        mode_t mode;  // as stat shows it with the file's list
    } rows[] = {
        {"the file's own list", list, "", 0660},
        {"a list the folder gives new files", "", list, 0600},
        {"the file's own list, the folder another", list,
         brantcfg_test::access_list({{0x01, 6}, {0x04, 6}, {0x10, 6}, {0x20, 4}}), 0660},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        removexattr(dir_.c_str(), "system.posix_acl_default");
        std::remove(file.c_str());
        write_file(file, "[s]\r\nk=1\r\n");
        ASSERT_EQ(chmod(file.c_str(), 0600), 0);
        if (!row.file_list.empty() &&
            setxattr(file.c_str(), "system.posix_acl_access", row.file_list.data(), row.file_list.size(), 0) != 0)
            GTEST_SKIP() << "no access lists on this file system: " << std::strerror(errno);
        if (!row.folder_default.empty() && setxattr(dir_.c_str(), "system.posix_acl_default", row.folder_default.data(),
                                                    row.folder_default.size(), 0) != 0)
            GTEST_SKIP() << "no default access lists on this file system: " << std::strerror(errno);
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        ASSERT_EQ(status.st_mode & 07777, row.mode);

        int looked = 0;
        std::vector<std::string> wider;
        system_calls.before = [&](const char *name) {
            struct stat now {};
            if (lstat(temp.c_str(), &now) != 0) return;
            ++looked;
            char value[256];
            const ssize_t length = getxattr(temp.c_str(), "system.posix_acl_access", value, sizeof value);
            const std::string held = length > 0 ? std::string(value, static_cast<std::size_t>(length)) : "";
            // With a list, the mode's group bits are its mask: 0 there
            // leaves every entry but the owner's without effect.
            const bool as_old = !row.file_list.empty() && held == row.file_list;
            if (!as_old && (now.st_mode & 0077) != 0)
                wider.push_back(std::string("before ") + name + ": mode " + std::to_string(now.st_mode & 07777) +
                                (length > 0 ? ", another list" : ", no list"));
        };
        EXPECT_EQ(ini_puts("s", "k", "22", file.c_str()), 1);
        system_calls = {};
        EXPECT_GT(looked, 0);
        EXPECT_EQ(wider, std::vector<std::string>{});
        EXPECT_EQ(read_file(file), "[s]\r\nk=22\r\n");
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, row.mode);
        char value[256];
        const ssize_t length = getxattr(file.c_str(), "system.posix_acl_access", value, sizeof value);
        EXPECT_EQ(std::string(value, length > 0 ? static_cast<std::size_t>(length) : 0), row.file_list);
    }
}

// ---- the temporary name on the caller's own path ----------------------------------

// x.in~ is a link to x.ini: a call through it names x.ini, whose temporary
// name is the very link. A rewrite is refused (EEXIST) rather than remove
// the link; a patch, which needs no temporary file, still goes ahead.
TEST_F(Faults, TemporaryNameOnTheCallersLinkIsRefusedNotRemoved) {
    const std::string file = path("x.ini");
    const std::string input = "[S]\r\nK=1\r\n";
    ASSERT_EQ(symlink("x.ini", path("x.in~").c_str()), 0);
    ASSERT_EQ(symlink("x.in~", path("y.ini").c_str()), 0);
    const Names all = {"x.ini", "x.in~", "y.ini"};
    for (const char *via : {"x.in~", "y.ini"}) {
        const std::string link = path(via);
        for (const Call &c : std::vector<Call>{{"longer value", "S", "K", "22"},
                                               {"new section", "T", "K", "v"},
                                               {"key deletion", "S", "K", nullptr}}) {
            SCOPED_TRACE(std::string(c.name) + " through " + via);
            write_file(file, input);
            errno = 0;
            EXPECT_EQ(ini_puts(c.section, c.key, c.value, link.c_str()), 0);
            EXPECT_EQ(errno, EEXIST);
            EXPECT_EQ(read_file(file), input);
            EXPECT_EQ(list_dir(dir_), all);
        }
        SCOPED_TRACE(std::string("same length through ") + via);
        EXPECT_EQ(ini_puts("S", "K", "3", link.c_str()), 1);
        EXPECT_EQ(read_file(file), "[S]\r\nK=3\r\n");
        EXPECT_EQ(list_dir(dir_), all);
    }
    char target[16] = {};
    EXPECT_EQ(readlink(path("x.in~").c_str(), target, sizeof target - 1), 5);
    EXPECT_STREQ(target, "x.ini");
}

}  // namespace
