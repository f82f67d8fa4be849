// The benchmark program: generates the files, registers the floors, the
// library's workloads and the peers', and runs Google Benchmark over them.
// Extra flags, before Google Benchmark's own:
//   --bench_dir=DIR     where the generated files and their copies live
//   --bench_sizes=LIST  comma-separated labels of the sizes to run
//                       (1KiB,16KiB,1MiB,16MiB; all four by default)
#include "workloads.h"

#include "brantcfg.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

const char *const CHANGED_VALUES[2] = {"changed-to-a-longer-value-0001", "changed-to-a-much-longer-value-02"};
const char *const ADDED_KEY = "addedkey";
const char *const ADDED_VALUE = "added-value-abcdefgh";

std::string benchmark_name(const char *workload, const char *subject, const corpus_file &file) {
    return std::string(workload) + "/" + subject + "/" + file.label;
}

void allocation_meter::report(benchmark::State &state) const {
    if (!heap_allocations_counted()) return;
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(heap_allocations() - start_), benchmark::Counter::kAvgIterations);
}

work_copy::work_copy(const corpus_file &file, const std::string &subject) {
    path_ = file.path.substr(0, file.path.size() - 4) + "-" + subject + ".ini";
    restore_path_ = path_ + ".restore";
    std::ifstream in(file.path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    pristine_ = text.str();
    restore();
}

void work_copy::restore() const {
    if (!save_durably(path_, pristine_.data(), pristine_.size(), restore_path_.c_str())) {
        std::fprintf(stderr, "bench: cannot restore %s\n", path_.c_str());
        std::exit(1);
    }
}

namespace {

// ---- floors -------------------------------------------------------------------

// Bytes per read of the fread floor and the copy floor.
constexpr std::size_t CHUNK = 64 * 1024;
// The line buffer of the fgets floor: the library's own piece size.
constexpr int FGETS_BUFFER = 512;

void floor_fread_memchr(benchmark::State &state, const corpus_file *file) {
    std::vector<char> buffer(CHUNK);
    allocation_meter meter;
    for (auto _ : state) {
        std::FILE *in = std::fopen(file->path.c_str(), "rb");
        std::size_t lines = 0;
        for (;;) {
            const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
            if (got == 0) break;
            const char *at = buffer.data();
            const char *end = at + got;
            while (const void *found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
                ++lines;
                at = static_cast<const char *>(found) + 1;
            }
        }
        std::fclose(in);
        benchmark::DoNotOptimize(lines);
    }
    meter.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

// The least any reader of a small file pays: open it, read it whole with
// one buffer, close it. Nothing is looked at.
void floor_open_read_close(benchmark::State &state, const corpus_file *file) {
    std::vector<char> buffer(CHUNK);
    for (auto _ : state) {
        const int in = open(file->path.c_str(), O_RDONLY | O_CLOEXEC);
        std::size_t bytes = 0;
        for (ssize_t got; (got = read(in, buffer.data(), buffer.size())) > 0;) bytes += static_cast<std::size_t>(got);
        close(in);
        if (bytes != file->bytes) {
            state.SkipWithError("short read");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

void floor_fgets(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        std::FILE *in = std::fopen(file->path.c_str(), "rb");
        char line[FGETS_BUFFER];
        std::size_t lines = 0;
        while (std::fgets(line, sizeof line, in)) ++lines;
        std::fclose(in);
        benchmark::DoNotOptimize(lines);
    }
    meter.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

// Copies the file to a temporary one with read and write, syncs it and
// renames it over the file: the least a durable rewrite has to do. With
// sync_directory the directory is synced after the rename as well, which
// makes the rename itself survive a power loss.
void copy_fsync(benchmark::State &state, const corpus_file *file, bool sync_directory) {
    const work_copy work(*file, sync_directory ? "floor-dirsync" : "floor");
    const std::string directory = work.path().substr(0, work.path().rfind('/') + 1) + ".";
    const std::string temp = work.path() + "~";
    std::vector<char> buffer(CHUNK);
    for (auto _ : state) {
        const int in = open(work.path().c_str(), O_RDONLY | O_CLOEXEC);
        const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = in >= 0 && out >= 0;
        while (ok) {
            const ssize_t got = read(in, buffer.data(), buffer.size());
            if (got <= 0) {
                ok = got == 0;
                break;
            }
            ok = write(out, buffer.data(), static_cast<std::size_t>(got)) == got;
        }
        ok = ok && fsync(out) == 0;
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        ok = ok && std::rename(temp.c_str(), work.path().c_str()) == 0;
        if (ok && sync_directory) {
            const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ok = dir >= 0 && fsync(dir) == 0;
            if (dir >= 0) close(dir);
        }
        if (!ok) {
            state.SkipWithError("copy failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

void floor_copy_fsync(benchmark::State &state, const corpus_file *file) { copy_fsync(state, file, false); }

void floor_copy_fsync_dirsync(benchmark::State &state, const corpus_file *file) { copy_fsync(state, file, true); }

// ---- the library ----------------------------------------------------------------

void brantcfg_lookup(benchmark::State &state, const corpus_file *file) {
    char value[128];
    ini_gets(file->last_section.c_str(), file->last_key.c_str(), "", value, sizeof value, file->path.c_str());
    if (file->last_value != value) {
        state.SkipWithError("wrong value");
        return;
    }
    allocation_meter meter;
    for (auto _ : state) {
        const int length =
            ini_gets(file->last_section.c_str(), file->last_key.c_str(), "", value, sizeof value, file->path.c_str());
        benchmark::DoNotOptimize(length);
    }
    meter.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

int count_pair(const char *, const char *, const char *value, void *user_data) {
    *static_cast<std::size_t *>(user_data) += 1 + (value[0] != '\0');
    return 1;
}

void brantcfg_browse(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        std::size_t count = 0;
        ini_browse(count_pair, &count, file->path.c_str());
        benchmark::DoNotOptimize(count);
    }
    meter.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

void brantcfg_change(benchmark::State &state, const corpus_file *file) {
    const work_copy work(*file, "brantcfg");
    std::size_t round = 0;
    allocation_meter meter;
    for (auto _ : state) {
        if (ini_puts(file->middle_section.c_str(), file->middle_key.c_str(), CHANGED_VALUES[round++ % 2],
                     work.path().c_str()) != 1) {
            state.SkipWithError(std::strerror(errno));
            break;
        }
    }
    meter.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

// A key added to section, durably; the file is put back between calls,
// outside the time measured.
void add_key(benchmark::State &state, const corpus_file *file, const std::string &section) {
    const work_copy work(*file, "brantcfg");
    allocation_meter meter;
    for (auto _ : state) {
        if (ini_puts(section.c_str(), ADDED_KEY, ADDED_VALUE, work.path().c_str()) != 1) {
            state.SkipWithError(std::strerror(errno));
            break;
        }
        state.PauseTiming();
        work.restore();
        state.ResumeTiming();
    }
    meter.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

void brantcfg_add(benchmark::State &state, const corpus_file *file) { add_key(state, file, file->middle_section); }

// The last section runs to the end of the file: the new line is appended
// after the last byte.
void brantcfg_append(benchmark::State &state, const corpus_file *file) { add_key(state, file, file->last_section); }

void brantcfg_sections(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        char name[64];
        int count = 0;
        while (ini_getsection(count, name, sizeof name, file->path.c_str()) > 0) ++count;
        if (count != file->sections) {
            state.SkipWithError("wrong section count");
            break;
        }
    }
    meter.report(state);
}

std::vector<corpus_file> &files() {
    static std::vector<corpus_file> all;
    return all;
}

}  // namespace

void register_floors(const corpus_file &file) {
    benchmark::RegisterBenchmark(benchmark_name("floor", "fread_memchr", file).c_str(), floor_fread_memchr, &file)
        ->UseRealTime();
    benchmark::RegisterBenchmark(benchmark_name("floor", "fgets_512", file).c_str(), floor_fgets, &file)->UseRealTime();
    if (file.bytes <= SMALL_FILE)
        benchmark::RegisterBenchmark(benchmark_name("floor", "open_read_close", file).c_str(), floor_open_read_close,
                                     &file)
            ->UseRealTime();
    benchmark::RegisterBenchmark(benchmark_name("floor", "copy_fsync", file).c_str(), floor_copy_fsync, &file)
        ->UseRealTime();
    benchmark::RegisterBenchmark(benchmark_name("floor", "copy_fsync_dirsync", file).c_str(), floor_copy_fsync_dirsync,
                                 &file)
        ->UseRealTime();
}

void register_brantcfg(const corpus_file &file) {
    benchmark::RegisterBenchmark(benchmark_name("W1_lookup", "brantcfg", file).c_str(), brantcfg_lookup, &file)
        ->UseRealTime();
    benchmark::RegisterBenchmark(benchmark_name("W2_browse", "brantcfg", file).c_str(), brantcfg_browse, &file)
        ->UseRealTime();
    benchmark::RegisterBenchmark(benchmark_name("W3_change", "brantcfg", file).c_str(), brantcfg_change, &file)
        ->UseRealTime();
    benchmark::RegisterBenchmark(benchmark_name("W4_add", "brantcfg", file).c_str(), brantcfg_add, &file)
        ->UseRealTime();
    benchmark::RegisterBenchmark(benchmark_name("W6_append", "brantcfg", file).c_str(), brantcfg_append, &file)
        ->UseRealTime();
    if (file.bytes <= SMALL_FILE)
        benchmark::RegisterBenchmark(benchmark_name("W5_sections", "brantcfg", file).c_str(), brantcfg_sections, &file)
            ->UseRealTime();
}

}  // namespace bench

namespace {

struct size_choice {
    const char *label;
    std::size_t bytes;
};

constexpr size_choice SIZES[] = {
    {"1KiB", 1024},
    {"16KiB", 16 * 1024},
    {"1MiB", 1024 * 1024},
    {"16MiB", 16 * 1024 * 1024},
};

bool option(const char *arg, const char *name, std::string *value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0 || arg[length] != '=') return false;
    *value = arg + length + 1;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::string dir = ".";
    std::string sizes = "1KiB,16KiB,1MiB,16MiB";
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && (option(argv[i], "--bench_dir", &dir) || option(argv[i], "--bench_sizes", &sizes))) continue;
        rest.push_back(argv[i]);
    }
    mkdir(dir.c_str(), 0755);

    auto &all = bench::files();
    all.reserve(sizeof SIZES / sizeof SIZES[0]);
    for (const size_choice &size : SIZES) {
        if (("," + sizes + ",").find(std::string(",") + size.label + ",") == std::string::npos) continue;
        all.push_back(bench::make_corpus(dir, size.label, size.bytes));
    }
    for (const auto &file : all) {
        bench::register_floors(file);
        bench::register_brantcfg(file);
        bench::register_peers(file);
    }

    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;
    for (const auto &file : all)
        benchmark::AddCustomContext("file_" + file.label, std::to_string(file.bytes) + " bytes, " +
                                                              std::to_string(file.sections) + " sections");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
