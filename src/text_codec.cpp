// The text codec: the line grammar in both directions. Reading, it says
// what a line is (blank, comment, header, key line), finds names and
// separators, and turns a stored value into the text a caller gets back:
// a trailing comment cut off, surrounding quotes and their escapes removed.
// Writing, it builds header and key lines, quoting a value exactly where a
// reader would otherwise take it apart differently, and tells which entries
// can be stored so that they read back as given. Everything here works in
// place on one line buffer and touches no file.
#include "text_codec.h"

#include <cstring>

namespace brantcfg::detail {
namespace {

// Length of text, counting no further than limit bytes.
[[nodiscard]] std::size_t bounded_length(const char *text, int limit) noexcept {
    const void *end = std::memchr(text, '\0', static_cast<std::size_t>(limit));
    return end ? static_cast<std::size_t>(static_cast<const char *>(end) - text) : static_cast<std::size_t>(limit);
}

// Ends text after its last non-blank byte before end; returns that NUL.
char *cut_trailing_blanks(char *text, char *end) noexcept {
    while (end > text && is_blank(end[-1])) --end;
    *end = '\0';
    return end;
}

}  // namespace

char *skip_blanks(char *text) noexcept {
    while (is_blank(*text)) ++text;
    return text;
}

char *trim_line_end(char *text) noexcept {
    cut_trailing_blanks(text, text + std::strlen(text));
    return text;
}

char *extract_value(char *text, int *mode, char **value_end) noexcept {
    // A ';' or '#' starts a comment only outside double quotes; "" and \"
    // are escaped quotes and leave the quote state as it is. Other bytes
    // leave the state alone and are passed over in runs.
    bool in_quotes = false;
    char *scan = text;
    for (;;) {
        scan += std::strcspn(scan, ";#\"\\");
        if (*scan == '\0') break;
        if (*scan == ';' || *scan == '#') {
            if (!in_quotes) break;
        } else if (*scan == '"') {
            if (scan[1] == '"') {
                scan += 2;
                continue;
            }
            in_quotes = !in_quotes;
        } else if (scan[1] == '"') {  // a backslash before a quote
            scan += 2;
            continue;
        }
        ++scan;
    }
    char *end = cut_trailing_blanks(text, scan);

    *mode = COPY_PLAIN;
    const std::size_t length = static_cast<std::size_t>(end - text);
    if (length > 0 && text[0] == '"' && text[length - 1] == '"') {
        text[length - 1] = '\0';  // a lone '"' is both quotes and leaves ""
        if (length > 1) end = text + length - 1;
        ++text;
        *mode = COPY_DROP_QUOTES;
    }
    if (value_end) *value_end = end;
    return text;
}

char *copy_text(int mode, const char *source, char *dest, int size) noexcept {
    if (mode == COPY_ADD_QUOTES && size >= 3) {
        // The closing quote always fits: the text stops early rather than
        // leave an escape pair or the quote without room.
        int j = 0;
        dest[j++] = '"';
        for (const char *s = source; *s != '\0' && j < size - 2; ++s) {
            if (*s == '"') {
                if (j >= size - 3) break;
                dest[j++] = '\\';
            }
            dest[j++] = *s;
        }
        dest[j] = '"';
        dest[j + 1] = '\0';
        return dest;
    }

    const int limit = size - 1;
    int j = 0;
    if (mode == COPY_DROP_QUOTES) {
        for (const char *s = source; *s != '\0' && j < limit; ++s) {
            if ((*s == '"' || *s == '\\') && s[1] == '"') ++s;
            dest[j++] = *s;
        }
    } else {
        // The bytes may overlap when dest lies before source in one buffer.
        j = static_cast<int>(bounded_length(source, limit));
        std::memmove(dest, source, static_cast<std::size_t>(j));
    }
    dest[j] = '\0';
    return dest;
}

char *find_separator(char *text) noexcept {
    char *separator = std::strchr(text, '=');
    return separator ? separator : std::strchr(text, ':');
}

const char *header_name(const char *text, std::size_t *length) noexcept {
    if (text[0] != '[') return nullptr;
    const char *close = std::strchr(text + 1, ']');
    if (!close) return nullptr;
    *length = static_cast<std::size_t>(close - (text + 1));
    return text + 1;
}

bool name_matches(const char *stored, std::size_t length, const char *name) noexcept {
    return std::strlen(name) == length && equal_ignoring_case(stored, name, length);
}

bool key_name_matches(const char *text, const char *separator, const char *name) noexcept {
    if (!name || *name == '\0') return false;
    const char *end = separator;
    while (end > text && is_blank(end[-1])) --end;
    return name_matches(text, static_cast<std::size_t>(end - text), name);
}

line_class classify_line(char *line, unclosed_bracket rule) noexcept {
    line_class found;
    found.start = skip_blanks(line);
    const char first = *found.start;
    if (first == '\0') {
        found.kind = line_kind::blank;
    } else if (first == ';' || first == '#') {
        found.kind = line_kind::comment;
    } else if ((found.name = header_name(found.start, &found.name_length)) != nullptr) {
        found.kind = line_kind::header;
    } else if (first == '[' && rule == unclosed_bracket::ends_section) {
        found.kind = line_kind::section_end;
    } else if ((found.separator = find_separator(found.start)) != nullptr) {
        found.kind = line_kind::key;
    }
    return found;
}

file_offset text_start(const char *bytes, file_offset size) noexcept {
    return size >= UTF8_MARK_LENGTH && std::memcmp(bytes, UTF8_MARK, UTF8_MARK_LENGTH) == 0 ? UTF8_MARK_LENGTH : 0;
}

bool is_utf16(const char *bytes, file_offset size) noexcept {
    if (size < 2) return false;
    const auto first = static_cast<unsigned char>(bytes[0]);
    const auto second = static_cast<unsigned char>(bytes[1]);
    return (first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF);
}

int build_section_header(const char *section, char *line) noexcept {
    if (!section || *section == '\0') return 0;
    int i = 0;
    line[i++] = '[';
    for (const char *s = section; *s != '\0' && i <= MAX_HEADER_NAME; ++s) line[i++] = *s;
    std::memcpy(line + i, "]\r\n", 4);
    return i + 3;
}

namespace {

// True when a value must be written in quotes to read back as it is: it
// holds what a reader would take for a comment or a quote, or it begins or
// ends with a blank, which a reader would trim.
[[nodiscard]] bool needs_quotes(const char *value, std::size_t length) noexcept {
    return std::strpbrk(value, "\";#") != nullptr ||
           (length > 0 && (is_blank(value[0]) || is_blank(value[length - 1])));
}

[[nodiscard]] bool has_line_break(const char *text) noexcept {
    return text && text[std::strcspn(text, "\r\n")] != '\0';
}

}  // namespace

int build_key_line(const char *key, const char *value, char *line) noexcept {
    const std::size_t value_length = std::strlen(value);
    const bool quoted = needs_quotes(value, value_length);
    int k = 0;
    for (const char *s = key; *s != '\0' && k < MAX_KEY_NAME; ++s) line[k++] = *s;
    line[k] = '=';
    copy_text(quoted ? COPY_ADD_QUOTES : COPY_PLAIN, value, line + k + 1, LINE_BUFFER_SIZE - 3 - k);
    const std::size_t length = std::strlen(line);
    std::memcpy(line + length, "\r\n", 3);
    return static_cast<int>(length) + 2;
}

std::size_t header_line_length(const char *section) noexcept {
    return section && *section != '\0' ? 1 + std::strlen(section) + 1 + 2 : 0;
}

std::size_t key_line_length(const char *key, const char *value) noexcept {
    // The value as written: in quotes, with each '"' inside escaped, where
    // it needs them.
    const std::size_t value_length = std::strlen(value);
    std::size_t written = value_length;
    if (needs_quotes(value, value_length)) {
        written += 2;
        for (const char *at = value; (at = std::strchr(at, '"')) != nullptr; ++at) ++written;
    }
    return std::strlen(key) + 1 + written + 2;
}

change_fault fault_of_change(const char *section, const char *key, const char *value) noexcept {
    if (has_line_break(section) || has_line_break(key) || has_line_break(value)) return change_fault::line_break;
    if (!key || !value) return change_fault::none;
    if (section && std::strchr(section, ']')) return change_fault::section_bracket;
    if (header_line_length(section) > LINE_BUFFER_SIZE - 1) return change_fault::header_too_long;
    const std::size_t key_length = std::strlen(key);
    if (key_length == 0) return change_fault::empty_key;
    if (is_blank(key[0]) || is_blank(key[key_length - 1])) return change_fault::key_blank_edge;
    if (std::strchr("[;#", key[0])) return change_fault::key_first_byte;
    if (std::strchr(key, '=')) return change_fault::key_separator;
    // A key line of the nameless section may come to stand at the file's
    // first byte, where a key that begins with a byte-order mark would read
    // as the mark (UTF-8: and a shorter key; UTF-16: and no text at all).
    if ((!section || *section == '\0') && (text_start(key, static_cast<file_offset>(key_length)) > 0 ||
                                           is_utf16(key, static_cast<file_offset>(key_length))))
        return change_fault::key_byte_order_mark;
    if (key_line_length(key, value) > LINE_BUFFER_SIZE - 1) return change_fault::key_line_too_long;
    return change_fault::none;
}

}  // namespace brantcfg::detail
