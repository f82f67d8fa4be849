// The same workloads through the parsers users pick instead. Each one is
// compiled only when its development package was found. Whole-file parsers
// run W1 both ways: parsing the file for every lookup, and parsing it once
// and then only querying. Their durable writes load the file, change it in
// memory, write the whole file out, sync it and rename it over the old one.
#include "workloads.h"

#include <cstdlib>
#include <cstring>
#include <string>

#if defined(BENCH_HAVE_INIH)
#include <ini.h>
#endif
#if defined(BENCH_HAVE_SIMPLEINI)
#include <SimpleIni.h>
#endif
#if defined(BENCH_HAVE_INIPARSER)
#include <iniparser.h>
#endif
#if defined(BENCH_HAVE_GLIB)
#include <glib.h>
#endif

#include <fcntl.h>
#include <unistd.h>

namespace bench {
namespace {

// Registers one benchmark under the shared naming scheme.
template <typename Function>
void add(const char *workload, const char *subject, const corpus_file &file, Function function) {
    benchmark::RegisterBenchmark(benchmark_name(workload, subject, file).c_str(), function, &file)->UseRealTime();
}

void count_bytes(benchmark::State &state, const corpus_file *file) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->bytes));
}

// ---- inih: a callback per pair; no writer -----------------------------------------

#if defined(BENCH_HAVE_INIH)

struct inih_query {
    const char *section;
    const char *key;
    std::string value;
    bool found = false;
};

int inih_find(void *user, const char *section, const char *name, const char *value) {
    auto *query = static_cast<inih_query *>(user);
    if (!query->found && std::strcmp(section, query->section) == 0 && std::strcmp(name, query->key) == 0) {
        query->value = value;
        query->found = true;
    }
    return 1;
}

int inih_count(void *user, const char *, const char *, const char *value) {
    *static_cast<std::size_t *>(user) += 1 + (value[0] != '\0');
    return 1;
}

struct inih_sections {
    std::string last;
    int count = 0;
};

int inih_section(void *user, const char *section, const char *, const char *) {
    auto *seen = static_cast<inih_sections *>(user);
    if (seen->count == 0 || seen->last != section) {
        seen->last = section;
        ++seen->count;
    }
    return 1;
}

void inih_lookup(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        inih_query query{file->last_section.c_str(), file->last_key.c_str(), {}};
        ini_parse(file->path.c_str(), inih_find, &query);
        if (query.value != file->last_value) {
            state.SkipWithError("wrong value");
            break;
        }
    }
    meter.report(state);
    count_bytes(state, file);
}

void inih_browse(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        std::size_t count = 0;
        ini_parse(file->path.c_str(), inih_count, &count);
        benchmark::DoNotOptimize(count);
    }
    meter.report(state);
    count_bytes(state, file);
}

void inih_list_sections(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        inih_sections seen;
        ini_parse(file->path.c_str(), inih_section, &seen);
        if (seen.count != file->sections) {
            state.SkipWithError("wrong section count");
            break;
        }
    }
    meter.report(state);
}

void register_inih(const corpus_file &file) {
    add("W1_lookup", "inih_parse_per_lookup", file, inih_lookup);
    add("W2_browse", "inih", file, inih_browse);
    if (file.bytes <= SMALL_FILE) add("W5_sections", "inih", file, inih_list_sections);
}

#endif

// ---- SimpleIni: a whole-file model in C++ containers ------------------------------

#if defined(BENCH_HAVE_SIMPLEINI)

bool simpleini_load(CSimpleIniA &ini, const corpus_file *file, const std::string &path) {
    (void)file;
    return ini.LoadFile(path.c_str()) == SI_OK;
}

bool simpleini_save(CSimpleIniA &ini, const std::string &path) {
    std::string text;
    return ini.Save(text) == SI_OK && save_durably(path, text.data(), text.size());
}

void simpleini_lookup(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        CSimpleIniA ini;
        simpleini_load(ini, file, file->path);
        const char *value = ini.GetValue(file->last_section.c_str(), file->last_key.c_str(), "");
        if (file->last_value != value) {
            state.SkipWithError("wrong value");
            break;
        }
    }
    meter.report(state);
    count_bytes(state, file);
}

void simpleini_query(benchmark::State &state, const corpus_file *file) {
    CSimpleIniA ini;
    simpleini_load(ini, file, file->path);
    allocation_meter meter;
    for (auto _ : state) {
        const char *value = ini.GetValue(file->last_section.c_str(), file->last_key.c_str(), "");
        benchmark::DoNotOptimize(value);
    }
    meter.report(state);
}

