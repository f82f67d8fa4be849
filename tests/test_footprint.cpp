// What a call costs a host in memory: nothing on the heap, and a small,
// bounded stack, on every path through every export. One table lists the
// paths (hits, misses, missing and unreadable files, patches, rewrites,
// creations, deletions, links, refusals and failures). The heap test
// replaces malloc and its kin in the test program and counts every
// allocation and release made during each call: both must be 0. The stack
// test runs every path on a thread with a 32 KiB stack of its own, filled
// with a pattern, and reads off how deep each call went. Under a sanitizer
// or a memory checker the allocator and the stack are theirs, and the tests
// skip themselves.
#include "support.h"

#include "brantcfg.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#  define BRANTCFG_TEST_OWN_MALLOC 0
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#    define BRANTCFG_TEST_OWN_MALLOC 0
#  endif
#endif
#ifndef BRANTCFG_TEST_OWN_MALLOC
#  define BRANTCFG_TEST_OWN_MALLOC 1
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
    int allocated = 0;
    int released = 0;
    std::string callers;  // who asked, by symbol
};

template <typename Call>
Tally count_allocations(Call call) {
    allocations = releases = 0;
    armed = true;
    call();
    armed = false;
    Tally tally;
    tally.allocated = allocations;
    tally.released = releases;
    for (int i = 0; i < allocations && i < MAX_RECORDED; ++i) {
        Dl_info info{};
        dladdr(records[i].caller, &info);
        tally.callers +=
            std::string(info.dli_sname ? info.dli_sname : "?") + "(" + std::to_string(records[i].size) + ") ";
    }
    return tally;
}

int ignore_entry(const char *, const char *, const char *, void *) { return 1; }

// Every export on every path it can take. Each call runs on a fresh copy of
// TEXT at file, and expect tells whether it returned what it should.
class Paths : public ScratchDir {
protected:
    struct Case {
        const char *what;
        std::function<bool()> call;
    };

    void SetUp() override {
        ScratchDir::SetUp();
        file_ = path("a.ini");
        link_target_ = path("target.ini");
        link_ = path("link.ini");
        dangling_ = path("dangling.ini");
        created_ = path("created.ini");
        directory_ = path("folder.ini");
        tilde_ = path("a.in~");
        ASSERT_EQ(symlink(link_target_.c_str(), link_.c_str()), 0);
        ASSERT_EQ(symlink(path("nowhere.ini").c_str(), dangling_.c_str()), 0);
        ASSERT_EQ(mkdir(directory_.c_str(), 0755), 0);
    }

    // Puts every file back as the next call expects to find it.
    void reset() {
        write_file(file_, TEXT);
        write_file(link_target_, TEXT);
        write_file(tilde_, TEXT);
        std::remove(created_.c_str());
        std::remove(path("nowhere.ini").c_str());
    }

    std::vector<Case> cases() {
        const char *f = file_.c_str();
        return {
            {"ini_gets", [=] { return ini_gets("First", "String", "", buffer_, sizeof buffer_, f) == 4; }},
            {"ini_gets absent key", [=] { return ini_gets("First", "none", "d", buffer_, sizeof buffer_, f) == 1; }},
            {"ini_gets missing file",
             [=] { return ini_gets("First", "String", "d", buffer_, sizeof buffer_, "/nonexistent/x") == 1; }},
            {"ini_gets on a folder",
             [=] { return ini_gets("First", "String", "d", buffer_, sizeof buffer_, directory_.c_str()) == 1; }},
            {"ini_getl", [=] { return ini_getl("First", "Val", 0, f) == 1; }},
            {"ini_getf", [=] { return ini_getf("First", "Ratio", 0, f) == 2.5f; }},
            {"ini_getbool", [=] { return ini_getbool("First", "Flag", 0, f) == 1; }},
            {"ini_getsection", [=] { return ini_getsection(1, buffer_, sizeof buffer_, f) == 6; }},
            {"ini_getkey", [=] { return ini_getkey("First", 1, buffer_, sizeof buffer_, f) == 3; }},
            {"ini_browse", [=] { return ini_browse(ignore_entry, nullptr, f) == 1; }},
            {"ini_puts unchanged", [=] { return ini_puts("First", "Val", "1", f) == 1; }},
            {"ini_puts patch", [=] { return ini_puts("First", "Val", "2", f) == 1; }},
            {"ini_puts rewrite", [=] { return ini_puts("First", "Val", "333", f) == 1; }},
            {"ini_puts new section", [=] { return ini_puts("Third", "K", "v", f) == 1; }},
            {"ini_puts delete key", [=] { return ini_puts("First", "String", nullptr, f) == 1; }},
            {"ini_puts delete section", [=] { return ini_puts("Second", nullptr, nullptr, f) == 1; }},
            {"ini_puts delete absent key", [=] { return ini_puts("First", "none", nullptr, f) == 1; }},
            {"ini_puts create", [=] { return ini_puts("New", "K", "v", created_.c_str()) == 1; }},
            {"ini_puts create via link", [=] { return ini_puts("New", "K", "v", dangling_.c_str()) == 1; }},
            {"ini_puts through a link", [=] { return ini_puts("First", "Val", "4444", link_.c_str()) == 1; }},
            {"ini_puts refused", [=] { return ini_puts("First", "Val", "a\nb", f) == 0; }},
            {"ini_puts on a folder", [=] { return ini_puts("First", "Val", "333", directory_.c_str()) == 0; }},
            {"ini_puts no temporary name", [=] { return ini_puts("First", "Val", "333", tilde_.c_str()) == 0; }},
            {"ini_putl", [=] { return ini_putl("First", "Val", -2147483647 - 1, f) == 1; }},
            {"ini_putf", [=] { return ini_putf("First", "Ratio", 3.4e38f, f) == 1; }},
        };
    }

