#include "support.h"

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <grp.h>
#  include <sys/resource.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace brantcfg_test {
namespace {

enum class entry_kind { missing, file, directory, other };

#if defined(_WIN32)

// What is at path. A link or junction is "other" unless follow_links: the
// scratch tree walk never follows one.
entry_kind kind_of(const std::string &path, bool follow_links = false) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return entry_kind::missing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !follow_links) return entry_kind::other;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? entry_kind::directory : entry_kind::file;
}

// Read-only and other attributes would stop the removal.
void remove_entry(const std::string &path, entry_kind kind) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (kind == entry_kind::directory)
        RemoveDirectoryA(path.c_str());
    else
        DeleteFileA(path.c_str());
}

std::string make_temp_dir() {
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length > MAX_PATH) return {};
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string dir = std::string(base) + "brantcfg-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(++counter);
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
    return {};
}

#else

// What is at path. A link is "other" unless follow_links: the scratch tree
// walk never follows one.
entry_kind kind_of(const std::string &path, bool follow_links = false) {
    struct stat st {};
    if ((follow_links ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return entry_kind::missing;
    if (S_ISDIR(st.st_mode)) return entry_kind::directory;
    return S_ISREG(st.st_mode) ? entry_kind::file : entry_kind::other;
}

void remove_entry(const std::string &path, entry_kind kind) {
    if (kind == entry_kind::directory)
        rmdir(path.c_str());
    else
        unlink(path.c_str());
}

std::string make_temp_dir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/brantcfg-test-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

#endif

void remove_tree(const std::string &path) {
    const entry_kind kind = kind_of(path);
    if (kind == entry_kind::missing) return;
    if (kind == entry_kind::directory) {
#if !defined(_WIN32)
        chmod(path.c_str(), 0700);  // a directory a test made unreadable
#endif
        for (const auto &name : list_dir(path)) remove_tree(path + "/" + name);
    }
    remove_entry(path, kind);
}

void collect_files(const std::string &dir, std::vector<std::string> &out) {
    for (const auto &name : list_dir(dir)) {
        if (name.empty() || name[0] == '.' || name == "SOURCES.md") continue;
        const std::string full = dir + "/" + name;
        const entry_kind kind = kind_of(full, true);
        if (kind == entry_kind::directory)
            collect_files(full, out);
        else if (kind == entry_kind::file)
            out.push_back(full);
    }
}

}  // namespace

void ScratchDir::SetUp() {
    dir_ = make_temp_dir();
    ASSERT_FALSE(dir_.empty()) << "cannot create a scratch directory";
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

bool file_exists(const std::string &path) { return kind_of(path) != entry_kind::missing; }

#if !defined(_WIN32)
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

bool drop_privileges(const std::vector<unsigned> &groups) {
    const std::vector<gid_t> ids(groups.begin(), groups.end());
    return setgroups(ids.size(), ids.data()) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

std::function<bool()> file_size_limit(unsigned long bytes) {
    return [bytes] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
}
#endif

std::string access_list(const std::vector<AccessEntry> &entries) {
    std::string list;
    auto add = [&list](std::uint32_t word, int bytes) {
        for (int i = 0; i < bytes; ++i) list += static_cast<char>((word >> (8 * i)) & 0xFF);
    };
    add(2, 4);  // version
    for (const AccessEntry &entry : entries) {
        add(entry.tag, 2);
        add(entry.permissions, 2);
        add(entry.id, 4);
    }
    return list;
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

#if defined(_WIN32)

FileStamp stamp_of(const std::string &path) {
    const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    EXPECT_TRUE(known) << path;
    return {(static_cast<unsigned long long>(information.nFileIndexHigh) << 32) | information.nFileIndexLow,
            static_cast<long long>((static_cast<unsigned long long>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                                   information.ftLastWriteTime.dwLowDateTime)};
}

void age_file(const std::string &path) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    // 2001-09-09, in 100 ns steps since 1601.
    const unsigned long long past = 126444736000000000ULL;
    FILETIME written;
    written.dwLowDateTime = static_cast<DWORD>(past & 0xFFFFFFFFu);
    written.dwHighDateTime = static_cast<DWORD>(past >> 32);
    const bool set = SetFileTime(file, nullptr, nullptr, &written) != 0;
    CloseHandle(file);
    ASSERT_TRUE(set) << path;
}

void set_env(const char *name, const char *value) {
    // "NAME=" removes the variable.
    _putenv((std::string(name) + "=" + (value ? value : "")).c_str());
}

#else

FileStamp stamp_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return {static_cast<unsigned long long>(st.st_ino),
            static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

void age_file(const std::string &path) {
    const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

void set_env(const char *name, const char *value) {
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

#endif

const SavedFile SAVED_FILES[8] = {
    {"windows-sys-backup/system.ini", false, "386Enh", "woafont", "dosapp.fon", "386Enh"},
    {"simpleini/test1-input.ini", false, "", "lonely-key", "nosection", "ordered-1"},
    {"simpleini/tests.ini", false, "section1", "key1", "value1", "section1"},
    {"inih/bom.ini", false, "bom_section", "bom_name", "bom_value", "bom_section"},
    {"editorconfig-core-test/bom.in", false, "", "root", "true", "*"},
    {"go-ini/UTF-16-LE-BOM.ini", true, "author", "E-MAIL", "example@email.com", "author"},
    {"samba/GptTmpl.inf.SAMBABACKUP", true, "Unicode", "Unicode", "yes", "Unicode"},
    {"samba/fdeploy1.ini.SAMBABACKUP", true, "version", "version", "100", "version"},
};

std::string corpus_dir() {
    const std::string dir = BRANTCFG_CORPUS_DIR;
    return kind_of(dir, true) == entry_kind::directory ? dir : std::string();
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    const std::string dir = corpus_dir();
    if (!dir.empty()) collect_files(dir, files);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace brantcfg_test
