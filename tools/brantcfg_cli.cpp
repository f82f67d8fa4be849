// brantcfg: reads and changes INI files from a shell.
//
// Every verb reads and writes the INI content through the library's ten
// exports and nothing else; the tool adds argument handling, output formats
// and exit statuses around them. The file reads top to bottom:
//   statuses     - exit statuses and the failures that carry them
//   output       - standard output with its write errors kept for the end
//   files        - what the system says about a path, stdin as a file
//   reading      - values, names and pairs through the exports
//   verbs        - get, set, del, sections, keys, dump, merge
//   arguments    - the command line, help and version
#include <brantcfg.h>

#include "formats.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace brantcfg_tool {
namespace {

// ---- statuses ---------------------------------------------------------------

enum class exit_status : int {
    ok = 0,          // the verb did what was asked
    not_found = 1,   // get or keys found nothing
    usage = 2,       // the command line is wrong
    file_error = 3,  // a file, or standard output, could not be read or written
};

// Why a verb stops early: the status to exit with and a one-line message.
struct failure {
    exit_status status;
    std::string message;
};

[[noreturn]] void fail_usage(std::string message) {
    throw failure{exit_status::usage, std::move(message)};
}

[[noreturn]] void fail_file(const char *action, const std::string &path, int cause) {
    throw failure{exit_status::file_error, std::string("cannot ") + action + " " + path + ": " +
                                               std::strerror(cause != 0 ? cause : EIO)};
}

// ---- output -----------------------------------------------------------------

// Standard output. The first failed write is kept (later writes are
// skipped) so that it is reported once, after the final flush, which is
// where a full disk usually shows.
class output {
public:
    void write(std::string_view text) {
        if (text.empty() || cause_ != 0) return;
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) cause_ = errno != 0 ? errno : EIO;
    }
    void line(std::string_view text) {
        write(text);
        write("\n");
    }
    // Flushes what is buffered; returns the cause of the first failure, or 0.
    [[nodiscard]] int finish() {
        if (std::fflush(stdout) != 0 && cause_ == 0) cause_ = errno != 0 ? errno : EIO;
        return cause_;
    }

private:
    int cause_ = 0;
};

// ---- files ------------------------------------------------------------------

enum class presence { missing, present };

// The exports answer a missing file and one that cannot be read alike (a
// getter returns its default, a directory even reads as an empty file), so
// the tool asks the system which case a path is in before a verb starts.
// Only "no such file" counts as missing. O_NONBLOCK keeps a FIFO without a
// writer from holding the check up; nothing is read.
presence check_path(const std::string &path, const char *action) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return presence::missing;
        fail_file(action, path, errno);
    }
    struct stat status {};
    const int stat_result = fstat(fd, &status);
    const int cause = errno;
    close(fd);
    if (stat_result != 0) fail_file(action, path, cause);
    if (S_ISDIR(status.st_mode)) fail_file(action, path, EISDIR);
    return presence::present;
}

// A file's bytes, or nothing when it does not exist. Only --verbose reads
// them, to tell whether a change left the file as it was.
std::optional<std::string> file_bytes(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, count);
    std::fclose(file);  // read-only: closing it cannot lose data
    return bytes;
}

// A temporary file that holds a copy of standard input, since the exports
// read files by path; removed when the verb ends, however it ends.
class stdin_copy {
public:
    stdin_copy() {
        const char *dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/brantcfg-stdin-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0) fail_file("write", pattern, errno);
        path_ = pattern;
        fd_ = fd;
    }
    stdin_copy(const stdin_copy &) = delete;
    stdin_copy &operator=(const stdin_copy &) = delete;
    ~stdin_copy() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
    }

    // Copies all of standard input; returns the copy's path.
    const std::string &fill() {
        char chunk[65536];
        for (;;) {
            const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
            if (count == 0) break;
            if (count < 0) {
                if (errno == EINTR) continue;
                fail_file("read", "standard input", errno);
            }
            for (ssize_t done = 0; done < count;) {
                const ssize_t written = ::write(fd_, chunk + done, static_cast<std::size_t>(count - done));
                if (written < 0 && errno == EINTR) continue;
                if (written < 0) fail_file("write", path_, errno);
                done += written;
            }
        }
        // A close that fails may have lost the tail of the copy.
        const int result = close(fd_);
        fd_ = -1;
        if (result != 0) fail_file("write", path_, errno);
        return path_;
    }

