// Lookup and the readers: the sequential search seek_entry that every
// getter and the update go through, the string and typed getters on top of
// it, enumeration of sections and keys by position, and browse, which walks
// the whole file once and hands every entry to its host. Each export opens
// the file, reads it through a piece source with a block on its own stack,
// and closes it before it returns.
#include "brantcfg.h"

#include "lookup.h"
#include "number_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace brantcfg::detail {

namespace {

// Reads on to the next line that begins with '[' (after blanks), which it
// leaves taken apart in found, with line holding it and start its offset.
// With a name (length bytes), headers that cannot be that name's may be
// passed over where they lie, unread. False at the end of the file or on a
// read error.
[[nodiscard]] bool next_bracket_line(line_source &source, char (&line)[LINE_BUFFER_SIZE], const char *name,
                                     std::size_t length, line_class *found, file_offset *start) noexcept {
    // Runs of lines that cannot begin with '[' are passed over where they lie.
    for (;;) {
        pass_bracketless_run(source);
        if (name && pass_other_header(source, name, length)) continue;
        *start = source.offset();
        if (read_bracket_piece(source, line, sizeof line) == 0) return false;
        *found = classify_line(line, unclosed_bracket::ends_section);
        if (found->kind == line_kind::header || found->kind == line_kind::section_end) return true;
    }
}

}  // namespace

bool next_header(line_source &source, char (&line)[LINE_BUFFER_SIZE], const char *name, std::size_t length,
                 line_class *found, file_offset *start) noexcept {
    while (next_bracket_line(source, line, name, length, found, start))
        if (found->kind == line_kind::header) return true;
    return false;
}

file_offset find_section_end(line_source &source, char (&line)[LINE_BUFFER_SIZE]) noexcept {
    line_class found;
    file_offset start = -1;
    if (next_bracket_line(source, line, nullptr, 0, &found, &start)) return start;
    return source.read_error() != 0 ? -1 : source.offset();
}

bool seek_entry(line_source &source, const entry_query &query, char *dest, int size, entry_marks *marks) noexcept {
    char line[LINE_BUFFER_SIZE];
    // A search from the file's first byte starts where its text begins, so
    // that the first mark lies there too.
    static_cast<void>(begin_text(source));

    const bool by_name = query.what != entry_query::target::section_at && query.section && *query.section != '\0';
    if (by_name || query.what == entry_query::target::section_at) {
        // Only well-formed headers take part; by position every one of
        // them counts, "[]" included.
        int header_count = -1;
        const std::size_t section_length = by_name ? std::strlen(query.section) : 0;
        line_class found;
        file_offset start = -1;
        for (;;) {
            if (!next_header(source, line, by_name ? query.section : nullptr, section_length, &found, &start))
                return false;
            if (by_name) {
                if (found.name_length == section_length &&
                    equal_ignoring_case(found.name, query.section, section_length))
                    break;
            } else if (++header_count == query.position) {
                line[found.name + found.name_length - line] = '\0';
                copy_text(COPY_PLAIN, found.name, dest, size);
                return true;
            }
        }
        if (marks) marks->header = start;
    }
    if (marks) marks->body = source.offset();

    if (query.what == entry_query::target::section_named) {
        if (!by_name) return false;
        copy_text(COPY_PLAIN, query.section, dest, size);
        return true;
    }

    // The section runs until the next line that begins with '[', whether
    // or not that line is a well-formed header.
    int key_count = -1;
    // Lines that do not begin with the key are passed over where they lie.
    // A key that is empty or begins with a blank matches no line, and is
    // left to the loop.
    const bool by_prefix =
        query.what == entry_query::target::key_named && query.key && *query.key != '\0' && !is_blank(*query.key);
    const std::size_t key_length = by_prefix ? std::strlen(query.key) : 0;
    for (;;) {
        if (by_prefix) pass_pieces_not_starting(source, query.key, key_length);
        if (marks) marks->line = source.offset();
        if (read_piece(source, line, sizeof line) == 0) return false;
        const line_class found = classify_line(line, unclosed_bracket::ends_section);
        if (found.kind == line_kind::header || found.kind == line_kind::section_end) return false;
        if (found.kind != line_kind::key) continue;
        if (query.what == entry_query::target::key_named) {
            if (key_name_matches(found.start, found.separator, query.key)) {
                int mode = COPY_PLAIN;
                const char *value = extract_value(skip_blanks(found.separator + 1), &mode);
                copy_text(mode, value, dest, size);
                return true;
            }
        } else if (++key_count == query.position) {
            *found.separator = '\0';
            copy_text(COPY_PLAIN, trim_line_end(found.start), dest, size);
            return true;
        }
    }
}

}  // namespace brantcfg::detail

using namespace brantcfg::detail;

