// brantcfg: reads and changes INI files from a shell.
//
// Every verb reads and writes the INI content through the library and
// nothing else: through its C++ layer, which also gives the rules for
// numbers, truth words, letter case and quoting; and through two private
// routines beside it, the merge, and the one-pass listings of sections and
// keys. The tool adds argument handling, output formats, standard input and
// output, and exit statuses around them. It
// uses only standard C++ and the library, so it builds and behaves the same
// on every system. The file reads top to bottom:
//   output       - standard output with its write errors kept for the end
//   the files    - the file a verb reads or changes; "-" and pipes as files
//   reading      - names and pairs through the library
//   verbs        - get, set, del, sections, keys, dump, merge
//   arguments    - the command line, help and version
#include "failure.h"
#include "files.h"
#include "formats.h"
#include "help.h"

#include "file_walk.h"
#include "merge.h"

#include <brantcfg.hpp>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <vector>

namespace brantcfg_tool {
namespace {

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

// ---- the files --------------------------------------------------------------

constexpr char STANDARD_INPUT[] = "standard input";

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }  // read only: nothing to lose
};

// Stops the verb when error (what read_error says of a file that messages
// call name) marks a UTF-16 file: the library reads no entries from it and
// never writes it, so no verb can do what was asked.
void refuse_utf16(const std::error_code &error, const std::string &name) {
    if (error == std::errc::illegal_byte_sequence)
        throw failure{exit_status::file_error,
                      name + " is UTF-16; this tool reads 8-bit files (convert it with iconv)"};
}

// Whether there is no file at path; a file that is there but cannot be read
// (no permission, a folder, UTF-16 text) is a failure to action it.
bool is_missing(const std::string &path, const char *action) {
    const std::error_code error = brantcfg::read_error(path);
    if (error == std::errc::no_such_file_or_directory) return true;
    refuse_utf16(error, path);
    if (error) fail_file(action, path, error.value());
    return false;
}

// A file a verb works on: what messages call it, the path the library
// gets, and whether there is no file there. Standard input ("-") is copied
// for the library, and empty standard input stands for no file at all,
// for every verb alike.
class verb_file {
public:
    const std::string &name() const { return name_; }
    const std::string &path() const { return path_; }
    [[nodiscard]] bool missing() const { return missing_; }
    [[nodiscard]] bool from_stdin() const { return from_stdin_; }

    // For a verb that has nothing to say about a file that is not there.
    void require() const {
        if (!missing_) return;
        if (from_stdin_)
            throw failure{exit_status::file_error, "cannot read " + name_ + ": it is empty, which stands for no file"};
        fail_file("read", name_, ENOENT);
    }

protected:
    explicit verb_file(const std::string &file)
        : name_(file == "-" ? STANDARD_INPUT : file), from_stdin_(file == "-") {}

    // Copies standard input to a private file called copy_name. Empty input
    // leaves no copy: a set then writes just the header and the key line,
    // without the empty line that the library puts before a section it adds
    // to an empty file.
    void copy_stdin(scratch &copies, const char *copy_name) {
        path_ = copies.copy(stdin, name_, copy_name);
        missing_ = read_bytes(path_, name_).value_or("").empty();
        if (missing_ && std::remove(path_.c_str()) != 0) fail_file("write", path_, errno);
        if (!missing_) refuse_utf16(brantcfg::read_error(path_), name_);
    }

    std::string name_;
    std::string path_;
    bool missing_ = false;
    bool from_stdin_;
};

// The file a reading verb reads, as the library takes it: the path itself,
// or a private copy (called copy_name) of standard input for "-" or of what
// a pipe or device at the path gives, since the library reads a file by its
// path, and such a thing can be read only once and is no regular file.
class read_file : public verb_file {
public:
    read_file(const std::string &file, scratch &copies, const char *copy_name) : verb_file(file) {
        if (from_stdin_) {
            copy_stdin(copies, copy_name);
        } else if (names_stream(file)) {
            errno = 0;
            const std::unique_ptr<std::FILE, file_closer> stream(std::fopen(file.c_str(), "rb"));
            if (!stream) fail_file("read", name_, errno);
            path_ = copies.copy(stream.get(), name_, copy_name);
            refuse_utf16(brantcfg::read_error(path_), name_);
        } else {
            path_ = file;
            missing_ = is_missing(file, "read");
        }
    }
};

