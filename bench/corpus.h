// The generated files every benchmark reads or rewrites, and the helpers the
// benchmarks share: durable whole-file saves for the peers, and a count of
// heap allocations made during a call.
#ifndef BRANTCFG_BENCH_CORPUS_H
#define BRANTCFG_BENCH_CORPUS_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// Keys in every generated section.
constexpr int KEYS_PER_SECTION = 20;

// One generated file: sections of KEYS_PER_SECTION keys, lines of about 30
// bytes ending in CR LF, a comment line every few keys and an empty line
// between sections.
struct corpus_file {
    std::string label;       // "16KiB", "1MiB", "16MiB"
    std::size_t target = 0;  // size asked for
    std::size_t bytes = 0;   // size made
    std::string path;        // the pristine file; benchmarks that write use copies
    int sections = 0;
    std::string last_section, last_key, last_value;  // the last key of the last section
    std::string middle_section;                      // the section in the middle of the file
    std::string middle_key, middle_value;            // the middle key of that section
};

// Name of section i and key k, and the value stored for them.
std::string section_name(int section);
std::string key_name(int key);
std::string value_text(int section, int key);

// Creates (or reuses, when it is there with the right size) the file of at
// least target bytes in directory dir.
corpus_file make_corpus(const std::string &dir, const std::string &label, std::size_t target);

// Copies from to to, replacing it (no sync: set-up only).
bool copy_file(const std::string &from, const std::string &to);

// Saves bytes as path durably: written to temp_path (path + ".tmp" when
// not given), synced, renamed over path. What a program using a whole-file
// parser does to save.
bool save_durably(const std::string &path, const char *bytes, std::size_t length, const char *temp_path = nullptr);

// Heap allocations (malloc, calloc, realloc) the process has made so far;
// 0 forever where they cannot be counted.
unsigned long long heap_allocations();
bool heap_allocations_counted();

}  // namespace bench

#endif
