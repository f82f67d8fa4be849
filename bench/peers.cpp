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
#  include <ini.h>
#endif
#if defined(BENCH_HAVE_SIMPLEINI)
#  include <SimpleIni.h>
#endif
#if defined(BENCH_HAVE_INIPARSER)
#  include <iniparser.h>
#endif
#if defined(BENCH_HAVE_GLIB)
#  include <glib.h>
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

// ---- whole-file parsers ------------------------------------------------------------
//
// SimpleIni, iniparser and GKeyFile load the whole file into a model in
// memory, so one set of workloads serves them all through a Model with:
//   bool load(path)                      parse the file
//   std::string get(section, key)        one value ("" when absent)
//   std::size_t pairs()                  visit every pair, counting them
//   int sections()                       list every section name, counting them
//   bool set(section, key, value)        change the model
//   bool save(path)                      write the whole file out durably

template <typename Model>
void model_lookup(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        Model model;
        if (!model.load(file->path) || model.get(file->last_section, file->last_key.c_str()) != file->last_value) {
            state.SkipWithError("wrong value");
            break;
        }
    }
    meter.report(state);
    count_bytes(state, file);
}

template <typename Model>
void model_query(benchmark::State &state, const corpus_file *file) {
    Model model;
    if (!model.load(file->path)) {
        state.SkipWithError("load failed");
        return;
    }
    allocation_meter meter;
    for (auto _ : state) {
        const std::string value = model.get(file->last_section, file->last_key.c_str());
        benchmark::DoNotOptimize(value.data());
    }
    meter.report(state);
}

template <typename Model>
void model_browse(benchmark::State &state, const corpus_file *file) {
    allocation_meter meter;
    for (auto _ : state) {
        Model model;
        if (!model.load(file->path)) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(model.pairs());
    }
    meter.report(state);
    count_bytes(state, file);
}

template <typename Model>
void model_sections(benchmark::State &state, const corpus_file *file) {
    for (auto _ : state) {
        Model model;
        if (!model.load(file->path) || model.sections() != file->sections) {
            state.SkipWithError("wrong section count");
            break;
        }
    }
}

// W3 alternates two values; W4 adds a key and puts the pristine file back
// outside the timing.
template <typename Model>
void model_write(benchmark::State &state, const corpus_file *file, const char *subject, bool adding) {
    const work_copy work(*file, subject);
    std::size_t round = 0;
    for (auto _ : state) {
        const char *key = adding ? ADDED_KEY : file->middle_key.c_str();
        const char *value = adding ? ADDED_VALUE : CHANGED_VALUES[round++ % 2];
        Model model;
        if (!model.load(work.path()) || !model.set(file->middle_section, key, value) || !model.save(work.path())) {
            state.SkipWithError("load, set or save failed");
            break;
        }
        if (adding) {
            state.PauseTiming();
            work.restore();
            state.ResumeTiming();
        }
    }
    count_bytes(state, file);
}

