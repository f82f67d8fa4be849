// Registration of every benchmark. Names read "<workload>/<subject>/<size>",
// which bench/plot.py splits again. Every one is timed in wall-clock time,
// since syncs wait without using the processor:
//   floor/fread_memchr, floor/fgets_512, floor/open_read_close (small
//   files only), floor/copy_fsync, floor/copy_fsync_dirsync
//                              the machine's floors
//   W1_lookup   a key in the last section
//   W2_browse   every pair
//   W3_change   one key of the middle section to a longer value, durably
//   W4_add      a key added to the middle section, durably
//   W5_sections every section name by index (small files only)
//   W6_append   a key added to the last section, at the end of the file, durably
#ifndef BRANTCFG_BENCH_WORKLOADS_H
#define BRANTCFG_BENCH_WORKLOADS_H

#include "corpus.h"

#include <benchmark/benchmark.h>

#include <string>

namespace bench {

// Files at or below this size also run W5.
constexpr std::size_t SMALL_FILE = 64 * 1024;

// The values W3 alternates between: both longer than any generated value
// and of different lengths, so every call really rewrites the file.
extern const char *const CHANGED_VALUES[2];
// The key W4 adds and its value.
extern const char *const ADDED_KEY;
extern const char *const ADDED_VALUE;

// A private copy of the file for one writing benchmark, in the same
// directory; restore() puts the pristine bytes back durably, without heap
// allocations, so it can run inside a measured loop.
struct work_copy {
    work_copy(const corpus_file &file, const std::string &subject);
    const std::string &path() const { return path_; }
    void restore() const;

private:
    std::string path_;
    std::string restore_path_;
    std::string pristine_;
};

std::string benchmark_name(const char *workload, const char *subject, const corpus_file &file);

// Counts heap allocations over a benchmark's timed loop and reports them per
// iteration as the counter "allocs".
struct allocation_meter {
    allocation_meter() : start_(heap_allocations()) {}
    void report(benchmark::State &state) const;

private:
    unsigned long long start_;
};

void register_floors(const corpus_file &file);
void register_brantcfg(const corpus_file &file);
void register_peers(const corpus_file &file);

}  // namespace bench

#endif
