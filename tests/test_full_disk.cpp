// Setters on a disk that is really full. As root, each test mounts a small
// tmpfs of its own (in a private mount namespace, so nothing outside the
// test sees it), fills it with a filler file and frees just so much space
// that a write runs out of it part way. Where mounting is not allowed, a
// child process with a low RLIMIT_FSIZE makes the same writes fail with
// EFBIG. Every failed call must return 0 with errno set, leave the file
// byte for byte as it was (or missing, when it was missing) and leave no
// temporary file; once there is room again the same call succeeds.
#include "support.h"

#include "brantcfg.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace brantcfg_test {
namespace {

// Room on the small file system, and its allocation unit.
constexpr const char *TMPFS_OPTIONS = "size=256k,mode=0700";
constexpr long PAGE = 4096;
constexpr rlim_t NO_LIMIT = RLIM_INFINITY;

// Runs call in a child process, under a file-size limit when one is given.
Outcome run_limited(rlim_t file_size_limit_bytes, const std::function<int()> &call) {
    if (file_size_limit_bytes == NO_LIMIT) return in_child([] { return true; }, call);
    return in_child(file_size_limit(file_size_limit_bytes), call);
}

// Bytes of before that after does not hold at the same place, plus any
// difference in length: what a failed write lost.
long bytes_lost(const std::string &before, const std::string &after) {
    long lost = before.size() > after.size() ? static_cast<long>(before.size() - after.size())
                                             : static_cast<long>(after.size() - before.size());
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) lost += before[i] != after[i];
    return lost;
}

struct Setter {
    const char *what;
    std::function<int(const char *)> call;
};

// A file of about 40 KiB, so that a rewrite's temporary file needs ten
// pages and can run out of room after any of them.
std::string large_file() {
    std::string text = "top=1\r\n";
    for (int s = 0; text.size() < 40 * 1024; ++s) {
        text += "[Section" + std::to_string(s) + "]\r\n";
        for (int k = 0; k < 20; ++k)
            text += "key" + std::to_string(k) + " = value " + std::to_string(s * 20 + k) + "\r\n";
    }
    return text + "[S]\r\nK=1\r\nF=1.000000\r\n";
}

// Every setter on the rewrite path: values of another length, deletions.
std::vector<Setter> rewrite_setters() {
    return {
        {"ini_puts longer value", [](const char *p) { return ini_puts("S", "K", "a longer value", p); }},
        {"ini_puts new section", [](const char *p) { return ini_puts("New", "K", "v", p); }},
        {"ini_puts nameless", [](const char *p) { return ini_puts(nullptr, "top", "22", p); }},
        {"ini_putl", [](const char *p) { return ini_putl("S", "K", -2147483647 - 1, p); }},
        {"ini_putf", [](const char *p) { return ini_putf("S", "K", 2.5f, p); }},
        {"delete key", [](const char *p) { return ini_puts("Section1", "key3", nullptr, p); }},
        {"delete section", [](const char *p) { return ini_putl("Section2", nullptr, 0, p); }},
    };
}

std::vector<Setter> creation_setters() {
    return {
        {"ini_puts", [](const char *p) { return ini_puts("S", "K", "v", p); }},
        {"ini_puts nameless", [](const char *p) { return ini_puts("", "K", "v", p); }},
        {"ini_putl", [](const char *p) { return ini_putl("S", "K", 7, p); }},
        {"ini_putf", [](const char *p) { return ini_putf("S", "K", 0.5f, p); }},
    };
}

// Same-length values: written over the old line in place.
std::vector<Setter> patch_setters() {
    return {
        {"ini_puts", [](const char *p) { return ini_puts("S", "K", "2", p); }},
        {"ini_putl", [](const char *p) { return ini_putl("S", "K", 3, p); }},
        {"ini_putf", [](const char *p) { return ini_putf("S", "F", 4.0f, p); }},
    };
}

class FullDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string pattern =
            std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/brantcfg-full-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        // A private mount namespace: the tmpfs is this process's alone and
        // goes away with it.
        mounted_ = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                   mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("tmpfs", dir_.c_str(), "tmpfs", 0, TMPFS_OPTIONS) == 0;
        std::printf("%s\n", mounted_ ? "a 256 KiB tmpfs, filled for real"
                                     : "cannot mount here: RLIMIT_FSIZE in a child process instead");
    }
    static void TearDownTestSuite() {
        if (mounted_) umount(dir_.c_str());
        rmdir(dir_.c_str());
        std::printf("%ld faults injected, %ld bytes lost\n", faults_, lost_);
    }
    void TearDown() override {
        for (const auto &name : list_dir(dir_)) unlink((dir_ + "/" + name).c_str());
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Fills the file system, then frees room bytes (whole pages) of it.
    void fill_leaving(long room) {
        const int fd = open(path("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const std::string chunk(PAGE, 'f');
        long size = 0;
        for (ssize_t n; (n = write(fd, chunk.data(), chunk.size())) > 0;) size += n;
        ASSERT_EQ(errno, ENOSPC);
        ASSERT_EQ(ftruncate(fd, size > room ? size - room : 0), 0);
        close(fd);
    }
    void unfill() { unlink(path("filler").c_str()); }

    // Runs a setter that must fail: under a full disk as it is, or under
    // the file-size limit. Checks the outcome and counts the fault.
    void expect_fault(const Setter &setter, const std::string &file, rlim_t limit, const std::string &where) {
        bool existed = false;
        const std::string before = read_file(file, &existed);
        const std::vector<std::string> entries = list_dir(dir_);
        const Outcome outcome = run_limited(limit, [&] { return setter.call(file.c_str()); });
        bool exists = false;
        const std::string after = read_file(file, &exists);
        const long lost = bytes_lost(before, after);
        ++faults_;
        lost_ += lost;
        const int expected_error = limit == NO_LIMIT ? ENOSPC : EFBIG;
        EXPECT_TRUE(outcome.ran) << setter.what << " " << where;
        EXPECT_EQ(outcome.result, 0) << setter.what << " " << where;
        EXPECT_EQ(outcome.error, expected_error) << setter.what << " " << where;
        EXPECT_EQ(exists, existed) << setter.what << " " << where;
        EXPECT_EQ(lost, 0) << setter.what << " " << where;
        EXPECT_EQ(list_dir(dir_), entries) << setter.what << " " << where << ": a temporary file was left";
    }

    static std::string dir_;
    static bool mounted_;
    static long faults_, lost_;
};

std::string FullDisk::dir_;
bool FullDisk::mounted_ = false;
long FullDisk::faults_ = 0;
long FullDisk::lost_ = 0;

TEST_F(FullDisk, RewriteThatRunsOutOfRoomKeepsTheFile) {
    const std::string file = path("large.ini");
    const std::string original = large_file();
    for (const Setter &setter : rewrite_setters()) {
        // With room the call succeeds and leaves nothing beside the file;
        // its result tells how much room the temporary file needs.
        write_file(file, original);
        ASSERT_EQ(setter.call(file.c_str()), 1) << setter.what;
        const std::string rewritten = read_file(file);
        ASSERT_NE(rewritten, original) << setter.what;
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"large.ini"}) << setter.what;
        // Without it, the temporary file runs out after each of its pages.
        for (long room = 0; room < static_cast<long>(rewritten.size()); room += PAGE) {
            write_file(file, original);
            if (mounted_) {
                fill_leaving(room);
                expect_fault(setter, file, NO_LIMIT, "with " + std::to_string(room) + " bytes free");
                unfill();
            } else {
                expect_fault(setter, file, static_cast<rlim_t>(room), "limited to " + std::to_string(room) + " bytes");
            }
        }
    }
}

TEST_F(FullDisk, CreationWithoutRoomCreatesNothing) {
    const std::string file = path("new.ini");
    for (const Setter &setter : creation_setters()) {
        if (mounted_) {
            fill_leaving(0);
            expect_fault(setter, file, NO_LIMIT, "on a full disk");
            unfill();
        } else {
            expect_fault(setter, file, 0, "limited to 0 bytes");
        }
        EXPECT_EQ(setter.call(file.c_str()), 1) << setter.what;
        EXPECT_FALSE(read_file(file).empty()) << setter.what;
        unlink(file.c_str());
    }
}

TEST_F(FullDisk, PatchInPlaceNeedsNoRoomAndFailsPastTheSizeLimit) {
    const std::string file = path("patch.ini");
    const std::string original = large_file();
    const long line_offset = static_cast<long>(original.find("K=1"));
    for (const Setter &setter : patch_setters()) {
        // A same-length value overwrites bytes the file already has, so a
        // full disk does not stop it.
        if (mounted_) {
            write_file(file, original);
            fill_leaving(0);
            const Outcome outcome = run_limited(NO_LIMIT, [&] { return setter.call(file.c_str()); });
            unfill();
            EXPECT_EQ(outcome.result, 1) << setter.what << " on a full disk";
            const std::string patched = read_file(file);
            EXPECT_EQ(patched.size(), original.size()) << setter.what;
            EXPECT_EQ(bytes_lost(original, patched), 1) << setter.what << ": exactly one byte changes";
        }
        // A write beyond the file-size limit fails however much room there
        // is; the limit falls inside the line to patch.
        write_file(file, original);
        expect_fault(setter, file, static_cast<rlim_t>(line_offset), "limited to the line's offset");
    }
}

}  // namespace
}  // namespace brantcfg_test
