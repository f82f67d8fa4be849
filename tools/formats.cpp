// The dump formats of the command-line tool; see formats.h. Sections: ini,
// lines, json, env.
#include "formats.h"

#include "failure.h"

#include <brantcfg.hpp>

#include <nlohmann/json.hpp>

#include <cctype>
#include <unordered_map>

namespace brantcfg_tool {
namespace {

// "key "k" in section "s"", for messages.
[[nodiscard]] std::string entry_said(const entry &e) {
    return "key \"" + e.key + "\" in section \"" + e.section + "\"";
}

// ---- ini --------------------------------------------------------------------

void append_ini(std::string &out, const std::vector<entry> &entries) {
    // Pairs before the first header belong to the nameless section; a
    // nameless pair after a named one needs the empty header "[]", which
    // browsing reports as the nameless section too.
    const std::string *current = nullptr;
    for (const entry &e : entries) {
        const bool starts_section = current ? e.section != *current : !e.section.empty();
        if (starts_section) {
            if (!out.empty()) out += '\n';
            out += '[';
            out += e.section;
            out += "]\n";
        }
        current = &e.section;
        out += e.key;
        out += '=';
        out += brantcfg::line_value(e.value);
        out += '\n';
    }
}

// ---- lines ------------------------------------------------------------------

void append_lines(std::string &out, const std::vector<entry> &entries) {
    for (const entry &e : entries) {
        out += e.section;
        out += '\t';
        out += e.key;
        out += '\t';
        out += e.value;
        out += '\n';
    }
}

// ---- json -------------------------------------------------------------------

void append_json(std::string &out, const std::vector<entry> &entries, const std::string &name) {
    using json = nlohmann::ordered_json;
    json array = json::array();
    for (const entry &e : entries) array.push_back({{"section", e.section}, {"key", e.key}, {"value", e.value}});
    // Names and values are bytes in the host's code page; json holds UTF-8
    // text only. A string that is not UTF-8 is refused rather than changed.
    try {
        out += array.dump(2, ' ', false, json::error_handler_t::strict);
    } catch (const json::type_error &) {
        for (const entry &e : entries) {
            for (const std::string *text : {&e.section, &e.key, &e.value}) {
                try {
                    static_cast<void>(json(*text).dump(-1, ' ', false, json::error_handler_t::strict));
                } catch (const json::type_error &) {
                    const char *what = text == &e.value ? "the value of "
                                       : text == &e.key ? "the name of "
                                                        : "the section name of ";
                    throw failure{exit_status::file_error,
                                  "cannot dump " + name + " as json: " + what + entry_said(e) + " is not UTF-8"};
                }
            }
        }
        throw;
    }
    out += '\n';
}

// ---- env --------------------------------------------------------------------

// SECTION_KEY (or KEY in the nameless section) in upper case, every byte
// other than an ASCII letter, digit or "_" made "_", and a leading "_" when
// the name would begin with a digit or be empty.
[[nodiscard]] std::string env_name(std::string_view section, std::string_view key) {
    std::string name;
    if (!section.empty()) {
        name += section;
        name += '_';
    }
    name += key;
    for (char &c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool keep = byte < 0x80 && (std::isalnum(byte) || c == '_');
        c = keep ? static_cast<char>(std::toupper(byte)) : '_';
    }
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) name.insert(name.begin(), '_');
    return name;
}

// Single quotes keep every byte literal in sh; a quote itself is closed,
// escaped and reopened.
[[nodiscard]] std::string shell_quote(std::string_view value) {
    std::string text = "'";
    for (const char c : value) {
        if (c == '\'')
            text += "'\\''";
        else
            text += c;
    }
    text += '\'';
    return text;
}

void append_env(std::string &out, const std::vector<entry> &entries, const std::string &name) {
    // Each variable with the entry that made it first.
    std::unordered_map<std::string, const entry *> made;
    const auto same_entry = [](const entry &a, const entry &b) {
        return brantcfg::folded_name(a.section) == brantcfg::folded_name(b.section) &&
               brantcfg::folded_name(a.key) == brantcfg::folded_name(b.key);
    };
    for (const entry &e : entries) {
        std::string variable = env_name(e.section, e.key);
        const auto [at, first] = made.try_emplace(variable, &e);
        if (!first) {
            if (same_entry(*at->second, e)) continue;
            throw failure{exit_status::file_error, "cannot dump " + name + " as env: " + entry_said(*at->second) +
                                                       " and " + entry_said(e) + " both make " + variable};
        }
        out += variable;
        out += '=';
        out += shell_quote(e.value);
        out += '\n';
    }
}

}  // namespace

std::string format_entries(const std::vector<entry> &entries, dump_format format, const std::string &name) {
    std::string out;
    switch (format) {
        case dump_format::ini:
            append_ini(out, entries);
            break;
        case dump_format::lines:
            append_lines(out, entries);
            break;
        case dump_format::json:
            append_json(out, entries, name);
            break;
        case dump_format::env:
            append_env(out, entries, name);
            break;
    }
    return out;
}

}  // namespace brantcfg_tool
