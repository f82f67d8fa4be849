// The text codec: the line grammar every reader and the writer share. It
// says what a line is (blank, comment, header, key line), finds names and
// separators, and turns a stored value into the text a caller gets back:
// a trailing comment cut off, surrounding quotes and their escapes removed.
// Everything here works in place on one line buffer and touches no file.
#include "internal.h"

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

}  // namespace brantcfg::detail
