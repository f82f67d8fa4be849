// A writer killed with SIGKILL at random moments never leaves the file at
// the path missing, empty or partial: it is byte for byte the content before
// the interrupted call or the content after it. A temporary file left by a
// killed rewrite neither hides the file from readers nor spoils the next
// write. Kills per test: $BRANTCFG_CRASH_KILLS (default 40; the long run
// uses 1000 or more).
#include "support.h"

#include "brantcfg.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace brantcfg_test {
namespace {

constexpr int DEFAULT_KILLS = 40;
// Size of the file the writer keeps rewriting.
constexpr std::size_t LARGE_FILE_BYTES = 1 << 20;
// Exit status of a writer whose setter failed.
constexpr int WRITER_FAILED = 3;

int kill_count() {
    const char *text = std::getenv("BRANTCFG_CRASH_KILLS");
    const int count = text ? std::atoi(text) : 0;
    return count > 0 ? count : DEFAULT_KILLS;
}

// Values alternate in length, so every step is a full rewrite through the
// temporary file, never a same-length patch.
std::string step_value(std::uint32_t step) { return std::to_string(step) + (step % 2 == 0 ? "_" : ""); }

// A large file with the one line that changes in its middle.
class LargeFile {
public:
    LargeFile() {
        for (int i = 0; head_.size() < LARGE_FILE_BYTES / 2; ++i) {
            if (i % 40 == 0) head_ += "[Section" + std::to_string(i / 40) + "]\r\n";
            head_ +=
                "key" + std::to_string(i) + " = some value of moderate length, number " + std::to_string(i) + "\r\n";
        }
        head_ += "[Counter]\r\nvalue=";
        tail_ = "\r\n";
        for (int i = 0; tail_.size() < LARGE_FILE_BYTES / 2; ++i)
            tail_ += "after" + std::to_string(i) + "=another line that must survive every crash\r\n";
    }
    std::string content(std::uint32_t step) const { return head_ + step_value(step) + tail_; }
    // The step whose content the bytes are, or -1 when they are no step's.
    long step_of(const std::string &bytes) const {
        if (bytes.size() < head_.size() + tail_.size() || bytes.compare(0, head_.size(), head_) != 0 ||
            bytes.compare(bytes.size() - tail_.size(), tail_.size(), tail_) != 0)
            return -1;
        std::string middle = bytes.substr(head_.size(), bytes.size() - head_.size() - tail_.size());
        if (!middle.empty() && middle.back() == '_') middle.pop_back();
        if (middle.empty() || middle.size() > 9 || middle.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        const long step = std::stol(middle);
        return bytes == content(static_cast<std::uint32_t>(step)) ? step : -1;
    }

private:
    std::string head_, tail_;
};

// A child process that runs body and reports each step it completed
// through a pipe; killed by the parent.
class Writer {
public:
    template <typename Body>
    explicit Writer(Body body) {
        int fds[2];
        if (pipe(fds) != 0) return;
        std::fflush(nullptr);  // or the child's copy of unwritten output comes out twice
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            body(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        read_end_ = fds[0];
    }
    bool started() const { return pid_ > 0; }
    // Kills the child and returns the last step it reported (-1 for none)
    // and whether it died of the kill rather than of its own failure.
    long kill_and_collect(bool *killed) {
        kill(pid_, SIGKILL);
        *killed = wait_for_signal() == SIGKILL;
        return collect();
    }
    // Waits for the child to end; the signal that ended it, or 0.
    int wait_for_signal() {
        int status = 0;
        waitpid(pid_, &status, 0);
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    long collect() {
        long last = -1;
        std::uint32_t step = 0;
        while (read(read_end_, &step, sizeof step) == static_cast<ssize_t>(sizeof step)) last = step;
        close(read_end_);
        return last;
    }

private:
    pid_t pid_ = -1;
    int read_end_ = -1;
};

void report(int fd, std::uint32_t step) {
    if (write(fd, &step, sizeof step) != static_cast<ssize_t>(sizeof step)) _exit(WRITER_FAILED);
}

void sleep_for(std::chrono::nanoseconds delay) {
    const timespec wait{static_cast<time_t>(delay.count() / 1000000000), static_cast<long>(delay.count() % 1000000000)};
    nanosleep(&wait, nullptr);
}

std::mt19937 seeded_random() {
    const auto seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("random seed %u\n", seed);
    return std::mt19937(seed);
}

class CrashConsistency : public ScratchDir {};

TEST_F(CrashConsistency, KilledRewriteLeavesOldOrNewContent) {
    const LargeFile large;
    const std::string file = path("large.ini");
    const std::string temp = path("large.in~");
    write_file(file, large.content(0));

    // The kill delays span a few rewrites, so kills land in every phase:
    // reading, writing the temporary file, syncing, renaming.
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(ini_puts("Counter", "value", step_value(1).c_str(), file.c_str()), 1);
    ASSERT_EQ(ini_puts("Counter", "value", step_value(2).c_str(), file.c_str()), 1);
    const auto rewrite_time = (std::chrono::steady_clock::now() - begin) / 2;
    std::uint32_t current = 2;

    std::mt19937 random = seeded_random();
    std::uniform_int_distribution<long long> delay(0, 3 * std::chrono::nanoseconds(rewrite_time).count());
    int kills = 0, old_content = 0, new_content = 0, temp_left = 0;
    for (int round = 0; round < kill_count(); ++round) {
        const std::uint32_t start = current;
        Writer writer([&](int report_fd) {
            for (std::uint32_t step = start + 1;; ++step) {
                if (ini_puts("Counter", "value", step_value(step).c_str(), file.c_str()) != 1) _exit(WRITER_FAILED);
                report(report_fd, step);
            }
        });
        ASSERT_TRUE(writer.started());
        sleep_for(std::chrono::nanoseconds(delay(random)));
        bool killed = false;
        const long reported = writer.kill_and_collect(&killed);
        ASSERT_TRUE(killed) << "the writer failed on its own";
        ++kills;

        // The last reported step is complete; the one after it was in flight.
        const std::uint32_t done = reported < 0 ? start : static_cast<std::uint32_t>(reported);
        bool exists = false;
        const long step = large.step_of(read_file(file, &exists));
        ASSERT_TRUE(exists) << "the file vanished at kill " << kills;
        ASSERT_TRUE(step == done || step == done + 1)
            << "kill " << kills << " left neither the old nor the new content (step " << step << ", done " << done
            << ")";
        (step == done ? old_content : new_content) += 1;
        temp_left += file_exists(temp);

        // The next write succeeds whatever the kill left behind, and clears it.
        current = static_cast<std::uint32_t>(step) + 1;
        ASSERT_EQ(ini_puts("Counter", "value", step_value(current).c_str(), file.c_str()), 1);
        ASSERT_EQ(read_file(file), large.content(current));
        ASSERT_FALSE(file_exists(temp));
    }
    std::printf(
        "%d kills of a %zu-byte rewrite: %d left the old content, %d the new, "
        "%d a temporary file; 0 missing, empty or partial\n",
        kills, large.content(current).size(), old_content, new_content, temp_left);
    RecordProperty("kills", kills);
}

TEST_F(CrashConsistency, KilledCreationLeavesNoFileOrTheWholeFile) {
    const std::string file = path("new.ini");
    const std::string created = "[S]\r\nK=v\r\n";
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(ini_puts("S", "K", "v", file.c_str()), 1);
    const auto create_time = std::chrono::steady_clock::now() - begin;

    std::mt19937 random = seeded_random();
    std::uniform_int_distribution<long long> delay(0, 3 * std::chrono::nanoseconds(create_time).count());
    int kills = 0, missing = 0, whole = 0;
    for (int round = 0; round < kill_count(); ++round) {
        Writer writer([&](int report_fd) {
            for (std::uint32_t step = 0;; ++step) {
                if (unlink(file.c_str()) != 0) _exit(WRITER_FAILED);
                if (ini_puts("S", "K", "v", file.c_str()) != 1) _exit(WRITER_FAILED);
                report(report_fd, step);
            }
        });
        ASSERT_TRUE(writer.started());
        sleep_for(std::chrono::nanoseconds(delay(random)));
        bool killed = false;
        writer.kill_and_collect(&killed);
        ASSERT_TRUE(killed) << "the writer failed on its own";
        ++kills;

        bool exists = false;
        const std::string bytes = read_file(file, &exists);
        ASSERT_TRUE(!exists || bytes == created)
            << "kill " << kills << " left a partial file of " << bytes.size() << " bytes";
        (exists ? whole : missing) += 1;
        // The next creation succeeds whatever the kill left behind, and
        // leaves nothing else beside the file.
        unlink(file.c_str());
        ASSERT_EQ(ini_puts("S", "K", "v", file.c_str()), 1);
        ASSERT_EQ(read_file(file), created);
        ASSERT_EQ(list_dir(dir_), std::vector<std::string>{"new.ini"});
    }
    std::printf("%d kills of a creation: %d left no file, %d the whole file; 0 empty or partial\n", kills, missing,
                whole);
}

// A writer killed at a precise moment: its first write past a file-size
// limit raises SIGXFSZ, whose default action ends the process there, part
// way through writing the new content.
TEST_F(CrashConsistency, WriterKilledMidWriteLeavesOldContentOrNoFile) {
    const std::string file = path("limit.ini");
    const std::string old_text = "[S]\r\nK=1\r\n" + std::string(3000, ';') + "\r\n";
    struct Case {
        const char *what;
        bool existing;
        rlim_t limit;  // bytes the child may write to any file
    };
    for (const Case &c : {Case{"creation", false, 4}, Case{"rewrite", true, 100}, Case{"rewrite", true, 2000}}) {
        unlink(file.c_str());
        if (c.existing) write_file(file, old_text);
        Writer writer([&](int) {
            const rlimit limit{c.limit, c.limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(WRITER_FAILED);
            ini_puts("S", "K", "a value longer than the old one", file.c_str());
            _exit(0);
        });
        ASSERT_TRUE(writer.started());
        EXPECT_EQ(writer.wait_for_signal(), SIGXFSZ) << c.what;
        writer.collect();
        bool exists = false;
        const std::string bytes = read_file(file, &exists);
        EXPECT_EQ(exists, c.existing) << c.what << " left a partial file of " << bytes.size() << " bytes";
        if (c.existing) {
            EXPECT_EQ(bytes, old_text) << c.what;
        }
        EXPECT_EQ(ini_puts("S", "K", "a value longer than the old one", file.c_str()), 1) << c.what;
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"limit.ini"}) << c.what;
    }
}

// Creating through a temporary file keeps what a plain creation gives: the
// usual permission bits, nothing left beside the file, and a path ending in
// '~' (which has no temporary path) still created.
TEST_F(CrashConsistency, CreationThroughTemporaryFileBehavesAsPlainCreation) {
    const mode_t mask = umask(027);
    const std::string file = path("made.ini");
    write_file(path("made.in~"), "stale bytes from an earlier crash");
    EXPECT_EQ(ini_putl("S", "K", 5, file.c_str()), 1);
    umask(mask);
    EXPECT_EQ(read_file(file), "[S]\r\nK=5\r\n");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"made.ini"});

    const std::string tilde = path("made.ini~");
    EXPECT_EQ(ini_puts(nullptr, "K", "v", tilde.c_str()), 1);
    EXPECT_EQ(read_file(tilde), "K=v\r\n");
}

}  // namespace
}  // namespace brantcfg_test