void simpleini_browse(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        CSimpleIniA ini;
        simpleini_load(ini, file, file->path);
        CSimpleIniA::TNamesDepend sections;
        ini.GetAllSections(sections);
        std::size_t count = 0;
        for (const auto &section : sections) {
            CSimpleIniA::TNamesDepend keys;
            ini.GetAllKeys(section.pItem, keys);
            for (const auto &key : keys) {
                const char *value = ini.GetValue(section.pItem, key.pItem, "");
                count += 1 + (value[0] != '\0');
            }
        }
        benchmark::DoNotOptimize(count);
    }
    meter.report(state);
    count_bytes(state, file);
}

void simpleini_change(benchmark::State &state, const corpus_file *file) {
    const work_copy work(*file, "simpleini");
    std::size_t round = 0;
    for (auto _ : state) {
        CSimpleIniA ini;
        simpleini_load(ini, file, work.path());
        ini.SetValue(file->middle_section.c_str(), file->middle_key.c_str(), CHANGED_VALUES[round++ % 2]);
        if (!simpleini_save(ini, work.path())) {
            state.SkipWithError("save failed");
            break;
        }
    }
    count_bytes(state, file);
}

void simpleini_add(benchmark::State &state, const corpus_file *file) {
    const work_copy work(*file, "simpleini");
    for (auto _ : state) {
        CSimpleIniA ini;
        simpleini_load(ini, file, work.path());
        ini.SetValue(file->middle_section.c_str(), ADDED_KEY, ADDED_VALUE);
        if (!simpleini_save(ini, work.path())) {
            state.SkipWithError("save failed");
            break;
        }
        state.PauseTiming();
        work.restore();
        state.ResumeTiming();
    }
    count_bytes(state, file);
}

void simpleini_sections(benchmark::State &state, const corpus_file *file) {
    for (auto _ : state) {
        CSimpleIniA ini;
        simpleini_load(ini, file, file->path);
        CSimpleIniA::TNamesDepend sections;
        ini.GetAllSections(sections);
        if (static_cast<int>(sections.size()) != file->sections) {
            state.SkipWithError("wrong section count");
            break;
        }
    }
}

void register_simpleini(const corpus_file &file) {
    add("W1_lookup", "simpleini_parse_per_lookup", file, simpleini_lookup);
    add("W1_lookup", "simpleini_parse_once", file, simpleini_query);
    add("W2_browse", "simpleini", file, simpleini_browse);
    add("W3_change", "simpleini", file, simpleini_change);
    add("W4_add", "simpleini", file, simpleini_add);
    if (file.bytes <= SMALL_FILE) add("W5_sections", "simpleini", file, simpleini_sections);
}

#endif

// ---- iniparser: a dictionary keyed "section:key" --------------------------------

#if defined(BENCH_HAVE_INIPARSER)

std::string iniparser_entry(const std::string &section, const char *key) { return section + ":" + key; }

bool iniparser_save(const dictionary *dict, const std::string &path) {
    const std::string temp = path + ".tmp";
    std::FILE *out = std::fopen(temp.c_str(), "wb");
    if (!out) return false;
    iniparser_dump_ini(dict, out);
    const bool synced = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
    return std::fclose(out) == 0 && synced && std::rename(temp.c_str(), path.c_str()) == 0;
}

void iniparser_lookup(benchmark::State &state, const corpus_file *file) {
    const std::string entry = iniparser_entry(file->last_section, file->last_key.c_str());
    allocation_meter meter;
    for (auto _ : state) {
        dictionary *dict = iniparser_load(file->path.c_str());
        const char *value = iniparser_getstring(dict, entry.c_str(), "");
        const bool right = file->last_value == value;
        iniparser_freedict(dict);
        if (!right) {
            state.SkipWithError("wrong value");
            break;
        }
    }
    meter.report(state);
    count_bytes(state, file);
}

void iniparser_query(benchmark::State &state, const corpus_file *file) {
    const std::string entry = iniparser_entry(file->last_section, file->last_key.c_str());
    dictionary *dict = iniparser_load(file->path.c_str());
    allocation_meter meter;
    for (auto _ : state) {
        const char *value = iniparser_getstring(dict, entry.c_str(), "");
        benchmark::DoNotOptimize(value);
    }
    meter.report(state);
    iniparser_freedict(dict);
}

