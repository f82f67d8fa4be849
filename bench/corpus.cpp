#include "corpus.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

std::string section_name(int section) {
    char text[32];
    std::snprintf(text, sizeof text, "section%05d", section);
    return text;
}

std::string key_name(int key) {
    char text[16];
    std::snprintf(text, sizeof text, "key%02d", key);
    return text;
}

std::string value_text(int section, int key) {
    char text[32];
    std::snprintf(text, sizeof text, "value-%05d-%02d-abcdefgh", section, key);
    return text;
}

namespace {

std::string generate(std::size_t target, int *sections) {
    std::string text = "# generated benchmark file\r\n";
    int section = 0;
    while (text.size() < target) {
        if (section > 0) text += "\r\n";
        text += "[" + section_name(section) + "]\r\n";
        for (int key = 0; key < KEYS_PER_SECTION; ++key) {
            if (key % 7 == 3) text += "# note on the next key\r\n";
            text += key_name(key) + "=" + value_text(section, key) + "\r\n";
        }
        ++section;
    }
    *sections = section;
    return text;
}

}  // namespace

corpus_file make_corpus(const std::string &dir, const std::string &label, std::size_t target) {
    corpus_file file;
    file.label = label;
    file.target = target;
    file.path = dir + "/corpus-" + label + ".ini";
    const std::string text = generate(target, &file.sections);
    file.bytes = text.size();

    struct stat status {};
    if (stat(file.path.c_str(), &status) != 0 || static_cast<std::size_t>(status.st_size) != text.size()) {
        std::FILE *out = std::fopen(file.path.c_str(), "wb");
        if (!out || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out) != 0) {
            std::fprintf(stderr, "bench: cannot write %s\n", file.path.c_str());
            std::exit(1);
        }
    }
    const int last = file.sections - 1;
    const int middle = file.sections / 2;
    file.last_section = section_name(last);
    file.last_key = key_name(KEYS_PER_SECTION - 1);
    file.last_value = value_text(last, KEYS_PER_SECTION - 1);
    file.middle_section = section_name(middle);
    file.middle_key = key_name(KEYS_PER_SECTION / 2);
    file.middle_value = value_text(middle, KEYS_PER_SECTION / 2);
    return file;
}

bool copy_file(const std::string &from, const std::string &to) {
    std::FILE *in = std::fopen(from.c_str(), "rb");
    if (!in) return false;
    std::FILE *out = std::fopen(to.c_str(), "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    static char buffer[1 << 16];
    bool ok = true;
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, in);
        if (got == 0) break;
        if (std::fwrite(buffer, 1, got, out) != got) ok = false;
    }
    std::fclose(in);
    return std::fclose(out) == 0 && ok;
}

bool save_durably(const std::string &path, const char *bytes, std::size_t length, const char *temp_path) {
    const std::string temp = temp_path ? std::string() : path + ".tmp";
    if (!temp_path) temp_path = temp.c_str();
    const int fd = open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t wrote = write(fd, bytes + done, length - done);
        if (wrote <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced && std::rename(temp_path, path.c_str()) == 0;
}

// ---- heap allocation count ---------------------------------------------------

namespace {
std::atomic<unsigned long long> allocation_count{0};
}

unsigned long long heap_allocations() { return allocation_count.load(std::memory_order_relaxed); }

#if defined(__GLIBC__)
bool heap_allocations_counted() { return true; }
#else
bool heap_allocations_counted() { return false; }
#endif

void note_allocation() noexcept { allocation_count.fetch_add(1, std::memory_order_relaxed); }

}  // namespace bench

#if defined(__GLIBC__)
// The executable's own malloc family wraps the C library's, so every
// allocation in the process, the library's and the runtime's on its behalf
// included, is counted.
extern "C" {
void *__libc_malloc(std::size_t size) noexcept;
void *__libc_calloc(std::size_t count, std::size_t size) noexcept;
void *__libc_realloc(void *block, std::size_t size) noexcept;

void *malloc(std::size_t size) noexcept {
    bench::note_allocation();
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) noexcept {
    bench::note_allocation();
    return __libc_calloc(count, size);
}
void *realloc(void *block, std::size_t size) noexcept {
    bench::note_allocation();
    return __libc_realloc(block, size);
}
}
#endif