namespace {

// Room for the text of a number read by the typed getters: longer values
// are cut to 63 bytes before conversion.
constexpr int NUMBER_TEXT_SIZE = 64;

// Opens path for reading and searches it; false when the file cannot be
// opened or the entry is absent.
[[nodiscard]] bool find_in_file(const char *path, const entry_query &query, char *dest, int size) noexcept {
    open_result opened = open_result::failed;
    const file_handle file = open_for_reading(path, &opened, read_lock::shared);
    if (file == NO_FILE) return false;
    block_source<READER_BLOCK_SIZE, 0> source(file);
    const bool found = seek_entry(source, query, dest, size);
    close_read_file(file);
    return found;
}

// Puts the key of the key line read at key, without the blanks around it,
// and right after its NUL the decoded value; returns the value. Both stay
// where they lie when no blank stands before them, as on most lines, and
// otherwise move towards the start of the line, so neither needs more room
// than the line had.
char *place_pair(const line_class &found, char *key) noexcept {
    char *key_end = found.separator;
    while (key_end > found.start && is_blank(key_end[-1])) --key_end;
    const std::size_t key_length = static_cast<std::size_t>(key_end - found.start);
    int mode = COPY_PLAIN;
    char *value_end = nullptr;
    // The value is taken apart before the key moves: the key may move
    // over the separator.
    const char *raw_value = extract_value(skip_blanks(found.separator + 1), &mode, &value_end);
    if (found.start != key) std::memmove(key, found.start, key_length);
    key[key_length] = '\0';
    char *value = key + key_length + 1;
    if (mode != COPY_PLAIN) {
        const int room = static_cast<int>(value_end - value) + 1;
        return copy_text(mode, raw_value, value, room);
    }
    const std::size_t value_length = static_cast<std::size_t>(value_end - raw_value);
    if (raw_value != value) std::memmove(value, raw_value, value_length);
    value[value_length] = '\0';
    return value;
}

}  // namespace

int BRANTCFG_CALL ini_gets(const char *section, const char *key, const char *default_value, char *buffer,
                           int buffer_size, const char *path) {
    if (!buffer || buffer_size <= 0 || !key || !path) return 0;
    if (!find_in_file(path, key_named(section, key), buffer, buffer_size))
        copy_text(COPY_PLAIN, default_value ? default_value : "", buffer, buffer_size);
    return static_cast<int>(std::strlen(buffer));
}

int32_t BRANTCFG_CALL ini_getl(const char *section, const char *key, int32_t default_value, const char *path) {
    char text[NUMBER_TEXT_SIZE];
    const int length = ini_gets(section, key, "", text, sizeof text, path);
    if (length == 0) return default_value;
    // Only the second byte decides the base: "0x1F" is hexadecimal, and so
    // is "1x"; "-0x10" is decimal and stops at the "x".
    const int base = (length >= 2 && ascii_upper(text[1]) == 'X') ? 16 : 10;
    const long number = std::strtol(text, nullptr, base);
    if (number < INT32_MIN) return INT32_MIN;
    if (number > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(number);
}

float BRANTCFG_CALL ini_getf(const char *section, const char *key, float default_value, const char *path) {
    char text[NUMBER_TEXT_SIZE];
    if (ini_gets(section, key, "", text, sizeof text, path) == 0) return default_value;
    return static_cast<float>(text_to_double(text));
}

int BRANTCFG_CALL ini_getbool(const char *section, const char *key, int default_value, const char *path) {
    // Room for one byte: only the first byte of the decoded value counts.
    char text[2] = {'\0', '\0'};
    ini_gets(section, key, "", text, sizeof text, path);
    switch (ascii_upper(text[0])) {
        case 'Y':
        case 'T':
        case '1':
            return 1;
        case 'N':
        case 'F':
        case '0':
            return 0;
        default:
            return default_value;
    }
}

int BRANTCFG_CALL ini_getsection(int index, char *buffer, int buffer_size, const char *path) {
    if (!buffer || buffer_size <= 0 || index < 0 || !path) return 0;
    if (!find_in_file(path, section_at(index), buffer, buffer_size)) buffer[0] = '\0';
    return static_cast<int>(std::strlen(buffer));
}

int BRANTCFG_CALL ini_getkey(const char *section, int index, char *buffer, int buffer_size, const char *path) {
    if (!buffer || buffer_size <= 0 || index < 0 || !path) return 0;
    if (!find_in_file(path, key_at(section, index), buffer, buffer_size)) buffer[0] = '\0';
    return static_cast<int>(std::strlen(buffer));
}

int BRANTCFG_CALL ini_browse(browse_callback callback, void *user_data, const char *path) {
    if (!callback || !path) return 0;
    open_result opened = open_result::failed;
    const file_handle file = open_for_reading(path, &opened, read_lock::shared);
    if (file == NO_FILE) return 0;
    block_source<READER_BLOCK_SIZE, 0> source(file);

    // One buffer holds the section name at offset 0, then from offset
    // key_at the key and, right after its NUL, the value. Lines are read at
    // key_at, so a long section name leaves less room for each piece.
    char buffer[LINE_BUFFER_SIZE];
    buffer[0] = '\0';
    int key_at = 1;
    while (read_piece(source, buffer + key_at, LINE_BUFFER_SIZE - key_at) > 0) {
        const line_class found = classify_line(buffer + key_at, unclosed_bracket::is_text);
        if (found.kind == line_kind::header) {
            std::memmove(buffer, found.name, found.name_length);
            buffer[found.name_length] = '\0';
            key_at = static_cast<int>(found.name_length) + 1;
            continue;
        }
        if (found.kind != line_kind::key) continue;
        char *key = buffer + key_at;
        char *value = place_pair(found, key);
        if (callback(buffer, key, value, user_data) == 0) break;
    }
    close_read_file(file);
    return 1;
}