void iniparser_browse(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        dictionary *dict = iniparser_load(file->path.c_str());
        std::size_t count = 0;
        const int sections = iniparser_getnsec(dict);
        const char *keys[KEYS_PER_SECTION * 2];
        for (int s = 0; s < sections; ++s) {
            const char *section = iniparser_getsecname(dict, s);
            const int key_count = iniparser_getsecnkeys(dict, section);
            if (key_count > KEYS_PER_SECTION * 2) continue;
            iniparser_getseckeys(dict, section, keys);
            for (int k = 0; k < key_count; ++k) {
                const char *value = iniparser_getstring(dict, keys[k], "");
                count += 1 + (value[0] != '\0');
            }
        }
        iniparser_freedict(dict);
        benchmark::DoNotOptimize(count);
    }
    meter.report(state);
    count_bytes(state, file);
}

void iniparser_change(benchmark::State &state, const corpus_file *file) {
    const work_copy work(*file, "iniparser");
    const std::string entry = iniparser_entry(file->middle_section, file->middle_key.c_str());
    std::size_t round = 0;
    for (auto _ : state) {
        dictionary *dict = iniparser_load(work.path().c_str());
        iniparser_set(dict, entry.c_str(), CHANGED_VALUES[round++ % 2]);
        const bool saved = iniparser_save(dict, work.path());
        iniparser_freedict(dict);
        if (!saved) {
            state.SkipWithError("save failed");
            break;
        }
    }
    count_bytes(state, file);
}

void iniparser_add(benchmark::State &state, const corpus_file *file) {
    const work_copy work(*file, "iniparser");
    const std::string entry = iniparser_entry(file->middle_section, ADDED_KEY);
    for (auto _ : state) {
        dictionary *dict = iniparser_load(work.path().c_str());
        iniparser_set(dict, entry.c_str(), ADDED_VALUE);
        const bool saved = iniparser_save(dict, work.path());
        iniparser_freedict(dict);
        if (!saved) {
            state.SkipWithError("save failed");
            break;
        }
        state.PauseTiming();
        work.restore();
        state.ResumeTiming();
    }
    count_bytes(state, file);
}

void iniparser_sections(benchmark::State &state, const corpus_file *file) {
    for (auto _ : state) {
        dictionary *dict = iniparser_load(file->path.c_str());
        const int sections = iniparser_getnsec(dict);
        std::size_t length = 0;
        for (int s = 0; s < sections; ++s) length += std::strlen(iniparser_getsecname(dict, s));
        iniparser_freedict(dict);
        benchmark::DoNotOptimize(length);
        if (sections != file->sections) {
            state.SkipWithError("wrong section count");
            break;
        }
    }
}

// Its load grows faster than the file (1.3 s at 1 MiB here), so the
// largest file would take minutes per call: it runs up to 1 MiB only.
constexpr std::size_t INIPARSER_LARGEST = 1024 * 1024 + 64 * 1024;

void register_iniparser(const corpus_file &file) {
    if (file.bytes > INIPARSER_LARGEST) return;
    add("W1_lookup", "iniparser_parse_per_lookup", file, iniparser_lookup);
    add("W1_lookup", "iniparser_parse_once", file, iniparser_query);
    add("W2_browse", "iniparser", file, iniparser_browse);
    add("W3_change", "iniparser", file, iniparser_change);
    add("W4_add", "iniparser", file, iniparser_add);
    if (file.bytes <= SMALL_FILE) add("W5_sections", "iniparser", file, iniparser_sections);
}

#endif

// ---- GLib GKeyFile ----------------------------------------------------------------

#if defined(BENCH_HAVE_GLIB)

GKeyFile *gkeyfile_load(const std::string &path) {
    GKeyFile *keys = g_key_file_new();
    if (!g_key_file_load_from_file(keys, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr)) {
        g_key_file_free(keys);
        return nullptr;
    }
    return keys;
}

bool gkeyfile_save(GKeyFile *keys, const std::string &path) {
    gsize length = 0;
    gchar *text = g_key_file_to_data(keys, &length, nullptr);
    const bool saved = text && save_durably(path, text, length);
    g_free(text);
    return saved;
}

void gkeyfile_lookup(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        GKeyFile *keys = gkeyfile_load(file->path);
        gchar *value = keys ? g_key_file_get_string(keys, file->last_section.c_str(), file->last_key.c_str(), nullptr)
                            : nullptr;
        const bool right = value && file->last_value == value;
        g_free(value);
        if (keys) g_key_file_free(keys);
        if (!right) {
            state.SkipWithError("wrong value");
            break;
        }
    }
    meter.report(state);
    count_bytes(state, file);
}