// The file a changing verb changes: the path itself, which need not exist,
// or for "-" a private copy of standard input, which finish() writes to
// standard output once changed.
class changed_file : public verb_file {
public:
    changed_file(const std::string &file, scratch &copies) : verb_file(file) {
        if (from_stdin_) {
            copy_stdin(copies, "input.ini");
        } else {
            path_ = file;
            missing_ = is_missing(file, "write");
        }
    }

    // Writes the changed copy of standard input, when there is one left.
    void finish(output &out) const {
        if (!from_stdin_) return;
        if (const std::optional<std::string> bytes = read_bytes(path_, name_)) out.write(*bytes);
    }
};

// Throws the failure for a change the library could not make (cause is
// errno right after it), unless the library refused the names: it refuses
// a section or key name it cannot write (a line break, or a name that
// would not read back) with EINVAL before it touches the file. It refuses
// with EINVAL too a rewrite of a file whose name ends in "~", which is its
// temporary file's mark, a usage error; and a device at the path, which is
// the file's fault.
void fail_unless_names(int cause, const changed_file &target) {
    if (cause != EINVAL) fail_file("write", target.name(), cause);
    const std::string &name = target.name();
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(name, error);
    if (!target.from_stdin() && !error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        fail_file("write", name, cause);
    if (!target.from_stdin() && !name.empty() && name.back() == '~')
        throw failure{exit_status::usage,
                      "cannot rewrite " + name + ": a name ending in \"~\" leaves no room for the temporary file"};
}

// Why the library refuses to set key to value in section (value nullptr:
// to delete), in words: the first of its rules the change breaks.
std::string refusal_reason(const std::string &section, const std::string &key, const char *value) {
    using brantcfg::detail::change_fault;
    const std::string longest = std::to_string(brantcfg::line_buffer_size - 1);
    switch (brantcfg::detail::fault_of_change(section.c_str(), key.c_str(), value)) {
        case change_fault::line_break:
            return "a name or value cannot hold a line break, CR or LF";
        case change_fault::section_bracket:
            return "a section name cannot hold \"]\"";
        case change_fault::header_too_long:
            return "the header line would be " + std::to_string(brantcfg::detail::header_line_length(section.c_str())) +
                   " bytes, longer than " + longest;
        case change_fault::empty_key:
            return "a key cannot be empty";
        case change_fault::key_blank_edge:
            return "a key cannot begin or end with a blank";
        case change_fault::key_first_byte:
            return "a key cannot begin with \"[\", \";\" or \"#\"";
        case change_fault::key_separator:
            return "a key cannot hold \"=\"";
        case change_fault::key_byte_order_mark:
            return "a key above the first section cannot begin with a byte-order mark";
        case change_fault::key_line_too_long:
            return "the key line would be " + std::to_string(brantcfg::detail::key_line_length(key.c_str(), value)) +
                   " bytes, longer than " + longest;
        case change_fault::none:
            break;
    }
    return "a name it could not write";
}

// The library refused to write the entry: a usage error.
[[noreturn]] void fail_refused(const changed_file &target, const std::string &section, const char *key,
                               const char *value) {
    std::string what = "section \"" + section + "\"";
    if (key) what += ", key \"" + std::string(key) + "\"";
    throw failure{exit_status::usage, "the library refuses to write " + what + " (" +
                                          refusal_reason(section, key ? key : "", value) + "): " + target.name()};
}

// Turns what a setter did into a failure.
void check_write(const brantcfg::result &done, const changed_file &target, const std::string &section, const char *key,
                 const char *value) {
    if (done) return;
    fail_unless_names(done.error(), target);
    fail_refused(target, section, key, value);
}

// ---- reading ----------------------------------------------------------------

// The names of a listing, each once, in the order given: of names that
// match (that differ only in ASCII letter case, as lookups match them) the
// first. An exception cannot cross the library's walk: it is kept, the
// walk stops, and it is thrown again after the walk.
struct name_list {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    std::exception_ptr error;

    static bool add(const char *name, int length, void *context) noexcept {
        auto *list = static_cast<name_list *>(context);
        try {
            std::string text(name, static_cast<std::size_t>(length));
            if (list->seen.insert(brantcfg::folded_name(text)).second) list->names.push_back(std::move(text));
            return true;
        } catch (...) {
            list->error = std::current_exception();
            return false;
        }
    }
};

// The names walk lists from file, each once; walk is one of the library's
// one-pass listings, called with the path, name_list::add and the list.
template <typename Walk>
std::vector<std::string> listed_names(const read_file &file, Walk walk) {
    name_list list;
    errno = 0;
    const bool read = walk(file.path().c_str(), &name_list::add, &list);
    if (list.error) std::rethrow_exception(list.error);
    if (!read) fail_file("read", file.name(), errno);
    return std::move(list.names);
}

// Every pair of the file, in file order.
std::vector<entry> read_entries(const read_file &file) {
    std::vector<entry> entries;
    errno = 0;
    const bool read =
        brantcfg::for_each(file.path(), [&](std::string_view section, std::string_view key, std::string_view value) {
            entries.push_back(entry{std::string(section), std::string(key), std::string(value)});
        });
    if (!read) fail_file("read", file.name(), errno);
    return entries;
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
    bool existing = false;
    bool verbose = false;
};

// What a value of a type is, for messages.
const char *type_description(value_type type) {
    switch (type) {
        case value_type::integer:
            return "a 32-bit integer";
        case value_type::real:
            return "a number";
        case value_type::truth:
            return "a truth value (yes/no, true/false, on/off, 1/0)";
        default:
            return "text";
    }
}

// text in the form get prints a value of type: a number as the C++ layer
// writes it, a truth value as 1 or 0; nothing when text holds no value of
// type, by the rules the C++ layer reads values with.
std::optional<std::string> typed_text(value_type type, std::string_view text) {
    switch (type) {
        case value_type::integer:
            if (const auto number = brantcfg::parse<std::int32_t>(text)) return brantcfg::to_text(*number);
            return std::nullopt;
        case value_type::real:
            if (const auto number = brantcfg::parse<float>(text)) return brantcfg::to_text(*number);
            return std::nullopt;
        case value_type::truth:
            if (const auto truth = brantcfg::parse<bool>(text)) return std::string(*truth ? "1" : "0");
            return std::nullopt;
        default:
            return std::string(text);
    }
}

// The value get prints: the stored text, or with --type the value it holds
// as that type; nothing when the key is absent or, for a typed read, its
// value is empty, which the typed getters take for no value. A value that
// is not of the type is said, with status 1.
std::optional<std::string> typed_value(const arguments &a, const read_file &file) {
    const std::optional<std::string> text = brantcfg::get(file.path(), a.section, a.key);
    if (!text || a.type == value_type::string) return text;
    if (text->empty()) return std::nullopt;
    if (std::optional<std::string> typed = typed_text(a.type, *text)) return typed;
    throw failure{exit_status::not_found, "key \"" + a.key + "\" in section \"" + a.section + "\" holds \"" + *text +
                                              "\", not " + type_description(a.type) + ": " + file.name()};
}

exit_status run_get(const arguments &a, output &out, scratch &copies) {
    const read_file file(a.file, copies, "input.ini");
    std::optional<std::string> text;
    if (file.missing()) {
        if (!a.fallback) file.require();
    } else {
        text = typed_value(a, file);
    }
    if (!text) text = a.fallback;
    if (!text) return exit_status::not_found;
    out.line(*text);
    return exit_status::ok;
}

// Runs change on target and writes the result when it came from standard
// input. With --verbose, says "changed" when the file's bytes (or its
// existence) differ from before, else "unchanged": comparing bytes needs no
// guess about how the library encodes, cuts or places a line, and says
// exactly what a program watching the file would see.
template <typename Change>
exit_status change_file(const arguments &a, const changed_file &target, output &out, Change change) {
    const std::optional<std::string> before = a.verbose ? read_bytes(target.path(), target.name()) : std::nullopt;
    change();
    if (a.verbose) std::fputs(read_bytes(target.path(), target.name()) == before ? "unchanged\n" : "changed\n", stderr);
    target.finish(out);
    return exit_status::ok;
}

exit_status run_set(const arguments &a, output &out, scratch &copies) {
    const changed_file target(a.file, copies);
    const std::string &path = target.path();
    if (a.existing) {
        // Read first, then written: a writer in between can make the key
        // appear or go; the change itself is still whole.
        target.require();
        if (!brantcfg::get(path, a.section, a.key)) return exit_status::not_found;
    }
    return change_file(a, target, out, [&] {
        // The value was checked against its type with the arguments.
        brantcfg::result done;
        if (a.type == value_type::integer)
            done = brantcfg::set(path, a.section, a.key, *brantcfg::parse<std::int32_t>(a.value));
        else if (a.type == value_type::real)
            done = brantcfg::set(path, a.section, a.key, *brantcfg::parse<float>(a.value));
        else
            done = brantcfg::set(path, a.section, a.key, a.value);
        check_write(done, target, a.section, a.key.c_str(), a.value.c_str());
    });
}

// A missing file has nothing to delete: the library creates nothing.
exit_status run_del(const arguments &a, output &out, scratch &copies) {
    const changed_file target(a.file, copies);
    return change_file(a, target, out, [&] {
        if (a.has_key)
            check_write(brantcfg::erase_key(target.path(), a.section, a.key), target, a.section, a.key.c_str(),
                        nullptr);
        else
            check_write(brantcfg::erase_section(target.path(), a.section), target, a.section, nullptr, nullptr);
    });
}

exit_status run_sections(const arguments &a, output &out, scratch &copies) {
    const read_file file(a.file, copies, "input.ini");
    file.require();
    for (const std::string &name : listed_names(file, brantcfg::detail::walk_sections)) out.line(name);
    return exit_status::ok;
}

exit_status run_keys(const arguments &a, output &out, scratch &copies) {
    const read_file file(a.file, copies, "input.ini");
    file.require();
    const std::vector<std::string> names =
        listed_names(file, [&](const char *path, brantcfg::detail::name_callback each, void *context) {
            return brantcfg::detail::walk_keys(path, a.section.c_str(), each, context);
        });
    for (const std::string &name : names) out.line(name);
    return names.empty() ? exit_status::not_found : exit_status::ok;
}

exit_status run_dump(const arguments &a, output &out, scratch &copies) {
    const read_file file(a.file, copies, "input.ini");
    file.require();
    out.write(format_entries(read_entries(file), a.format, file.name()));
    return exit_status::ok;
}

// Sets the pairs of SOURCE one after another, leaving FILE as set would
// leave it pair by pair, but changes it once: the library's merge lands
// every pair in one rewrite under the writers' lock, or none when one of
// them is refused. A pair without a key name, or whose key begins with "["
// (browsing reports "[x=1" lines as pairs), cannot be looked up, and
// writing it would end the section for lookups: it is left out.
exit_status run_merge(const arguments &a, output &out, scratch &copies) {
    if (a.file == "-" && a.source == "-") fail_usage("FILE and SOURCE cannot both be standard input; name SOURCE");
    // The source is read whole first: one that cannot be read changes nothing.
    const read_file source(a.source, copies, "source.ini");
    source.require();
    const std::vector<entry> pairs = read_entries(source);
    std::vector<brantcfg::detail::merge_entry> entries;
    for (const entry &pair : pairs)
        if (!pair.key.empty() && pair.key[0] != '[')
            entries.push_back({pair.section.c_str(), pair.key.c_str(), pair.value.c_str()});
    const changed_file target(a.file, copies);
    return change_file(a, target, out, [&] {
        std::size_t refused = entries.size();
        errno = 0;
        if (brantcfg::detail::merge_entries(entries.data(), entries.size(), target.path().c_str(), &refused)) return;
        const int cause = errno;
        if (refused < entries.size())
            fail_refused(target, entries[refused].section, entries[refused].key, entries[refused].value);
        fail_unless_names(cause, target);
        fail_file("write", target.name(), cause);
    });
}

// ---- arguments --------------------------------------------------------------

// The text in the form get prints it: converted as --type says, or a
// usage error naming what did not convert (what).
std::string converted_text(value_type type, const std::string &text, const std::string &what) {
    if (std::optional<std::string> typed = typed_text(type, text)) return *typed;
    fail_usage(what + " is not " + type_description(type) + ": " + text);
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

// A section or key name, or a value, holding CR or LF cannot be written
// (the library refuses it) and can never be found; it is a usage error.
void refuse_line_break(const std::string &text, const char *what) {
    if (text.find_first_of("\r\n") != std::string::npos)
        fail_usage(std::string(what) + " cannot hold a line break (CR or LF)");
}

exit_status run(int argc, char **argv, output &out, scratch &copies) {
    // Help comes before everything else, for the verb before it if there
    // is one, however the rest of the line reads; "--" ends the options.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            const std::string help = verb_help(argv[1]);
            out.write(help.empty() ? tool_help() : help);
            return exit_status::ok;
        }
    }

    arguments a;
    std::string type = "string";
    std::string format = "ini";
    std::string fallback;

    CLI::App app{"Reads and changes INI files.", "brantcfg"};
    app.set_help_flag();
    // On Windows CLI11 would take "/path" for an option; here it is a path
    // (from the root of the current drive), as everywhere. Verbs inherit it.
    app.allow_windows_style_options(false);
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
    set->add_flag("--existing", a.existing);
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
    } catch (const CLI::ParseError &e) {
        fail_usage(e.what());
    }

    a.verb = app.get_subcommands().front()->get_name();
    a.has_key = key_option->count() > 0;
    if (default_option->count() > 0) a.fallback = fallback;
    refuse_line_break(a.section, "SECTION");
    refuse_line_break(a.key, "KEY");
    refuse_line_break(a.value, "VALUE");
    check_arguments(a, type, format);

    if (a.verb == "get") return run_get(a, out, copies);
    if (a.verb == "set") return run_set(a, out, copies);
    if (a.verb == "del") return run_del(a, out, copies);
    if (a.verb == "sections") return run_sections(a, out, copies);
    if (a.verb == "keys") return run_keys(a, out, copies);
    if (a.verb == "dump") return run_dump(a, out, copies);
    return run_merge(a, out, copies);
}

}  // namespace
}  // namespace brantcfg_tool

int main(int argc, char **argv) {
    using namespace brantcfg_tool;
    use_binary_stdio();
    output out;
    exit_status status = exit_status::ok;
    {
        // The private copies go before the exit status is returned.
        scratch copies;
        try {
            status = run(argc, argv, out, copies);
        } catch (const failure &f) {
            std::fprintf(stderr, "brantcfg: %s\n", f.message.c_str());
            if (f.hint) std::fputs("Try 'brantcfg --help' for more information.\n", stderr);
            status = f.status;
        } catch (const std::bad_alloc &) {
            std::fputs("brantcfg: out of memory\n", stderr);
            status = exit_status::file_error;
        }
    }
    if (const int cause = out.finish(); cause != 0) {
        std::fprintf(stderr, "brantcfg: cannot write standard output: %s\n", std::strerror(cause));
        return static_cast<int>(exit_status::file_error);
    }
    return static_cast<int>(status);
}