    static constexpr const char *TEXT =
        "top=1\r\n[First]\r\nString=noot # c\r\nVal=1\r\nRatio=2.5\r\nFlag=yes\r\n[Second]\r\nK=v\r\n";
    std::string file_, link_target_, link_, dangling_, created_, directory_, tilde_;
    char buffer_[64] = "";
};

class Allocations : public Paths {
protected:
    void SetUp() override {
        Paths::SetUp();
        void *probe = nullptr;
        const Tally tally = count_allocations([&] { probe = std::malloc(24); });
        std::free(probe);
        if (tally.allocated == 0) GTEST_SKIP() << "malloc belongs to a sanitizer or memory checker here";
    }
};

TEST_F(Allocations, NoExportTouchesTheHeapOnAnyPath) {
    for (const Case &c : cases()) {
        reset();
        bool returned_right = false;
        const Tally tally = count_allocations([&] { returned_right = c.call(); });
        EXPECT_TRUE(returned_right) << c.what;
        EXPECT_EQ(tally.allocated, 0) << c.what << " allocated through " << tally.callers;
        EXPECT_EQ(tally.released, 0) << c.what << " released heap memory";
    }
}

// Bytes of each thread's stack, and the most a call may take of it.
constexpr std::size_t THREAD_STACK_SIZE = 32 * 1024;
constexpr std::size_t STACK_BUDGET = 16 * 1024;
constexpr unsigned char STACK_PATTERN = 0xA5;

// A stack for one thread, below it a page that traps an overflow.
class PatternedStack {
public:
    PatternedStack() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void *region =
            mmap(nullptr, page_ + THREAD_STACK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region == MAP_FAILED) return;
        region_ = static_cast<unsigned char *>(region);
        mprotect(region_, page_, PROT_NONE);
    }
    ~PatternedStack() {
        if (region_) munmap(region_, page_ + THREAD_STACK_SIZE);
    }
    bool ready() const { return region_ != nullptr; }

    // Runs call on a thread with this stack, filled with the pattern first,
    // and returns how many bytes of it were touched.
    std::size_t run(const std::function<void()> &call) {
        unsigned char *stack = region_ + page_;
        std::memset(stack, STACK_PATTERN, THREAD_STACK_SIZE);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, stack, THREAD_STACK_SIZE);
        pthread_t thread;
        const std::function<void()> *task = &call;
        const int started = pthread_create(
            &thread, &attributes,
            [](void *argument) -> void * {
                (*static_cast<const std::function<void()> *>(argument))();
                return nullptr;
            },
            const_cast<std::function<void()> *>(task));
        pthread_attr_destroy(&attributes);
        if (started != 0) return THREAD_STACK_SIZE;
        pthread_join(thread, nullptr);
        std::size_t untouched = 0;
        while (untouched < THREAD_STACK_SIZE && stack[untouched] == STACK_PATTERN) ++untouched;
        return THREAD_STACK_SIZE - untouched;
    }

private:
    std::size_t page_ = 0;
    unsigned char *region_ = nullptr;
};

class SmallStacks : public Paths {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "a sanitizer's instrumentation takes stack of its own";
#endif
        Paths::SetUp();
    }
};

TEST_F(SmallStacks, EveryPathRunsOnA32KiBThreadWithinTheBudget) {
    PatternedStack stack;
    ASSERT_TRUE(stack.ready());
    // Every path once on this thread first: the first call of a system
    // function in a process has the dynamic linker bind it, on the caller's
    // stack (a few KiB more, once per process; not the library's own).
    for (const Case &c : cases()) {
        reset();
        c.call();
    }
    // What a thread takes before it calls anything: its start and the
    // test's own frames.
    const std::size_t baseline = stack.run([] {});
    for (const Case &c : cases()) {
        reset();
        bool returned_right = false;
        const std::size_t used = stack.run([&] { returned_right = c.call(); }) - baseline;
        EXPECT_TRUE(returned_right) << c.what;
        std::printf("%-28s %6zu bytes of stack\n", c.what, used);
#if defined(__OPTIMIZE__)
        // The budget holds for optimised builds; an unoptimised one keeps
        // every local in a frame of its own.
        EXPECT_LE(used, STACK_BUDGET) << c.what;
#endif
    }
}

}  // namespace
}  // namespace brantcfg_test
