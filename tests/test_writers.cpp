// Writers among other writers and hostile paths: setters racing each other
// from threads and processes while readers read, a file swapped for another
// between the search and the write, special files at the path, and what a
// rewrite keeps of the file it replaces. The races are made to happen at
// the right moment through the update's test hook.
#include "brantcfg.h"
#include "hooks.h"
#include "update.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using brantcfg_test::FileStamp;
using brantcfg_test::list_dir;
using brantcfg_test::read_file;
using brantcfg_test::stamp_of;
using brantcfg_test::write_file;
using Names = std::vector<std::string>;

// What the update hook does when the update reaches a point, once.
std::function<void()> on_searched;
std::function<void()> before_replace;

}  // namespace

extern "C" void brantcfg_update_point(int point) {
    std::function<void()> *action = nullptr;
    if (point == static_cast<int>(brantcfg::detail::update_point::searched)) action = &on_searched;
    if (point == static_cast<int>(brantcfg::detail::update_point::before_replace)) action = &before_replace;
    if (action && *action) {
        const std::function<void()> run = *action;
        *action = nullptr;
        run();
    }
}

namespace {

class Writers : public brantcfg_test::ScratchDir {
protected:
    void TearDown() override {
        on_searched = nullptr;
        before_replace = nullptr;
        ScratchDir::TearDown();
    }
};

// ---- races at the right moment ------------------------------------------------

TEST_F(Writers, PatchNeverLandsInAFileSwappedInAfterTheSearch) {
    const std::string file = path("app.ini");
    const std::string newcomer = path("new.ini");
    write_file(file, "[s]\r\nk=1\r\n");
    write_file(newcomer, "[s]\r\nname=precious\r\n");
    on_searched = [&] { ASSERT_EQ(std::rename(newcomer.c_str(), file.c_str()), 0); };
    // k=2 is as long as k=1: a patch, had the file not changed.
    EXPECT_EQ(ini_puts("s", "k", "2", file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[s]\r\nname=precious\r\nk=2\r\n");
    EXPECT_EQ(list_dir(dir_), Names{"app.ini"});
}

TEST_F(Writers, ChangeByAnotherWriterBetweenSearchAndLockIsKept) {
    const std::string file = path("app.ini");
    const struct {
        const char *name;
        const char *value;  // what this call sets k to
        const char *other;  // what the other writer sets meanwhile; nullptr: it removes the file
        const char *expected;
    } rows[] = {
        {"both rewrite", "22", "33", "[s]\r\nk=22\r\nj=33\r\n"},
        {"this patches, the other rewrites", "2", "33", "[s]\r\nk=2\r\nj=33\r\n"},
        {"this rewrites, the other patches", "22", "3", "[s]\r\nk=22\r\nj=3\r\n"},
        {"both patch", "2", "3", "[s]\r\nk=2\r\nj=3\r\n"},
        // The call then creates the file afresh, as it would have had it
        // found none.
        {"this rewrites, the other removes the file", "22", nullptr, "[s]\r\nk=22\r\n"},
        {"this patches, the other removes the file", "2", nullptr, "[s]\r\nk=2\r\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        write_file(file, "[s]\r\nk=1\r\nj=1\r\n");
        on_searched = [&] {
            if (row.other) {
                EXPECT_EQ(ini_puts("s", "j", row.other, file.c_str()), 1);
            } else {
                EXPECT_EQ(std::remove(file.c_str()), 0);
            }
        };
        EXPECT_EQ(ini_puts("s", "k", row.value, file.c_str()), 1);
        EXPECT_EQ(read_file(file), row.expected);
    }
}

TEST_F(Writers, RewriteNeverLandsInTheFileALinkIsSwappedTo) {
    const std::string file = path("app.ini");
    const std::string victim = path("victim.ini");
    const std::string moved = path("moved.ini");
    const std::string secret = "[v]\r\nsecret=1\r\n";
    write_file(file, "[s]\r\nk=1\r\n");
    write_file(victim, secret);
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    before_replace = [&] {
        ASSERT_EQ(std::rename(file.c_str(), moved.c_str()), 0);
        ASSERT_EQ(symlink(victim.c_str(), file.c_str()), 0);
    };
    errno = 0;
    EXPECT_EQ(ini_puts("s", "k", "22", file.c_str()), 0);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(read_file(victim), secret);
    EXPECT_EQ(read_file(moved), "[s]\r\nk=1\r\n");
    EXPECT_EQ(list_dir(dir_), (Names{"app.ini", "moved.ini", "victim.ini"}));
}

TEST_F(Writers, NewFileNeverReplacesOneCreatedMeanwhile) {
    const std::string file = path("app.ini");
    // The other file appears once this call has found none and written its
    // own: it is kept, and the call sets its key in it.
    before_replace = [&] { write_file(file, "[s]\r\nj=1\r\n"); };
    EXPECT_EQ(ini_puts("s", "k", "v", file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[s]\r\nj=1\r\nk=v\r\n");
    EXPECT_EQ(list_dir(dir_), Names{"app.ini"});
}

// The temporary file is renamed, or linked for a new file, only while its
// name still names the file this call wrote: another program's file put
// under that name just before is neither put in the file's place nor
// removed.
TEST_F(Writers, OnlyTheTemporaryFileThisCallWroteTakesThePlace) {
    const std::string file = path("app.ini");
    const std::string temp = path("app.in~");
    const std::string other = "[x]\r\nhalf-writ";
    const struct {
        const char *name;
        const char *before;  // nullptr: no file yet
        const char *key, *value;
    } rows[] = {
        {"longer value", "[s]\r\nk=1\r\n", "k", "22"},
        {"key deletion", "[s]\r\nk=1\r\nj=2\r\n", "k", nullptr},
        {"creation", nullptr, "k", "v"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(temp.c_str());
        std::remove(file.c_str());
        if (row.before) write_file(file, row.before);
        before_replace = [&] {
            write_file(path("other"), other);
            ASSERT_EQ(std::rename(path("other").c_str(), temp.c_str()), 0);
        };
        errno = 0;
        EXPECT_EQ(ini_puts("s", row.key, row.value, file.c_str()), 0);
        EXPECT_EQ(errno, EAGAIN);
        bool exists = false;
        EXPECT_EQ(read_file(file, &exists), row.before ? row.before : "");
        EXPECT_EQ(exists, row.before != nullptr);
        EXPECT_EQ(read_file(temp), other);
        EXPECT_EQ(list_dir(dir_), (row.before ? Names{"app.ini", "app.in~"} : Names{"app.in~"}));
    }
}

// ---- many writers and readers at once ------------------------------------------

// The file the stress test works on: the writers' section first, a large
// filler that makes every rewrite take a while, and a tail that tells a
// whole file from an incomplete one.
constexpr int PROCESSES = 4;
constexpr int THREADS = 2;
constexpr int CALLS = 12;
constexpr int READERS = 2;
const char *const HEAD = "[w]\r\n";
const char *const TAIL = "[tail]\r\nend=1\r\n";

std::string stress_file() {
    std::string text = HEAD;
    for (int p = 0; p < PROCESSES; ++p) text += "patch" + std::to_string(p) + "=aaaa\r\n";
    text += "[filler]\r\n";
    while (text.size() < 256 * 1024) text += "key" + std::to_string(text.size()) + "=some filler value\r\n";
    return text + TAIL;
}

// The value a writer sets at its call: a different length each time, so
// every call rewrites the file.
std::string value_at(int call) { return std::string(static_cast<std::size_t>(1 + call % 7), 'a' + call % 26); }

// Runs body in a child process and returns its exit status.
pid_t start_child(const std::function<int()> &body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int exit_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 255;
    return WEXITSTATUS(status);
}

TEST_F(Writers, ConcurrentSettersLoseNothingAndReadersSeeWholeFiles) {
    const std::string file = path("shared.ini");
    const std::string whole = stress_file();
    write_file(file, whole);

    // Readers: every read is a whole file, and no patched line is torn.
    // The exit status counts the reads that were not.
    const std::string stop = path("stop");
    std::vector<pid_t> readers;
    for (int r = 0; r < READERS; ++r) {
        readers.push_back(start_child([&] {
            int bad = 0, reads = 0;
            while (!brantcfg_test::file_exists(stop) || reads < 5) {
                bool exists = false;
                const std::string text = read_file(file, &exists);
                ++reads;
                const bool complete = exists && text.compare(0, std::strlen(HEAD), HEAD) == 0 &&
                                      text.size() > std::strlen(TAIL) &&
                                      text.compare(text.size() - std::strlen(TAIL), std::string::npos, TAIL) == 0;
                bool torn = false;
                for (std::size_t at = text.find("\npatch"); at != std::string::npos;
                     at = text.find("\npatch", at + 1)) {
                    const std::size_t equals = text.find('=', at);
                    const std::string value = text.substr(equals + 1, 4);
                    torn = torn || (value != "aaaa" && value != "bbbb");
                }
                if (!complete || torn) ++bad;
            }
            return bad > 254 ? 254 : bad;
        }));
    }

    // Writers: each thread of each process sets a key of its own to a new
    // value at every call, and deletes a second key of its own every third
    // call; thread 0 also flips its process's patch line between two values
    // of one length. The exit status counts the calls that failed.
    std::vector<pid_t> writers;
    for (int p = 0; p < PROCESSES; ++p) {
        writers.push_back(start_child([&, p] {
            std::vector<int> failures(THREADS, 0);
            std::vector<std::thread> threads;
            for (int t = 0; t < THREADS; ++t) {
                threads.emplace_back([&, t] {
                    const std::string key = "k" + std::to_string(p) + "_" + std::to_string(t);
                    const std::string gone = "d" + std::to_string(p) + "_" + std::to_string(t);
                    for (int call = 0; call < CALLS; ++call) {
                        failures[t] += ini_puts("w", key.c_str(), value_at(call).c_str(), file.c_str()) != 1;
                        if (call % 3 == 0) failures[t] += ini_puts("w", gone.c_str(), "x", file.c_str()) != 1;
                        if (call % 3 == 2) failures[t] += ini_puts("w", gone.c_str(), nullptr, file.c_str()) != 1;
                        if (t == 0) {
                            const std::string patch = "patch" + std::to_string(p);
                            failures[t] += ini_puts("w", patch.c_str(), call % 2 ? "aaaa" : "bbbb", file.c_str()) != 1;
                        }
                    }
                });
            }
            int failed = 0;
            for (int t = 0; t < THREADS; ++t) {
                threads[t].join();
                failed += failures[t];
            }
            return failed;
        }));
    }

    int failed_calls = 0;
    for (const pid_t pid : writers) failed_calls += exit_status(pid);
    write_file(stop, "");
    int bad_reads = 0;
    for (const pid_t pid : readers) bad_reads += exit_status(pid);

    EXPECT_EQ(failed_calls, 0);
    EXPECT_EQ(bad_reads, 0);
    // No change that returned 1 is lost: every key holds its last value.
    char value[64];
    for (int p = 0; p < PROCESSES; ++p) {
        for (int t = 0; t < THREADS; ++t) {
            const std::string key = "k" + std::to_string(p) + "_" + std::to_string(t);
            const std::string gone = "d" + std::to_string(p) + "_" + std::to_string(t);
            ini_gets("w", key.c_str(), "", value, sizeof value, file.c_str());
            EXPECT_EQ(std::string(value), value_at(CALLS - 1)) << key;
            EXPECT_EQ(ini_gets("w", gone.c_str(), "absent", value, sizeof value, file.c_str()), 6) << gone;
        }
        const std::string patch = "patch" + std::to_string(p);
        ini_gets("w", patch.c_str(), "", value, sizeof value, file.c_str());
        EXPECT_STREQ(value, (CALLS - 1) % 2 ? "aaaa" : "bbbb") << patch;
    }
    const std::string after = read_file(file);
    EXPECT_EQ(after.substr(after.find("[filler]")), whole.substr(whole.find("[filler]")));
    EXPECT_EQ(list_dir(dir_), (Names{"shared.ini", "stop"}));
}

// ---- readers never see a line half patched -------------------------------------

// The bytes a reader holds a shared lock of while it reads the file, and
// the one byte past them writers lock.
constexpr off_t READERS_RANGE = off_t{1} << 62;

// Takes a lock of length bytes from start on fd without waiting.
bool lock_range(int fd, short type, off_t start, off_t length) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = length;
    return fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// Opens path read-only and takes a shared lock of length bytes from start,
// held until the descriptor is closed; -1 when either fails.
int hold_read_lock(const std::string &path, off_t start, off_t length) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && lock_range(fd, F_RDLCK, start, length)) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// A line of the same length is written in place only where it lies within
// one 512-byte block (which a disk writes whole) and no reader holds the
// file; otherwise the file is rewritten, which no reader sees half done.
TEST_F(Writers, SameLengthChangeIsPatchedOnlyWhereNoReaderSeesItTorn) {
    enum class reader { none, lock, browse };
    const struct {
        const char *name;
        std::size_t line_at;  // where the 20-byte key line starts
        reader held;
        bool in_place;
    } rows[] = {
        {"within a block", 100, reader::none, true},
        {"ending at a block's end", 492, reader::none, true},
        {"starting at a block's start", 512, reader::none, true},
        {"across a block boundary", 500, reader::none, false},
        {"across a page boundary", 4090, reader::none, false},
        {"within a block, a reader holds the file", 100, reader::lock, false},
        {"within a block, ini_browse is reading the file", 100, reader::browse, false},
    };
    const std::string file = path("app.ini");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string head = "[s]\r\n;" + std::string(row.line_at - 5 - 3, 'x') + "\r\n";
        ASSERT_EQ(head.size(), row.line_at);
        const std::string old_value(16, 'a'), new_value(16, 'b');
        write_file(file, head + "k=" + old_value + "\r\nj=1\r\n");
        const FileStamp before = stamp_of(file);
        int result = -1;
        if (row.held == reader::browse) {
            // The change is made while ini_browse has the file open.
            struct change {
                const std::string *file, *value;
                int result;
            } during{&file, &new_value, -1};
            EXPECT_EQ(ini_browse(
                          [](const char *, const char *, const char *, void *data) {
                              auto *c = static_cast<change *>(data);
                              if (c->result < 0) c->result = ini_puts("s", "k", c->value->c_str(), c->file->c_str());
                              return 0;
                          },
                          &during, file.c_str()),
                      1);
            result = during.result;
        } else {
            const int held = row.held == reader::lock ? hold_read_lock(file, 0, READERS_RANGE) : -1;
            if (row.held == reader::lock) {
                ASSERT_GE(held, 0);
            }
            result = ini_puts("s", "k", new_value.c_str(), file.c_str());
            if (held >= 0) close(held);
        }
        EXPECT_EQ(result, 1);
        EXPECT_EQ(read_file(file), head + "k=" + new_value + "\r\nj=1\r\n");
        EXPECT_EQ(stamp_of(file).identity == before.identity, row.in_place);
        EXPECT_EQ(list_dir(dir_), Names{"app.ini"});
    }
}

// ---- special files ----------------------------------------------------------------

// Runs call in a child that is stopped after a few seconds: a call that
// blocks or never ends shows as a child that did not exit by itself.
brantcfg_test::Outcome within_seconds(const std::function<int()> &call) {
    return brantcfg_test::in_child(
        [] {
            alarm(5);
            return true;
        },
        call);
}

TEST_F(Writers, SpecialFilesAreNeitherReadNorReplaced) {
    const std::string fifo = path("fifo.ini");
    const std::string device = path("null.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const bool have_device = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    std::vector<std::string> paths = {fifo, "/dev/zero"};
    if (have_device) paths.push_back(device);
    for (const std::string &special : paths) {
        SCOPED_TRACE(special);
        const brantcfg_test::Outcome read = within_seconds([&] {
            char buffer[16];
            return ini_gets("s", "k", "dflt", buffer, sizeof buffer, special.c_str());
        });
        EXPECT_TRUE(read.ran);
        EXPECT_EQ(read.result, 4);  // the default: no file to read
        const brantcfg_test::Outcome browse = within_seconds([&] {
            return ini_browse([](const char *, const char *, const char *, void *) { return 1; }, nullptr,
                              special.c_str());
        });
        EXPECT_EQ(browse.result, 0);
        if (special == "/dev/zero") continue;
        const brantcfg_test::Outcome set = within_seconds([&] { return ini_puts("s", "k", "v", special.c_str()); });
        EXPECT_EQ(set.result, 0);
        EXPECT_EQ(set.error, EINVAL);
        const brantcfg_test::Outcome removal =
            within_seconds([&] { return ini_puts("s", nullptr, nullptr, special.c_str()); });
        EXPECT_EQ(removal.result, 0);
        struct stat status {};
        ASSERT_EQ(lstat(special.c_str(), &status), 0);
        EXPECT_TRUE(special == fifo ? S_ISFIFO(status.st_mode) : S_ISCHR(status.st_mode));
    }
    EXPECT_EQ(list_dir(dir_).size(), have_device ? 2u : 1u);
}

// Locks that anything which can read the file or its directory may take, a
// writer's own locks, and what each does to a writer: locks no writer of
// this library takes never stall one without end. The writer runs in a
// child stopped after a few seconds, so a writer that waits for ever shows.
TEST_F(Writers, LocksOfReadersNeverStallAWriterWithoutEnd) {
    const std::string file = path("app.ini");
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const auto flock_directory = [this](int operation) {
        return [this, operation] {
            const int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
            return fd >= 0 && flock(fd, operation) == 0;
        };
    };
    const auto read_lock = [&file](off_t start, off_t length) {
        return [&file, start, length] { return hold_read_lock(file, start, length) >= 0; };
    };
    const auto record_lock = [&file] {
        const int fd = open(file.c_str(), O_RDWR);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        return fd >= 0 && fcntl(fd, F_SETLK, &whole) == 0;
    };
    const struct {
        const char *name;
        bool by_caller;  // taken by the writer's own process, else by nobody
        std::function<bool()> take;
        const char *value;
        int result, error;
    } rows[] = {
        {"nobody holds flock -x on the directory", false, flock_directory(LOCK_EX), "22", 1, 0},
        {"nobody holds flock -s on the directory", false, flock_directory(LOCK_SH), "22", 1, 0},
        {"a reader holds the file, longer value", false, read_lock(0, READERS_RANGE), "22", 1, 0},
        {"a reader holds the file, same length", false, read_lock(0, READERS_RANGE), "2", 1, 0},
        {"the caller holds flock -x on the directory", true, flock_directory(LOCK_EX), "22", 1, 0},
        // Only a writer should lock there: a read lock is waited for a while,
        // then the writer gives up.
        {"nobody holds a read lock of the writers' byte", false, read_lock(READERS_RANGE, 1), "22", 0, EBUSY},
        // Waiting for its own lock would wait for ever: the caller keeps
        // other writers out with it, and its write goes ahead.
        {"the caller holds a record lock of the whole file", true, record_lock, "22", 1, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string input = "[s]\r\nk=1\r\n";
        write_file(file, input);
        ASSERT_EQ(chmod(file.c_str(), 0644), 0);
        pid_t holder = -1;
        if (!row.by_caller) {
            // nobody takes the lock, says so, and holds it until stopped.
            int ready[2];
            ASSERT_EQ(pipe(ready), 0);
            holder = start_child([&] {
                const char taken = brantcfg_test::drop_privileges() && row.take() ? 1 : 0;
                static_cast<void>(write(ready[1], &taken, 1));
                pause();
                return 0;
            });
            close(ready[1]);
            char taken = 0;
            EXPECT_EQ(read(ready[0], &taken, 1), 1);
            close(ready[0]);
            ASSERT_EQ(taken, 1) << "the lock could not be taken";
        }
        const brantcfg_test::Outcome out = within_seconds([&] {
            if (row.by_caller && !row.take()) return -2;
            return ini_puts("s", "k", row.value, file.c_str());
        });
        if (holder > 0) {
            kill(holder, SIGKILL);
            exit_status(holder);
        }
        EXPECT_TRUE(out.ran);
        EXPECT_EQ(out.result, row.result);
        if (row.result == 0) {
            EXPECT_EQ(out.error, row.error);
        }
        EXPECT_EQ(read_file(file), row.result == 1 ? "[s]\r\nk=" + std::string(row.value) + "\r\n" : input);
        EXPECT_EQ(list_dir(dir_), Names{"app.ini"});
    }
}

// ---- what a rewrite keeps -------------------------------------------------------

TEST_F(Writers, RewriteKeepsOwnerGroupAndEveryModeBit) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file another owner";
    const std::string file = path("app.ini");
    for (const mode_t mode : {mode_t{04644}, mode_t{02664}, mode_t{06750}, mode_t{01640}}) {
        SCOPED_TRACE(mode);
        write_file(file, "[s]\r\nk=1\r\n");
        ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        const FileStamp before = stamp_of(file);
        EXPECT_EQ(ini_puts("s", "k", "longer", file.c_str()), 1);
        EXPECT_NE(stamp_of(file).identity, before.identity);  // really rewritten
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, mode);
        EXPECT_EQ(status.st_uid, 65534u);
        EXPECT_EQ(status.st_gid, 65534u);
    }
}

// A member of the file's group may write it, but cannot give a new file its
// owner: a change that needs a rewrite is refused rather than hand the file
// to the member; a patch, which keeps the file, still goes ahead.
TEST_F(Writers, GroupMemberNeverTakesTheFileOver) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to set owners and groups";
    constexpr uid_t OWNER = 1;  // daemon
    constexpr gid_t GROUP = 4040;
    const std::string shared = path("shared");
    const std::string file = shared + "/app.ini";
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(shared.c_str(), 0770), 0);
    ASSERT_EQ(chown(shared.c_str(), 0, GROUP), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0770), 0);
    const std::string input = "[s]\r\nk=1\r\n";
    const struct {
        const char *name;
        const char *section, *key, *value;
        const char *after;  // nullptr: refused
    } rows[] = {
        {"longer value", "s", "k", "22", nullptr},
        {"new section", "t", "k", "v", nullptr},
        {"key deletion", "s", "k", nullptr, nullptr},
        {"same length", "s", "k", "2", "[s]\r\nk=2\r\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        write_file(file, input);
        ASSERT_EQ(chown(file.c_str(), OWNER, GROUP), 0);
        ASSERT_EQ(chmod(file.c_str(), 0660), 0);
        const FileStamp before = stamp_of(file);
        const brantcfg_test::Outcome out =
            brantcfg_test::in_child([] { return brantcfg_test::drop_privileges({GROUP}); },
                                    [&] { return ini_puts(row.section, row.key, row.value, file.c_str()); });
        ASSERT_TRUE(out.ran) << "cannot become a member of the group";
        EXPECT_EQ(out.result, row.after ? 1 : 0);
        if (!row.after) {
            EXPECT_EQ(out.error, EPERM);
        }
        EXPECT_EQ(read_file(file), row.after ? row.after : input);
        EXPECT_EQ(stamp_of(file).identity, before.identity);
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, OWNER);
        EXPECT_EQ(status.st_gid, GROUP);
        EXPECT_EQ(status.st_mode & 07777, 0660u);
        EXPECT_EQ(list_dir(shared), Names{"app.ini"});
    }
}

// An access list: owner rw, user nobody rw, owning group r, mask rw, others
// nothing.
std::string access_list() {
    return brantcfg_test::access_list({{0x01, 6}, {0x02, 6, 65534}, {0x04, 4}, {0x10, 6}, {0x20, 0}});
}

TEST_F(Writers, RewriteKeepsExtendedAttributesAndAccessLists) {
    const std::string file = path("app.ini");
    write_file(file, "[s]\r\nk=1\r\n");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    const std::string note = "kept";
    if (setxattr(file.c_str(), "user.note", note.data(), note.size(), 0) != 0)
        GTEST_SKIP() << "this file system keeps no extended attributes: " << std::strerror(errno);
    const std::string list = access_list();
    const bool have_list = setxattr(file.c_str(), "system.posix_acl_access", list.data(), list.size(), 0) == 0;
    if (!have_list)
        std::printf("no access lists on this file system (%s): only the attribute is checked\n", std::strerror(errno));
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    EXPECT_EQ(ini_puts("s", "k", "longer", file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[s]\r\nk=longer\r\n");
    char value[256];
    const ssize_t length = getxattr(file.c_str(), "user.note", value, sizeof value);
    EXPECT_EQ(std::string(value, length > 0 ? static_cast<std::size_t>(length) : 0), note);
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
    if (have_list) {
        const ssize_t list_length = getxattr(file.c_str(), "system.posix_acl_access", value, sizeof value);
        ASSERT_GT(list_length, 0);
        // The owning group keeps read only; the mask, not the group, is rw.
        EXPECT_EQ(std::string(value, static_cast<std::size_t>(list_length)), list);
    }
}

// ---- nothing written when nothing changes -----------------------------------------

TEST_F(Writers, CallsThatChangeNothingLeaveTheFileAlone) {
    const std::string input = "; top\r\n[s]\r\nk=1\r\nq=\" v\"\r\n[t]\r\n";
    const struct {
        const char *name;
        const char *section, *key, *value;
    } rows[] = {
        {"unchanged value", "s", "k", "1"},
        {"unchanged quoted value", "s", "q", " v"},
        {"absent key deleted", "s", "none", nullptr},
        {"key of an absent section deleted", "none", "k", nullptr},
        {"absent section deleted", "none", nullptr, nullptr},
    };
    const std::string file = path("app.ini");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        write_file(file, input);
        brantcfg_test::age_file(file);
        const FileStamp before = stamp_of(file);
        // Even where nothing could be written.
        ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
        ASSERT_EQ(chmod(file.c_str(), 0444), 0);
        const brantcfg_test::Outcome out =
            brantcfg_test::in_child([] { return brantcfg_test::drop_privileges(); },
                                    [&] { return ini_puts(row.section, row.key, row.value, file.c_str()); });
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        ASSERT_EQ(chmod(file.c_str(), 0644), 0);
        if (!out.ran) GTEST_SKIP() << "cannot drop privileges";
        EXPECT_EQ(out.result, 1);
        EXPECT_EQ(read_file(file), input);
        EXPECT_TRUE(stamp_of(file) == before);
    }
    // The nameless section is empty here: deleting it changes nothing.
    write_file(file, "[s]\r\nk=1\r\n");
    const FileStamp before = stamp_of(file);
    EXPECT_EQ(ini_puts(nullptr, nullptr, nullptr, file.c_str()), 1);
    EXPECT_TRUE(stamp_of(file) == before);
}

}  // namespace