void gkeyfile_query(benchmark::State &state, const corpus_file *file) {
    GKeyFile *keys = gkeyfile_load(file->path);
    if (!keys) {
        state.SkipWithError("load failed");
        return;
    }
    allocation_meter meter;
    for (auto _ : state) {
        gchar *value = g_key_file_get_string(keys, file->last_section.c_str(), file->last_key.c_str(), nullptr);
        benchmark::DoNotOptimize(value);
        g_free(value);
    }
    meter.report(state);
    g_key_file_free(keys);
}

void gkeyfile_browse(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        GKeyFile *keys = gkeyfile_load(file->path);
        if (!keys) {
            state.SkipWithError("load failed");
            break;
        }
        std::size_t count = 0;
        gchar **groups = g_key_file_get_groups(keys, nullptr);
        for (gchar **group = groups; *group; ++group) {
            gchar **names = g_key_file_get_keys(keys, *group, nullptr, nullptr);
            for (gchar **name = names; name && *name; ++name) {
                gchar *value = g_key_file_get_value(keys, *group, *name, nullptr);
                count += 1 + (value && value[0] != '\0');
                g_free(value);
            }
            g_strfreev(names);
        }
        g_strfreev(groups);
        g_key_file_free(keys);
        benchmark::DoNotOptimize(count);
    }
    meter.report(state);
    count_bytes(state, file);
}

void gkeyfile_change(benchmark::State &state, const corpus_file *file) {
    const work_copy work(*file, "gkeyfile");
    std::size_t round = 0;
    for (auto _ : state) {
        GKeyFile *keys = gkeyfile_load(work.path());
        if (!keys) {
            state.SkipWithError("load failed");
            break;
        }
        g_key_file_set_string(keys, file->middle_section.c_str(), file->middle_key.c_str(),
                              CHANGED_VALUES[round++ % 2]);
        const bool saved = gkeyfile_save(keys, work.path());
        g_key_file_free(keys);
        if (!saved) {
            state.SkipWithError("save failed");
            break;
        }
    }
    count_bytes(state, file);
}

void gkeyfile_add(benchmark::State &state, const corpus_file *file) {
    const work_copy work(*file, "gkeyfile");
    for (auto _ : state) {
        GKeyFile *keys = gkeyfile_load(work.path());
        if (!keys) {
            state.SkipWithError("load failed");
            break;
        }
        g_key_file_set_string(keys, file->middle_section.c_str(), ADDED_KEY, ADDED_VALUE);
        const bool saved = gkeyfile_save(keys, work.path());
        g_key_file_free(keys);
        if (!saved) {
            state.SkipWithError("save failed");
            break;
        }
        state.PauseTiming();
        work.restore();
        state.ResumeTiming();
    }
    count_bytes(state, file);
}

void gkeyfile_sections(benchmark::State &state, const corpus_file *file) {
    for (auto _ : state) {
        GKeyFile *keys = gkeyfile_load(file->path);
        gsize count = 0;
        gchar **groups = keys ? g_key_file_get_groups(keys, &count) : nullptr;
        g_strfreev(groups);
        if (keys) g_key_file_free(keys);
        if (static_cast<int>(count) != file->sections) {
            state.SkipWithError("wrong section count");
            break;
        }
    }
}

void register_gkeyfile(const corpus_file &file) {
    add("W1_lookup", "gkeyfile_parse_per_lookup", file, gkeyfile_lookup);
    add("W1_lookup", "gkeyfile_parse_once", file, gkeyfile_query);
    add("W2_browse", "gkeyfile", file, gkeyfile_browse);
    add("W3_change", "gkeyfile", file, gkeyfile_change);
    add("W4_add", "gkeyfile", file, gkeyfile_add);
    if (file.bytes <= SMALL_FILE) add("W5_sections", "gkeyfile", file, gkeyfile_sections);
}

#endif

}  // namespace

void register_peers(const corpus_file &file) {
    (void)file;
#if defined(BENCH_HAVE_INIH)
    register_inih(file);
#endif
#if defined(BENCH_HAVE_SIMPLEINI)
    register_simpleini(file);
#endif
#if defined(BENCH_HAVE_INIPARSER)
    register_iniparser(file);
#endif
#if defined(BENCH_HAVE_GLIB)
    register_gkeyfile(file);
#endif
}

}  // namespace bench
