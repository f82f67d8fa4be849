#include "support.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace brantcfg_test {
namespace {

void remove_tree(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const auto &name : list_dir(path)) remove_tree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void collect_files(const std::string &dir, std::vector<std::string> &out) {
    for (const auto &name : list_dir(dir)) {
        if (name.empty() || name[0] == '.' || name == "SOURCES.md") continue;
        const std::string full = dir + "/" + name;
        struct stat st {};
        if (stat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            collect_files(full, out);
        else if (S_ISREG(st.st_mode))
            out.push_back(full);
    }
}

}  // namespace

void ScratchDir::SetUp() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/brantcfg-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
}

void ScratchDir::TearDown() {
    if (!dir_.empty()) remove_tree(dir_);
}

std::string ScratchDir::path(const std::string &name) const { return dir_ + "/" + name; }

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string &path, bool *exists) {
    std::ifstream in(path, std::ios::binary);
    if (exists) *exists = in.good();
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool file_exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

Outcome in_child(const std::function<bool()> &prepare, const std::function<int()> &call) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    std::fflush(nullptr);  // or the child's copy of unwritten output comes out twice
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int report[3] = {0, -1, 0};
        if (prepare()) {
            errno = 0;
            report[1] = call();
            report[2] = errno;
            report[0] = 1;
        }
        const bool sent = write(fds[1], report, sizeof report) == ssize_t(sizeof report);
        _exit(sent ? 0 : 1);
    }
    close(fds[1]);
    int report[3] = {0, -1, 0};
    const ssize_t got = pid > 0 ? read(fds[0], report, sizeof report) : -1;
    close(fds[0]);
    int status = 0;
    EXPECT_GT(pid, 0);
    if (pid > 0) waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(got, ssize_t(sizeof report));
    return {report[0] == 1, report[1], report[2]};
}

std::function<bool()> file_size_limit(unsigned long bytes) {
    return [bytes] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
}

Answer call_guarded(int size, const std::function<int(char *, int)> &call) {
    constexpr char GUARD = '\x5a';
    constexpr int GUARD_BYTES = 8;
    std::vector<char> buffer(static_cast<std::size_t>(size + GUARD_BYTES), GUARD);
    const int result = call(buffer.data(), size);
    for (int i = size; i < size + GUARD_BYTES; ++i)
        EXPECT_EQ(buffer[static_cast<std::size_t>(i)], GUARD) << "byte " << i << " overwritten";
    if (!std::memchr(buffer.data(), '\0', static_cast<std::size_t>(size))) {
        ADD_FAILURE() << "no NUL within " << size << " bytes";
        return {result, {}};
    }
    const std::string text(buffer.data());
    EXPECT_EQ(result, static_cast<int>(text.size()));
    return {result, text};
}

std::string crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string corpus_dir() {
    struct stat st {};
    const std::string dir = BRANTCFG_CORPUS_DIR;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    const std::string dir = corpus_dir();
    if (!dir.empty()) collect_files(dir, files);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace brantcfg_test