template <typename Model>
void register_model(const char *subject, const corpus_file &file) {
    const std::string name = subject;
    add("W1_lookup", (name + "_parse_per_lookup").c_str(), file, model_lookup<Model>);
    add("W1_lookup", (name + "_parse_once").c_str(), file, model_query<Model>);
    add("W2_browse", subject, file, model_browse<Model>);
    add("W3_change", subject, file,
        [subject](benchmark::State &state, const corpus_file *f) { model_write<Model>(state, f, subject, false); });
    add("W4_add", subject, file,
        [subject](benchmark::State &state, const corpus_file *f) { model_write<Model>(state, f, subject, true); });
    if (file.bytes <= SMALL_FILE) add("W5_sections", subject, file, model_sections<Model>);
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

// ---- SimpleIni: C++ containers ------------------------------------------------------

#if defined(BENCH_HAVE_SIMPLEINI)

struct simpleini_model {
    CSimpleIniA ini;
    bool load(const std::string &path) { return ini.LoadFile(path.c_str()) == SI_OK; }
    std::string get(const std::string &section, const char *key) const {
        return ini.GetValue(section.c_str(), key, "");
    }
    std::size_t pairs() const {
        CSimpleIniA::TNamesDepend sections;
        ini.GetAllSections(sections);
        std::size_t count = 0;
        for (const auto &section : sections) {
            CSimpleIniA::TNamesDepend keys;
            ini.GetAllKeys(section.pItem, keys);
            for (const auto &key : keys) count += 1 + (ini.GetValue(section.pItem, key.pItem, "")[0] != '\0');
        }
        return count;
    }
    int sections() const {
        CSimpleIniA::TNamesDepend names;
        ini.GetAllSections(names);
        return static_cast<int>(names.size());
    }
    bool set(const std::string &section, const char *key, const char *value) {
        return ini.SetValue(section.c_str(), key, value) >= 0;
    }
    bool save(const std::string &path) const {
        std::string text;
        return ini.Save(text) == SI_OK && save_durably(path, text.data(), text.size());
    }
};

#endif

// ---- iniparser: a dictionary keyed "section:key" --------------------------------

#if defined(BENCH_HAVE_INIPARSER)

// Its load grows faster than the file (1.3 s at 1 MiB here), so the
// largest file would take minutes per call: it runs up to 1 MiB only.
constexpr std::size_t INIPARSER_LARGEST = 1024 * 1024 + 64 * 1024;

struct iniparser_model {
    dictionary *dict = nullptr;
    iniparser_model() = default;
    iniparser_model(const iniparser_model &) = delete;
    iniparser_model &operator=(const iniparser_model &) = delete;
    ~iniparser_model() {
        if (dict) iniparser_freedict(dict);
    }
    static std::string entry(const std::string &section, const char *key) { return section + ":" + key; }
    bool load(const std::string &path) { return (dict = iniparser_load(path.c_str())) != nullptr; }
    std::string get(const std::string &section, const char *key) const {
        return iniparser_getstring(dict, entry(section, key).c_str(), "");
    }
    std::size_t pairs() const {
        std::size_t count = 0;
        const int sections = iniparser_getnsec(dict);
        const char *keys[KEYS_PER_SECTION * 2];
        for (int s = 0; s < sections; ++s) {
            const char *section = iniparser_getsecname(dict, s);
            const int key_count = iniparser_getsecnkeys(dict, section);
            if (key_count > KEYS_PER_SECTION * 2) continue;
            iniparser_getseckeys(dict, section, keys);
            for (int k = 0; k < key_count; ++k) count += 1 + (iniparser_getstring(dict, keys[k], "")[0] != '\0');
        }
        return count;
    }
    int sections() const {
        const int count = iniparser_getnsec(dict);
        std::size_t length = 0;
        for (int s = 0; s < count; ++s) length += std::strlen(iniparser_getsecname(dict, s));
        benchmark::DoNotOptimize(length);
        return count;
    }
    bool set(const std::string &section, const char *key, const char *value) {
        return iniparser_set(dict, entry(section, key).c_str(), value) == 0;
    }
    bool save(const std::string &path) const {
        const std::string temp = path + ".tmp";
        std::FILE *out = std::fopen(temp.c_str(), "wb");
        if (!out) return false;
        iniparser_dump_ini(dict, out);
        const bool synced = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
        return std::fclose(out) == 0 && synced && std::rename(temp.c_str(), path.c_str()) == 0;
    }
};

#endif

// ---- GLib GKeyFile ----------------------------------------------------------------

#if defined(BENCH_HAVE_GLIB)

struct gkeyfile_model {
    GKeyFile *keys = g_key_file_new();
    gkeyfile_model() = default;
    gkeyfile_model(const gkeyfile_model &) = delete;
    gkeyfile_model &operator=(const gkeyfile_model &) = delete;
    ~gkeyfile_model() { g_key_file_free(keys); }
    bool load(const std::string &path) {
        return g_key_file_load_from_file(keys, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    }
    std::string get(const std::string &section, const char *key) const {
        gchar *value = g_key_file_get_string(keys, section.c_str(), key, nullptr);
        std::string text = value ? value : "";
        g_free(value);
        return text;
    }
    std::size_t pairs() const {
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
        return count;
    }
    int sections() const {
        gsize count = 0;
        g_strfreev(g_key_file_get_groups(keys, &count));
        return static_cast<int>(count);
    }
    bool set(const std::string &section, const char *key, const char *value) {
        g_key_file_set_string(keys, section.c_str(), key, value);
        return true;
    }
    bool save(const std::string &path) const {
        gsize length = 0;
        gchar *text = g_key_file_to_data(keys, &length, nullptr);
        const bool saved = text && save_durably(path, text, length);
        g_free(text);
        return saved;
    }
};

#endif

}  // namespace

void register_peers(const corpus_file &file) {
    (void)file;
#if defined(BENCH_HAVE_INIH)
    register_inih(file);
#endif
#if defined(BENCH_HAVE_SIMPLEINI)
    register_model<simpleini_model>("simpleini", file);
#endif
#if defined(BENCH_HAVE_INIPARSER)
    if (file.bytes <= INIPARSER_LARGEST) register_model<iniparser_model>("iniparser", file);
#endif
#if defined(BENCH_HAVE_GLIB)
    register_model<gkeyfile_model>("gkeyfile", file);
#endif
}

}  // namespace bench
