// The library allocates nothing on the heap: every byte it works with lives
// on its own stack. This test replaces malloc and its kin in the test
// program, counts every heap allocation made during each export, and sorts
// them by who asked: the C library (its streams: fopen's FILE and the
// buffer of the first read or write) or anything else (the library, or the
// C++ runtime on its behalf). The second count must be 0 for every export.
// Under a sanitizer or a memory checker the allocator is theirs, and the
// test skips itself.
#include "support.h"

#include "brantcfg.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRANTCFG_TEST_OWN_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BRANTCFG_TEST_OWN_MALLOC 0
#endif
#endif
#ifndef BRANTCFG_TEST_OWN_MALLOC
#define BRANTCFG_TEST_OWN_MALLOC 1
#endif

namespace {

// Room to remember the allocations of one call.
constexpr int MAX_RECORDED = 64;

struct Record {
    void *caller;
    std::size_t size;
};

bool armed = false;
int allocations = 0;
int releases = 0;
Record records[MAX_RECORDED];

[[maybe_unused]] void note(void *caller, std::size_t size) {
    if (!armed) return;
    if (allocations < MAX_RECORDED) records[allocations] = {caller, size};
    ++allocations;
}

}  // namespace

#if BRANTCFG_TEST_OWN_MALLOC
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *block);

void *malloc(std::size_t size) {
    note(__builtin_return_address(0), size);
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) {
    note(__builtin_return_address(0), count * size);
    return __libc_calloc(count, size);
}
void *realloc(void *block, std::size_t size) {
    note(__builtin_return_address(0), size);
    return __libc_realloc(block, size);
}
void *aligned_alloc(std::size_t alignment, std::size_t size) {
    note(__builtin_return_address(0), size);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **block, std::size_t alignment, std::size_t size) {
    note(__builtin_return_address(0), size);
    *block = __libc_memalign(alignment, size);
    return *block ? 0 : 12;  // ENOMEM
}
void free(void *block) {
    if (armed && block) ++releases;
    __libc_free(block);
}
}
#endif

namespace brantcfg_test {
namespace {

struct Tally {
    int runtime = 0;         // asked for by the C library
    int other = 0;           // asked for by anything else
    int released = 0;
    std::string sizes;       // sizes of the runtime's allocations
    std::string other_callers;
};

bool called_from_c_library(void *caller) {
    Dl_info info{};
    return dladdr(caller, &info) != 0 && info.dli_fname && std::strstr(info.dli_fname, "libc.so");
}

template <typename Call>
Tally count_allocations(Call call) {
    allocations = releases = 0;
    armed = true;
    call();
    armed = false;
    Tally tally;
    tally.released = releases;
    for (int i = 0; i < allocations && i < MAX_RECORDED; ++i) {
        if (called_from_c_library(records[i].caller)) {
            ++tally.runtime;
            tally.sizes += (tally.sizes.empty() ? "" : "+") + std::to_string(records[i].size);
        } else {
            ++tally.other;
            Dl_info info{};
            dladdr(records[i].caller, &info);
            tally.other_callers += std::string(info.dli_sname ? info.dli_sname : "?") + " ";
        }
    }
    return tally;
}

int ignore_entry(const char *, const char *, const char *, void *) { return 1; }

class Allocations : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        void *probe = nullptr;
        const Tally tally = count_allocations([&] { probe = std::malloc(24); });
        std::free(probe);
        if (tally.runtime + tally.other == 0) GTEST_SKIP() << "malloc belongs to a sanitizer or memory checker here";
    }
};

TEST_F(Allocations, NoExportAllocatesBeyondTheRuntimesStreams) {
    const std::string file = path("a.ini");
    const std::string link_target = path("target.ini");
    const std::string link = path("link.ini");
    const std::string created = path("created.ini");
    const std::string text = "top=1\r\n[First]\r\nString=noot # c\r\nVal=1\r\nRatio=2.5\r\nFlag=yes\r\n[Second]\r\nK=v\r\n";
    char buffer[64];
    struct Case {
        const char *what;
        std::function<void()> call;
    };
    const std::vector<Case> cases = {
        {"ini_gets", [&] { ini_gets("First", "String", "", buffer, sizeof buffer, file.c_str()); }},
        {"ini_gets missing file", [&] { ini_gets("First", "String", "d", buffer, sizeof buffer, "/nonexistent/x"); }},
        {"ini_getl", [&] { ini_getl("First", "Val", 0, file.c_str()); }},
        {"ini_getf", [&] { ini_getf("First", "Ratio", 0, file.c_str()); }},
        {"ini_getbool", [&] { ini_getbool("First", "Flag", 0, file.c_str()); }},
        {"ini_getsection", [&] { ini_getsection(1, buffer, sizeof buffer, file.c_str()); }},
        {"ini_getkey", [&] { ini_getkey("First", 1, buffer, sizeof buffer, file.c_str()); }},
        {"ini_browse", [&] { ini_browse(ignore_entry, nullptr, file.c_str()); }},
        {"ini_puts unchanged", [&] { ini_puts("First", "Val", "1", file.c_str()); }},
        {"ini_puts patch", [&] { ini_puts("First", "Val", "2", file.c_str()); }},
        {"ini_puts rewrite", [&] { ini_puts("First", "Val", "333", file.c_str()); }},
        {"ini_puts delete key", [&] { ini_puts("First", "String", nullptr, file.c_str()); }},
        {"ini_puts delete section", [&] { ini_puts("Second", nullptr, nullptr, file.c_str()); }},
        {"ini_puts create", [&] { ini_puts("New", "K", "v", created.c_str()); }},
        {"ini_putl", [&] { ini_putl("First", "Val", -2147483647 - 1, file.c_str()); }},
        {"ini_putf", [&] { ini_putf("First", "Ratio", 3.4e38f, file.c_str()); }},
        {"ini_puts through a link", [&] { ini_puts("First", "Val", "4444", link.c_str()); }},
    };
    write_file(link_target, text);
    ASSERT_EQ(symlink(link_target.c_str(), link.c_str()), 0);
    for (const Case &c : cases) {
        write_file(file, text);
        const Tally tally = count_allocations(c.call);
        std::printf("%-26s %d allocation(s) by the C library (%s bytes), %d by anything else, %d released\n", c.what,
                    tally.runtime, tally.sizes.empty() ? "no" : tally.sizes.c_str(), tally.other, tally.released);
        EXPECT_EQ(tally.other, 0) << c.what << " allocated through " << tally.other_callers;
        EXPECT_EQ(tally.released, tally.runtime + tally.other) << c.what << " kept heap memory after returning";
    }
}

}  // namespace
}  // namespace brantcfg_test
