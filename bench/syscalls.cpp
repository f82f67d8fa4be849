// One call of the library between two markers (getppid), for
// bench/syscalls.sh to count the system calls strace sees in between.
//
//   brantcfg_syscalls FILE get SECTION KEY
//   brantcfg_syscalls FILE set SECTION KEY VALUE
//   brantcfg_syscalls FILE delete SECTION KEY
#include "brantcfg.h"

#include <cstdio>
#include <cstring>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

void mark() { syscall(SYS_getppid); }

}  // namespace

int main(int argc, char **argv) {
    if (argc < 5 || (std::strcmp(argv[2], "set") == 0 && argc < 6)) {
        std::fprintf(stderr, "usage: %s FILE get|set|delete SECTION KEY [VALUE]\n", argv[0]);
        return 2;
    }
    const char *path = argv[1];
    const char *operation = argv[2];
    char value[512];
    int result = 0;
    mark();
    if (std::strcmp(operation, "get") == 0)
        result = ini_gets(argv[3], argv[4], "", value, sizeof value, path) > 0;
    else if (std::strcmp(operation, "set") == 0)
        result = ini_puts(argv[3], argv[4], argv[5], path);
    else if (std::strcmp(operation, "delete") == 0)
        result = ini_puts(argv[3], argv[4], nullptr, path);
    mark();
    return result == 1 ? 0 : 1;
}