private:
    std::string path_;
    int fd_ = -1;
};

// ---- reading ----------------------------------------------------------------

// Room for one value or name: nothing the library reads back is longer
// than 511 bytes.
constexpr int TEXT_BUFFER_SIZE = 512;

// ini_gets returns only a length, so an absent key and an empty value would
// look alike. Its default here is a lone line feed, which no stored value
// can hold: the library reads a file in pieces that end at a line feed and
// drops the blanks at a value's end, the line feed among them. Getting the
// line feed back therefore means "absent".
constexpr char ABSENT[] = "\n";

std::optional<std::string> read_value(const std::string &path, const std::string &section,
                                      const std::string &key) {
    char buffer[TEXT_BUFFER_SIZE];
    const int length = ini_gets(section.c_str(), key.c_str(), ABSENT, buffer, sizeof buffer, path.c_str());
    if (std::strcmp(buffer, ABSENT) == 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

// Names listed by position until the library reports an empty one, each
// name once (names match without regard to ASCII case, as lookups do). The
// library reports a "[]" header or a "=value" line like the end of the list,
// so names after one are not listed. Each position is a scan from the
// file's start: listing n names reads the file up to n times.
template <typename Name_at>
std::vector<std::string> distinct_names(Name_at name_at) {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    char buffer[TEXT_BUFFER_SIZE];
    for (int index = 0; name_at(index, buffer, static_cast<int>(sizeof buffer)) > 0; ++index) {
        std::string folded = buffer;
        for (char &c : folded)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (seen.insert(folded).second) names.emplace_back(buffer);
    }
    return names;
}

struct collected {
    std::vector<entry> entries;
    bool out_of_memory = false;
};

// Nothing may be thrown through the library: a failed allocation stops the
// walk and is reported after it.
int BRANTCFG_CALL collect_entry(const char *section, const char *key, const char *value, void *user_data) {
    auto *list = static_cast<collected *>(user_data);
    try {
        list->entries.push_back(entry{section, key, value});
        return 1;
    } catch (...) {
        list->out_of_memory = true;
        return 0;
    }
}

// Every pair of the file at path, in file order; name is what messages
// call it.
std::vector<entry> read_entries(const std::string &path, const std::string &name) {
    collected list;
    errno = 0;
    if (!ini_browse(collect_entry, &list, path.c_str())) fail_file("read", name, errno);
    if (list.out_of_memory) fail_file("read", name, ENOMEM);
    return std::move(list.entries);
}

// ---- verbs ------------------------------------------------------------------

enum class value_type { string, integer, real, truth };

struct arguments {
    std::string verb;
    std::string file;
    std::string section;
    std::string key;
    bool has_key = false;
    std::string value;
    std::string source = "-";
    std::optional<std::string> fallback;  // --default, in the form get prints
    value_type type = value_type::string;
    dump_format format = dump_format::ini;
    bool verbose = false;
};

// The value get prints, converted the way the typed getters convert; nothing
// when the key is absent or, for a typed read, its value is empty or (bool)
// no truth value.
std::optional<std::string> typed_value(const arguments &a) {
    const char *section = a.section.c_str();
    const char *key = a.key.c_str();
    const char *path = a.file.c_str();
    if (a.type == value_type::truth) {
        const int truth = ini_getbool(section, key, -1, path);
        if (truth < 0) return std::nullopt;
        return std::string(truth ? "1" : "0");
    }
    std::optional<std::string> text = read_value(a.file, a.section, a.key);
    if (!text || a.type == value_type::string) return text;
    // The number getters give their default for an empty value.
    if (text->empty()) return std::nullopt;
    if (a.type == value_type::integer) return std::to_string(ini_getl(section, key, 0, path));
    return float_text(ini_getf(section, key, 0.0f, path));
}

exit_status run_get(const arguments &a, output &out) {
    std::optional<std::string> text;
    // A missing file is read as an empty one, and is not created.
    if (check_path(a.file, "read") == presence::present) text = typed_value(a);
    if (!text) text = a.fallback;
    if (!text) return exit_status::not_found;
    out.line(*text);
    return exit_status::ok;
}

// Runs change, which writes a.file through the setters and returns what the
// last of them returned. With --verbose, says "changed" when the file's
// bytes (or its existence) differ from before, else "unchanged": comparing
// bytes needs no guess about how the library encodes, cuts or places a
// line, and says exactly what a program watching the file would see.
template <typename Change>
exit_status change_file(const arguments &a, Change change) {
    check_path(a.file, "write");
    const std::optional<std::string> before = a.verbose ? file_bytes(a.file) : std::nullopt;
    // The setters leave errno saying why they returned 0.
    if (!change()) fail_file("write", a.file, errno);
    if (a.verbose) std::fputs(file_bytes(a.file) == before ? "unchanged\n" : "changed\n", stderr);
    return exit_status::ok;
}

exit_status run_set(const arguments &a) {
    const char *section = a.section.c_str();
    const char *key = a.key.c_str();
    const char *path = a.file.c_str();
    return change_file(a, [&] {
        switch (a.type) {
            case value_type::integer: return ini_putl(section, key, *parse_int32(a.value), path);
            case value_type::real: return ini_putf(section, key, *parse_float(a.value), path);
            default: return ini_puts(section, key, a.value.c_str(), path);
        }
    });
}

// A missing file has nothing to delete: the library creates nothing.
exit_status run_del(const arguments &a) {
    return change_file(a, [&] {
        return ini_puts(a.section.c_str(), a.has_key ? a.key.c_str() : nullptr, nullptr, a.file.c_str());
    });
}

exit_status run_sections(const arguments &a, output &out) {
    if (check_path(a.file, "read") == presence::missing) return exit_status::ok;
    const char *path = a.file.c_str();
    for (const std::string &name : distinct_names([path](int index, char *buffer, int size) {
             return ini_getsection(index, buffer, size, path);
         }))
        out.line(name);
    return exit_status::ok;
}

exit_status run_keys(const arguments &a, output &out) {
    if (check_path(a.file, "read") == presence::missing) return exit_status::not_found;
    const char *path = a.file.c_str();
    const char *section = a.section.c_str();
    const std::vector<std::string> names = distinct_names([path, section](int index, char *buffer, int size) {
        return ini_getkey(section, index, buffer, size, path);
    });
    for (const std::string &name : names) out.line(name);
    return names.empty() ? exit_status::not_found : exit_status::ok;
}

exit_status run_dump(const arguments &a, output &out) {
    if (check_path(a.file, "read") == presence::missing) return exit_status::ok;
    out.write(format_entries(read_entries(a.file, a.file), a.format));
    return exit_status::ok;
}

// The pairs merge sets: those of SOURCE, or of standard input for "-".
std::vector<entry> merge_source(const std::string &source) {
    if (source == "-") {
        stdin_copy copy;
        return read_entries(copy.fill(), "standard input");
    }
    // Unlike the file being changed, a source named on purpose must exist.
    if (check_path(source, "read") == presence::missing) fail_file("read", source, ENOENT);
    return read_entries(source, source);
}

exit_status run_merge(const arguments &a) {
    return change_file(a, [&] {
        for (const entry &pair : merge_source(a.source)) {
            // A pair without a key name, or whose key begins with "["
            // (browsing reports "[x=1" lines as pairs), cannot be looked up,
            // and writing it would end the section for lookups: it is left out.
            if (pair.key.empty() || pair.key[0] == '[') continue;
            if (!ini_puts(pair.section.c_str(), pair.key.c_str(), pair.value.c_str(), a.file.c_str())) return 0;
        }
        return 1;
    });
}

// ---- arguments --------------------------------------------------------------

constexpr char HELP[] =
    "Usage: brantcfg VERB FILE [ARGUMENTS] [OPTIONS]\n"
    "       brantcfg --help | --version\n"
    "\n"
    "Reads and changes INI files.\n"
    "\n"
    "Verbs:\n"
    "  get FILE SECTION KEY [--default TEXT] [--type string|int|float|bool]\n"
    "      Print the value of KEY in SECTION.\n"
    "  set FILE SECTION KEY VALUE [--type string|int|float] [--verbose]\n"
    "      Set KEY to VALUE, creating the file and the section when missing.\n"
    "  del FILE SECTION [KEY] [--verbose]\n"
    "      Delete KEY, or without KEY the whole section.\n"
    "  sections FILE\n"
    "      List the section names, one a line.\n"
    "  keys FILE SECTION\n"
    "      List the key names of SECTION, one a line.\n"
    "  dump FILE [--format ini|lines|json|env]\n"
    "      Print every pair: ini (the default) as a file that reads back the same,\n"
    "      lines as SECTION<TAB>KEY<TAB>VALUE, json as an array of objects,\n"
    "      env as SECTION_KEY='VALUE' assignments for sh's eval.\n"
    "  merge FILE [SOURCE|-] [--verbose]\n"
    "      Set every pair of SOURCE (standard input when - or left out) into FILE,\n"
    "      in order; a pair whose value is already there writes nothing.\n"
    "\n"
    "Options:\n"
    "  --default TEXT  what get prints when the key is absent (converted by --type)\n"
    "  --type TYPE     convert as the typed getters and setters do; bool prints 1\n"
    "                  or 0, and a value that is no truth value counts as absent\n"
    "  --format FORMAT output format of dump\n"
    "  --verbose       say \"changed\" or \"unchanged\" on standard error\n"
    "  -h, --help      show this help and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "An empty SECTION (\"\") means the keys above the first section header.\n"
    "Values are printed byte for byte; names match without regard to case.\n"
    "\n"
    "Examples:\n"
    "  brantcfg get app.ini window title\n"
    "  brantcfg get app.ini window width --type int --default 640\n"
    "  brantcfg set app.ini window title 'Main window' --verbose\n"
    "  brantcfg del app.ini window title\n"
    "  brantcfg sections app.ini\n"
    "  brantcfg keys app.ini window\n"
    "  brantcfg dump app.ini --format json\n"
    "  eval \"$(brantcfg dump app.ini --format env)\"\n"
    "  brantcfg merge app.ini defaults.ini\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  get or keys found nothing\n"
    "  2  usage error\n"
    "  3  a file or standard output could not be read or written\n";

// The text in the form get prints it: converted as --type says, or a
// usage error naming what did not convert (what).
std::string converted_text(value_type type, const std::string &text, const std::string &what) {
    switch (type) {
        case value_type::integer:
            if (const auto number = parse_int32(text)) return std::to_string(*number);
            fail_usage(what + " is not a 32-bit integer: " + text);
        case value_type::real:
            if (const auto number = parse_float(text)) return float_text(*number);
            fail_usage(what + " is not a finite number: " + text);
        case value_type::truth:
            if (const auto truth = parse_truth(text)) return *truth ? "1" : "0";
            fail_usage(what + " is not a truth value (yes/no, true/false, 1/0): " + text);
        default:
            return text;
    }
}

// Turns the option texts into their typed forms; an argument that does not
// convert is a usage error, found before any file is touched.
void check_arguments(arguments &a, const std::string &type, const std::string &format) {
    if ((a.verb == "get" || a.verb == "set" || (a.verb == "del" && a.has_key)) && a.key.empty())
        fail_usage("KEY must not be empty");
    if (type == "int") a.type = value_type::integer;
    if (type == "float") a.type = value_type::real;
    if (type == "bool") a.type = value_type::truth;
    if (format == "lines") a.format = dump_format::lines;
    if (format == "json") a.format = dump_format::json;
    if (format == "env") a.format = dump_format::env;
    if (a.verb == "set") static_cast<void>(converted_text(a.type, a.value, "VALUE"));
    if (a.verb == "get" && a.fallback) a.fallback = converted_text(a.type, *a.fallback, "--default");
}

exit_status run(int argc, char **argv, output &out) {
    arguments a;
    std::string type = "string";
    std::string format = "ini";
    std::string fallback;

    CLI::App app{"Reads and changes INI files.", "brantcfg"};
    app.set_help_flag("-h,--help");
    app.set_version_flag("--version", BRANTCFG_VERSION_STRING);
    app.require_subcommand(1, 1);

    CLI::App *get = app.add_subcommand("get");
    get->add_option("FILE", a.file)->required();
    get->add_option("SECTION", a.section)->required();
    get->add_option("KEY", a.key)->required();
    CLI::Option *default_option = get->add_option("--default", fallback);
    get->add_option("--type", type)->check(CLI::IsMember({"string", "int", "float", "bool"}));

    CLI::App *set = app.add_subcommand("set");
    set->add_option("FILE", a.file)->required();
    set->add_option("SECTION", a.section)->required();
    set->add_option("KEY", a.key)->required();
    set->add_option("VALUE", a.value)->required();
    set->add_option("--type", type)->check(CLI::IsMember({"string", "int", "float"}));
    set->add_flag("--verbose", a.verbose);

    CLI::App *del = app.add_subcommand("del");
    del->add_option("FILE", a.file)->required();
    del->add_option("SECTION", a.section)->required();
    CLI::Option *key_option = del->add_option("KEY", a.key);
    del->add_flag("--verbose", a.verbose);

    CLI::App *sections = app.add_subcommand("sections");
    sections->add_option("FILE", a.file)->required();

    CLI::App *keys = app.add_subcommand("keys");
    keys->add_option("FILE", a.file)->required();
    keys->add_option("SECTION", a.section)->required();

    CLI::App *dump = app.add_subcommand("dump");
    dump->add_option("FILE", a.file)->required();
    dump->add_option("--format", format)->check(CLI::IsMember({"ini", "lines", "json", "env"}));

    CLI::App *merge = app.add_subcommand("merge");
    merge->add_option("FILE", a.file)->required();
    merge->add_option("SOURCE", a.source);
    merge->add_flag("--verbose", a.verbose);

    // CLI11 reports a missing or misspelt verb as "A subcommand is
    // required"; say it in the tool's own words.
    if (argc < 2) fail_usage("no verb given");
    if (argv[1][0] != '-') {
        try {
            static_cast<void>(app.get_subcommand(argv[1]));
        } catch (const CLI::OptionNotFound &) {
            fail_usage(std::string("unknown verb: ") + argv[1]);
        }
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion &) {
        out.line(std::string("brantcfg ") + BRANTCFG_VERSION_STRING);
        return exit_status::ok;
    } catch (const CLI::Success &) {
        out.write(HELP);
        return exit_status::ok;
    } catch (const CLI::ParseError &e) {
        fail_usage(e.what());
    }

    a.verb = app.get_subcommands().front()->get_name();
    a.has_key = key_option->count() > 0;
    if (default_option->count() > 0) a.fallback = fallback;
    check_arguments(a, type, format);

    if (a.verb == "get") return run_get(a, out);
    if (a.verb == "set") return run_set(a);
    if (a.verb == "del") return run_del(a);
    if (a.verb == "sections") return run_sections(a, out);
    if (a.verb == "keys") return run_keys(a, out);
    if (a.verb == "dump") return run_dump(a, out);
    return run_merge(a);
}

}  // namespace
}  // namespace brantcfg_tool

int main(int argc, char **argv) {
    using namespace brantcfg_tool;
    output out;
    exit_status status = exit_status::ok;
    try {
        status = run(argc, argv, out);
    } catch (const failure &f) {
        std::fprintf(stderr, "brantcfg: %s\n", f.message.c_str());
        if (f.status == exit_status::usage) std::fputs("Try 'brantcfg --help' for more information.\n", stderr);
        status = f.status;
    } catch (const std::bad_alloc &) {
        std::fputs("brantcfg: out of memory\n", stderr);
        status = exit_status::file_error;
    }
    if (const int cause = out.finish(); cause != 0) {
        std::fprintf(stderr, "brantcfg: cannot write standard output: %s\n", std::strerror(cause));
        return static_cast<int>(exit_status::file_error);
    }
    return static_cast<int>(status);
}
