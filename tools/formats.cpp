// The dump formats and the argument syntax of the command-line tool; see
// formats.h. Sections: ini, lines, json, env, argument syntax.
#include "formats.h"

#include "text_rules.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <unordered_set>

namespace brantcfg_tool {
namespace {

// A blank and letter case as the library reads them.
using brantcfg::detail::ascii_upper;
using brantcfg::detail::is_blank;

// ---- ini --------------------------------------------------------------------

// A value as it must stand after "=" to read back the same. A reader ends a
// value at ";" or "#" outside quotes and drops blanks around it, so such a
// value goes between quotes, where '"' is written \" (a reader turns \" back
// into '"' and leaves every other backslash alone).
[[nodiscard]] std::string ini_value_text(std::string_view value) {
    const bool quoted = value.find_first_of("\";#") != std::string_view::npos ||
                        (!value.empty() && (is_blank(value.front()) || is_blank(value.back())));
    if (!quoted) return std::string(value);
    std::string text = "\"";
    for (const char c : value) {
        if (c == '"') text += '\\';
        text += c;
    }
    text += '"';
    return text;
}

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
        out += ini_value_text(e.value);
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

void append_json(std::string &out, const std::vector<entry> &entries) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const entry &e : entries) array.push_back({{"section", e.section}, {"key", e.key}, {"value", e.value}});
    // Names and values are bytes in the host's code page; what is not UTF-8
    // is shown as U+FFFD rather than making the output unreadable as json.
    out += array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    out += '\n';
}

// ---- env --------------------------------------------------------------------

// SECTION_KEY (or KEY in the nameless section) in upper case, every byte
// other than a letter, digit or "_" made "_", and a leading "_" when the
// name would begin with a digit or be empty.
[[nodiscard]] std::string env_name(std::string_view section, std::string_view key) {
    std::string name;
    if (!section.empty()) {
        name += section;
        name += '_';
    }
    name += key;
    for (char &c : name) {
        c = ascii_upper(c);
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!keep) c = '_';
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

void append_env(std::string &out, const std::vector<entry> &entries) {
    std::unordered_set<std::string> seen;
    for (const entry &e : entries) {
        std::string name = env_name(e.section, e.key);
        if (!seen.insert(name).second) continue;
        out += name;
        out += '=';
        out += shell_quote(e.value);
        out += '\n';
    }
}

}  // namespace

std::string format_entries(const std::vector<entry> &entries, dump_format format) {
    std::string out;
    switch (format) {
        case dump_format::ini:
            append_ini(out, entries);
            break;
        case dump_format::lines:
            append_lines(out, entries);
            break;
        case dump_format::json:
            append_json(out, entries);
            break;
        case dump_format::env:
            append_env(out, entries);
            break;
    }
    return out;
}

// ---- argument syntax --------------------------------------------------------

std::optional<std::int32_t> parse_int32(const std::string &text) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++i;
    int base = 10;
    if (text.size() > i + 1 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) return std::nullopt;
    // Magnitude of the most negative value; anything beyond it cannot fit.
    constexpr std::int64_t limit = std::int64_t{1} << 31;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = ascii_upper(text[i]);
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > limit) return std::nullopt;
    }
    if (!negative && magnitude == limit) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::optional<float> parse_float(const std::string &text) {
    if (text.empty() || is_blank(text[0])) return std::nullopt;
    char *end = nullptr;
    const float value = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<bool> parse_truth(std::string_view text) {
    if (text.empty()) return std::nullopt;
    switch (ascii_upper(text[0])) {
        case 'Y':
        case 'T':
        case '1':
            return true;
        case 'N':
        case 'F':
        case '0':
            return false;
        default:
            return std::nullopt;
    }
}

std::string float_text(float value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace brantcfg_tool
