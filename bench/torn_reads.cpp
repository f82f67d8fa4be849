// Readers beside a writer: one process sets a 400-byte value again and
// again, all 'A' then all 'B' (the same length each time, so the writer may
// patch it in place), while this process reads it in a loop with ini_gets
// and counts every value that is neither. Run by bench/torn_reads.sh, never
// by ctest: it proves a property over a million reads, not a unit.
//
//   brantcfg_torn_reads FILE OFFSET READS
//
// The key line starts at byte OFFSET of FILE (a comment pads the file up to
// it); prints "OFFSET reads torn patched rewritten" once READS reads are done.
#include "brantcfg.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int VALUE_LENGTH = 400;

bool uniform(const char *value, int length) {
    if (length != VALUE_LENGTH || (value[0] != 'A' && value[0] != 'B')) return false;
    for (int i = 1; i < length; ++i)
        if (value[i] != value[0]) return false;
    return true;
}

ino_t inode_of(const char *path) {
    struct stat status {};
    return stat(path, &status) == 0 ? status.st_ino : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE OFFSET READS\n", argv[0]);
        return 2;
    }
    const char *path = argv[1];
    const long offset = std::atol(argv[2]);
    const long reads = std::atol(argv[3]);
    // "[s]" CRLF, a comment line that pads the key line to offset, the key
    // line, and a section after it.
    std::string text = "[s]\r\n";
    if (offset < static_cast<long>(text.size()) + 4) return 2;
    const long padding = offset - static_cast<long>(text.size()) - 3;
    text += ";" + std::string(static_cast<std::size_t>(padding), '-') + "\r\n";
    text += "v=" + std::string(VALUE_LENGTH, 'A') + "\r\n[t]\r\nk=1\r\n";
    FILE *file = std::fopen(path, "wb");
    if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0) return 2;

    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return 2;
    const pid_t writer = fork();
    if (writer == 0) {
        // The writer: flips the value until it is stopped, then reports how
        // many of its sets kept the file (patches) and how many replaced it.
        close(pipe_ends[0]);
        const std::string a(VALUE_LENGTH, 'A'), b(VALUE_LENGTH, 'B');
        long patched = 0, rewritten = 0, failed = 0;
        static volatile sig_atomic_t stop = 0;
        signal(SIGTERM, [](int) { stop = 1; });
        for (long i = 0; !stop; ++i) {
            const ino_t before = inode_of(path);
            if (ini_puts("s", "v", (i % 2 ? a : b).c_str(), path) != 1) {
                ++failed;
                continue;
            }
            (inode_of(path) == before ? patched : rewritten) += 1;
        }
        char report[96];
        const int length = std::snprintf(report, sizeof report, "%ld %ld %ld", patched, rewritten, failed);
        if (write(pipe_ends[1], report, static_cast<std::size_t>(length)) != length) _exit(1);
        _exit(0);
    }
    close(pipe_ends[1]);
    long torn = 0;
    char value[VALUE_LENGTH + 64];
    for (long i = 0; i < reads; ++i) {
        const int length = ini_gets("s", "v", "", value, sizeof value, path);
        if (!uniform(value, length)) ++torn;
    }
    kill(writer, SIGTERM);
    char report[96] = {};
    const ssize_t got = read(pipe_ends[0], report, sizeof report - 1);
    int status = 0;
    waitpid(writer, &status, 0);
    long patched = 0, rewritten = 0, failed = 0;
    if (got <= 0 || std::sscanf(report, "%ld %ld %ld", &patched, &rewritten, &failed) != 3) return 2;
    std::printf("%ld %ld %ld %ld %ld %ld\n", offset, reads, torn, patched, rewritten, failed);
    return torn == 0 && failed == 0 ? 0 : 1;
}
