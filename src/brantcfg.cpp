// brantcfg: reads and writes INI files, one complete transaction per call.
//
// Every export opens its file, scans it from the first byte in pieces of at
// most LINE_BUFFER_SIZE - 1 bytes through buffers on its own stack, and
// closes it before returning; nothing survives a call and nothing comes from
// the heap. The file reads top to bottom:
//   text codec   - blanks, separators, headers, names, value decoding
//   lookup       - the piece reader and the sequential search seek_entry
//   getters      - ini_gets and the typed getters
//   enumeration  - sections and keys by position
//   browsing     - every entry to a host callback in one pass
//   rewriting    - line emitters, the pending stretch, commit by rename
//   updating     - ini_puts: unchanged, patch in place, or rewrite
//   setters      - number texts for ini_putl and ini_putf
// The public contract is documented in include/brantcfg.h.
#include "brantcfg.h"

#include "internal.h"
#include "platform.h"

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brantcfg::detail {
namespace {

// Room for the text of a number read by the typed getters: longer values
// are cut to 63 bytes before conversion.
constexpr int NUMBER_TEXT_SIZE = 64;
// Room for the text of a 32-bit integer ("-2147483648" and its NUL).
constexpr int LONG_TEXT_SIZE = 32;
// Room for "%f" of any float: sign, 39 digits, point, six decimals, NUL.
constexpr int FLOAT_TEXT_SIZE = 64;
static_assert(FLOAT_TEXT_SIZE >= 1 + 39 + 1 + 6 + 1);
static_assert(LONG_TEXT_SIZE >= 12);
// Bytes a rewrite gathers before it hands them to the system: the stream
// of the temporary file buffers into this array on the call's stack, so a
// file is written in a few large writes rather than one per few lines.
constexpr int WRITE_BUFFER_SIZE = 32 * 1024;

// Length of text, counting no further than limit bytes.
[[nodiscard]] std::size_t bounded_length(const char *text, int limit) noexcept {
    const void *end = std::memchr(text, '\0', static_cast<std::size_t>(limit));
    return end ? static_cast<std::size_t>(static_cast<const char *>(end) - text)
               : static_cast<std::size_t>(limit);
}

[[nodiscard]] constexpr char ascii_upper(char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Closes a stream on every way out of a scope.
class stream_guard {
public:
    explicit stream_guard(std::FILE *file) noexcept : file_(file) {}
    stream_guard(const stream_guard &) = delete;
    stream_guard &operator=(const stream_guard &) = delete;
    ~stream_guard() {
        if (file_) std::fclose(file_);
    }

private:
    std::FILE *file_;
};

}  // namespace

// ---- text codec -------------------------------------------------------------

char *skip_blanks(char *text) noexcept {
    while (is_blank(*text)) ++text;
    return text;
}

namespace {

// Ends text after its last non-blank byte before end; returns that NUL.
char *cut_trailing_blanks(char *text, char *end) noexcept {
    while (end > text && is_blank(end[-1])) --end;
    *end = '\0';
    return end;
}

}  // namespace

char *trim_line_end(char *text) noexcept {
    cut_trailing_blanks(text, text + std::strlen(text));
    return text;
}

char *extract_value(char *text, int *mode) noexcept {
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
        ++text;
        *mode = COPY_DROP_QUOTES;
    }
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

// ---- lookup -----------------------------------------------------------------

namespace {

// Reads the next block of the file behind what the source holds, keeping
// the last READ_BUFFER_KEEP bytes before it. False at the end of the file
// or on a read error.
[[nodiscard]] bool refill(line_source &source) noexcept {
    const int keep = source.filled < READ_BUFFER_KEEP ? source.filled : READ_BUFFER_KEEP;
    const int dropped = source.filled - keep;
    if (dropped > 0) {
        std::memmove(source.block, source.block + dropped, static_cast<std::size_t>(keep));
        source.window_start += dropped;
        source.next -= dropped;
        source.filled = keep;
    }
    const std::size_t room = sizeof source.block - static_cast<std::size_t>(keep);
    const std::size_t got = std::fread(source.block + keep, 1, room, source.file);
    source.filled += static_cast<int>(got);
    return got > 0;
}

// The piece at the read position when it lies whole in the block: ended by
// a '\n' within size - 1 bytes, or size - 1 bytes long. Its length goes to
// count; nullptr when the piece reaches past the block.
[[nodiscard]] const char *piece_in_block(const line_source &source, int size, int *count) noexcept {
    const int limit = size - 1;
    const int available = source.filled - source.next;
    const int span = available < limit ? available : limit;
    if (span <= 0) return nullptr;
    const char *from = source.block + source.next;
    if (const void *newline = std::memchr(from, '\n', static_cast<std::size_t>(span))) {
        *count = static_cast<int>(static_cast<const char *>(newline) - from) + 1;
        return from;
    }
    if (span < limit) return nullptr;
    *count = span;
    return from;
}

// Moves the read position past a piece found by piece_in_block.
void pass_piece(line_source &source, int count) noexcept {
    source.at_line_end = source.block[source.next + count - 1] == '\n';
    source.next += count;
    source.offset += count;
}

}  // namespace

int read_piece(line_source &source, char *buffer, int size) noexcept {
    int count = 0;
    if (const char *piece = piece_in_block(source, size, &count)) {
        std::memcpy(buffer, piece, static_cast<std::size_t>(count));
        buffer[count] = '\0';
        pass_piece(source, count);
        return count;
    }
    // The same pieces a byte-at-a-time reader yields: each stops after a
    // '\n', at size - 1 bytes, or at the end of the file.
    const int limit = size - 1;
    bool line_ended = false;
    while (count < limit) {
        if (source.next == source.filled && !refill(source)) {
            line_ended = true;
            break;
        }
        const int available = source.filled - source.next;
        const int wanted = limit - count;
        const int span = available < wanted ? available : wanted;
        const char *from = source.block + source.next;
        const void *newline = std::memchr(from, '\n', static_cast<std::size_t>(span));
        const int taken = newline ? static_cast<int>(static_cast<const char *>(newline) - from) + 1 : span;
        std::memcpy(buffer + count, from, static_cast<std::size_t>(taken));
        count += taken;
        source.next += taken;
        if (newline) {
            line_ended = true;
            break;
        }
    }
    buffer[count] = '\0';
    source.offset += count;
    source.at_line_end = line_ended;
    return count;
}

int read_bracket_piece(line_source &source, char *buffer, int size) noexcept {
    int count = 0;
    if (const char *piece = piece_in_block(source, size, &count)) {
        // The first non-blank byte decides, as skip_blanks finds it: a NUL
        // or the piece's end means an empty line.
        int at = 0;
        while (at < count && is_blank(piece[at])) ++at;
        if (at == count || piece[at] != '[') {
            buffer[0] = '\0';
            pass_piece(source, count);
            return count;
        }
    }
    return read_piece(source, buffer, size);
}

int bracketless_run(const line_source &source) noexcept {
    const char *from = source.block + source.next;
    const char *end = source.block + source.filled;
    const void *bracket = std::memchr(from, '[', static_cast<std::size_t>(end - from));
    const char *stop = bracket ? static_cast<const char *>(bracket) : end;
    while (stop > from && stop[-1] != '\n') --stop;
    return static_cast<int>(stop - from);
}

void pass_run(line_source &source, int count) noexcept {
    if (count == 0) return;
    source.next += count;
    source.offset += count;
    source.at_line_end = true;
}

int take_block(line_source &source, const char **bytes) noexcept {
    if (source.next == source.filled && !refill(source)) return 0;
    const int count = source.filled - source.next;
    *bytes = source.block + source.next;
    source.next = source.filled;
    source.offset += count;
    source.at_line_end = source.block[source.filled - 1] == '\n';
    return count;
}

const char *held_bytes(const line_source &source, long offset, int length) noexcept {
    if (offset < source.window_start || offset + length > source.window_start + source.filled) return nullptr;
    return source.block + (offset - source.window_start);
}

bool seek_source(line_source &source, long offset) noexcept {
    if (offset >= source.window_start && offset <= source.window_start + source.filled) {
        source.next = static_cast<int>(offset - source.window_start);
    } else {
        if (std::fseek(source.file, offset, SEEK_SET) != 0) return false;
        source.window_start = offset;
        source.next = 0;
        source.filled = 0;
    }
    source.offset = offset;
    source.at_line_end = true;
    return true;
}

bool seek_entry(line_source &source, const char *section, int section_index, const char *key,
                int key_index, char *dest, int size, long *mark) noexcept {
    char line[LINE_BUFFER_SIZE];

    const bool section_by_name = section && *section != '\0';
    if (section_by_name || section_index >= 0) {
        // Only well-formed headers take part; with an index every one of
        // them counts, "[]" included.
        int header_count = -1;
        for (;;) {
            pass_run(source, bracketless_run(source));
            if (read_bracket_piece(source, line, sizeof line) == 0) return false;
            std::size_t length = 0;
            const char *name = header_name(skip_blanks(line), &length);
            if (!name) continue;
            if (section_by_name && name_matches(name, length, section)) break;
            if (++header_count == section_index) {
                line[name + length - line] = '\0';
                copy_text(COPY_PLAIN, name, dest, size);
                return true;
            }
        }
    }

    // The section runs until the next line that begins with '[', whether
    // or not that line is a well-formed header.
    const bool key_by_name = key && *key != '\0';
    int key_count = -1;
    for (;;) {
        if (mark) *mark = source.offset;
        if (read_piece(source, line, sizeof line) == 0) return false;
        char *start = skip_blanks(line);
        if (*start == '[') return false;
        if (*start == '\0' || *start == ';' || *start == '#') continue;
        char *separator = find_separator(start);
        if (!separator) continue;

        if (key_by_name && key_name_matches(start, separator, key)) {
            int mode = COPY_PLAIN;
            const char *value = extract_value(skip_blanks(separator + 1), &mode);
            copy_text(mode, value, dest, size);
            return true;
        }
        if (++key_count == key_index) {
            *separator = '\0';
            copy_text(COPY_PLAIN, trim_line_end(start), dest, size);
            return true;
        }
    }
}

}  // namespace brantcfg::detail

using namespace brantcfg::detail;

namespace {

// Opens path for reading through a line_source. The source reads the file
// in blocks of its own, so the stream is left without a buffer that every
// byte would pass through a second time; should that fail, the stream keeps
// its buffer and reads the same bytes.
[[nodiscard]] std::FILE *open_source(const char *path, open_result *opened) noexcept {
    std::FILE *file = open_for_reading(path, opened);
    if (file) static_cast<void>(std::setvbuf(file, nullptr, _IONBF, 0));
    return file;
}

// Opens path for reading and searches it; false when the file cannot be
// opened or the entry is absent.
[[nodiscard]] bool find_in_file(const char *path, const char *section, int section_index,
                                const char *key, int key_index, char *dest, int size) noexcept {
    open_result opened = open_result::failed;
    std::FILE *file = open_source(path, &opened);
    if (!file) return false;
    stream_guard guard(file);
    line_source source;
    source.file = file;
    return seek_entry(source, section, section_index, key, key_index, dest, size, nullptr);
}

// Converts text as strtod does in the "C" locale, whatever the locale of
// the process: "." is the decimal point, and the locale's own decimal point
// ends the number.
[[nodiscard]] double text_to_double(const char *text) noexcept {
    const char *point = std::localeconv()->decimal_point;
    const std::size_t point_length = (point && *point) ? std::strlen(point) : 0;
    if (point_length == 0 || (point_length == 1 && point[0] == '.')) return std::strtod(text, nullptr);

    char local[2 * NUMBER_TEXT_SIZE];
    std::size_t j = 0;
    for (const char *s = text; *s != '\0'; ++s) {
        if (std::strncmp(s, point, point_length) == 0) break;
        if (*s == '.') {
            if (j + point_length >= sizeof local) break;
            std::memcpy(local + j, point, point_length);
            j += point_length;
        } else {
            if (j + 1 >= sizeof local) break;
            local[j++] = *s;
        }
    }
    local[j] = '\0';
    return std::strtod(local, nullptr);
}

}  // namespace

// ---- getters ------------------------------------------------------------------

int BRANTCFG_CALL ini_gets(const char *section, const char *key, const char *default_value,
                           char *buffer, int buffer_size, const char *path) {
    if (!buffer || buffer_size <= 0 || !key || !path) return 0;
    if (!find_in_file(path, section, -1, key, -1, buffer, buffer_size))
        copy_text(COPY_PLAIN, default_value ? default_value : "", buffer, buffer_size);
    return static_cast<int>(std::strlen(buffer));
}

int32_t BRANTCFG_CALL ini_getl(const char *section, const char *key, int32_t default_value,
                               const char *path) {
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

float BRANTCFG_CALL ini_getf(const char *section, const char *key, float default_value,
                             const char *path) {
    char text[NUMBER_TEXT_SIZE];
    if (ini_gets(section, key, "", text, sizeof text, path) == 0) return default_value;
    return static_cast<float>(text_to_double(text));
}

int BRANTCFG_CALL ini_getbool(const char *section, const char *key, int default_value,
                              const char *path) {
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

// ---- enumeration --------------------------------------------------------------

int BRANTCFG_CALL ini_getsection(int index, char *buffer, int buffer_size, const char *path) {
    if (!buffer || buffer_size <= 0 || index < 0 || !path) return 0;
    if (!find_in_file(path, nullptr, index, nullptr, -1, buffer, buffer_size)) buffer[0] = '\0';
    return static_cast<int>(std::strlen(buffer));
}

int BRANTCFG_CALL ini_getkey(const char *section, int index, char *buffer, int buffer_size,
                             const char *path) {
    if (!buffer || buffer_size <= 0 || index < 0 || !path) return 0;
    if (!find_in_file(path, section, -1, nullptr, index, buffer, buffer_size)) buffer[0] = '\0';
    return static_cast<int>(std::strlen(buffer));
}

// ---- browsing -----------------------------------------------------------------

int BRANTCFG_CALL ini_browse(browse_callback callback, void *user_data, const char *path) {
    if (!callback || !path) return 0;
    open_result opened = open_result::failed;
    std::FILE *file = open_source(path, &opened);
    if (!file) return 0;
    stream_guard guard(file);
    line_source source;
    source.file = file;

    // One buffer holds the section name at offset 0, then from offset
    // key_at the key and, right after its NUL, the value. Lines are read at
    // key_at, so a long section name leaves less room for each piece.
    char buffer[LINE_BUFFER_SIZE];
    buffer[0] = '\0';
    int key_at = 1;
    while (read_piece(source, buffer + key_at, LINE_BUFFER_SIZE - key_at) > 0) {
        char *start = skip_blanks(buffer + key_at);
        if (*start == '\0' || *start == ';' || *start == '#') continue;

        std::size_t name_length = 0;
        if (const char *name = header_name(start, &name_length)) {
            std::memmove(buffer, name, name_length);
            buffer[name_length] = '\0';
            key_at = static_cast<int>(name_length) + 1;
            continue;
        }

        char *separator = find_separator(start);
        if (!separator) continue;
        *separator = '\0';
        char *key = copy_text(COPY_PLAIN, trim_line_end(start), buffer + key_at,
                              LINE_BUFFER_SIZE - key_at);
        const int key_length = static_cast<int>(std::strlen(key));
        int mode = COPY_PLAIN;
        const char *raw_value = extract_value(skip_blanks(separator + 1), &mode);
        char *value = copy_text(mode, raw_value, key + key_length + 1,
                                LINE_BUFFER_SIZE - key_at - (key_length + 1));
        if (callback(buffer, key, value, user_data) == 0) break;
    }
    return 1;
}

// ---- rewriting ----------------------------------------------------------------

namespace brantcfg::detail {

bool write_section_header(const char *section, char *line, std::FILE *out) noexcept {
    if (!section || *section == '\0') return true;
    int i = 0;
    line[i++] = '[';
    for (const char *s = section; *s != '\0' && i <= MAX_HEADER_NAME; ++s) line[i++] = *s;
    std::memcpy(line + i, "]\r\n", 4);
    i += 3;
    return !out || std::fwrite(line, 1, static_cast<std::size_t>(i), out) == static_cast<std::size_t>(i);
}

bool write_key_line(const char *key, const char *value, char *line, std::FILE *out) noexcept {
    // Quotes keep what a reader would otherwise take for a comment, an
    // escape or a trailing blank. Leading blanks and a trailing tab are
    // written as they are.
    const std::size_t value_length = std::strlen(value);
    const bool quoted = std::strpbrk(value, "\";#") != nullptr ||
                        (value_length > 0 && value[value_length - 1] == ' ');
    int k = 0;
    for (const char *s = key; *s != '\0' && k < MAX_KEY_NAME; ++s) line[k++] = *s;
    line[k] = '=';
    copy_text(quoted ? COPY_ADD_QUOTES : COPY_PLAIN, value, line + k + 1, LINE_BUFFER_SIZE - 3 - k);
    const std::size_t length = std::strlen(line);
    std::memcpy(line + length, "\r\n", 3);
    return !out || std::fwrite(line, 1, length + 2, out) == length + 2;
}

}  // namespace brantcfg::detail

namespace {

// One ini_puts call's rewrite: the source, the temporary file, and the
// stretch of source bytes accepted for copying but not yet written. Copied
// text is not kept: a stretch is read again from the source when it is
// written, so the state holds one line buffer whatever the file's size.
struct rewrite_state {
    line_source src;
    std::FILE *out = nullptr;
    int pending = 0;     // accepted bytes from copy_from on, always below LINE_BUFFER_SIZE
    long copy_from = 0;  // where the pending stretch begins in the source
    const char *section = nullptr;
    const char *key = nullptr;
    const char *value = nullptr;
    int error = 0;       // errno of the first failure; 0 while all is well
    char line[LINE_BUFFER_SIZE];
    char out_block[WRITE_BUFFER_SIZE];  // out's buffer until commit_rewrite closes it
};

void note_failure(rewrite_state &state, int cause) noexcept {
    if (state.error == 0) state.error = (cause != 0) ? cause : EIO;
}

// The length of the source piece just read. A read error counts as a
// failure: the copy would be incomplete.
int checked_read(rewrite_state &state, int count) noexcept {
    if (count == 0 && std::ferror(state.src.file)) note_failure(state, errno);
    return count;
}

// Reads the next source piece into the line buffer.
int read_line(rewrite_state &state) noexcept {
    return checked_read(state, read_piece(state.src, state.line, sizeof state.line));
}

// Reads the next source piece where only a line beginning with '[' needs
// its text in the line buffer (see read_bracket_piece).
int read_bracket_line(rewrite_state &state) noexcept {
    return checked_read(state, read_bracket_piece(state.src, state.line, sizeof state.line));
}

void write_text(rewrite_state &state, const char *text, std::size_t length) noexcept {
    if (std::fwrite(text, 1, length, state.out) != length) note_failure(state, errno);
}

// Reads the pending stretch again from the source into the line buffer;
// nullptr when the source no longer yields all of it.
const char *read_stretch_again(rewrite_state &state) noexcept {
    if (!seek_source(state.src, state.copy_from)) note_failure(state, errno);
    state.line[0] = '\0';
    int filled = 0;
    while (filled < state.pending) {
        const int count = read_piece(state.src, state.line + filled, LINE_BUFFER_SIZE - filled);
        if (count == 0) {
            // The source ended or failed inside bytes it held a moment ago.
            note_failure(state, std::ferror(state.src.file) ? errno : EIO);
            return nullptr;
        }
        filled += count;
    }
    return state.line;
}

// Writes the pending stretch in one write: from the source's block while
// it still holds the stretch, as it does unless a read failed, else read
// again from the source. Returns true when it ended in CR LF and was longer
// than that alone.
bool flush_pending(rewrite_state &state) noexcept {
    const int length = state.pending;
    const char *text = held_bytes(state.src, state.copy_from, length);
    if (!text) text = read_stretch_again(state);
    bool ends_in_crlf = false;
    if (length > 0 && text) {
        write_text(state, text, static_cast<std::size_t>(length));
        ends_in_crlf = length > 2 && text[length - 2] == '\r' && text[length - 1] == '\n';
    }
    state.copy_from += length;
    if (state.src.offset != state.copy_from && !seek_source(state.src, state.copy_from))
        note_failure(state, errno);
    state.pending = 0;
    return ends_in_crlf;
}

// The line just read, count bytes long, joins the pending stretch; when the
// stretch would no longer fit the buffer it is written first and the line
// read again to start the next one.
void accept_line(rewrite_state &state, int count) noexcept {
    if (state.pending + count < LINE_BUFFER_SIZE) {
        state.pending += count;
        return;
    }
    flush_pending(state);
    state.pending = read_line(state);
}

// The line just read is left out. Only while nothing is pending.
void drop_line(rewrite_state &state) noexcept { state.copy_from = state.src.offset; }

// Leaves out the pieces that follow the one just read up to the end of its
// physical line, so no tail of a long line is left behind as a line of its
// own.
void drop_rest_of_line(rewrite_state &state) noexcept {
    while (!state.src.at_line_end && read_line(state) > 0) {
    }
    drop_line(state);
}

void write_line_end(rewrite_state &state) noexcept { write_text(state, "\r\n", 2); }

void emit_header(rewrite_state &state) noexcept {
    if (!write_section_header(state.section, state.line, state.out)) note_failure(state, errno);
}

void emit_key(rewrite_state &state) noexcept {
    if (!write_key_line(state.key, state.value, state.line, state.out)) note_failure(state, errno);
}

// At the end of the file: writes what is pending, then, for a set, the key
// line (after the section's header when the section is new), with a line
// end first unless the copied text already ends in one.
void append_at_end(rewrite_state &state, bool with_header) noexcept {
    const bool ended = flush_pending(state);
    if (!state.key || !state.value) return;
    if (!ended) write_line_end(state);
    if (with_header) emit_header(state);
    emit_key(state);
}

// Accepts the whole lines ahead that hold no '[' (see bracketless_run),
// piece by piece exactly as reading and accept_line would, without copying
// them into the line buffer: the stretches that fill up on the way are
// contiguous, so they go out in one write straight from the block.
void accept_bracketless_run(rewrite_state &state) noexcept {
    const int run = bracketless_run(state.src);
    const long run_start = state.src.offset;
    // The pending stretch ends where the run begins.
    const int behind = static_cast<int>(run_start - state.copy_from);
    const char *from =
        run > 0 && behind == state.pending ? held_bytes(state.src, state.copy_from, behind + run) : nullptr;
    if (!from) return;  // left to the piece-by-piece path
    const char *piece = from + behind;
    const char *end = piece + run;
    int pending = state.pending;
    int flushed = 0;
    while (piece < end) {
        const std::size_t span = static_cast<std::size_t>(end - piece) < LINE_BUFFER_SIZE - 1
                                     ? static_cast<std::size_t>(end - piece)
                                     : LINE_BUFFER_SIZE - 1;
        const void *newline = std::memchr(piece, '\n', span);
        const int count = newline ? static_cast<int>(static_cast<const char *>(newline) - piece) + 1
                                  : static_cast<int>(span);
        if (pending + count < LINE_BUFFER_SIZE) {
            pending += count;
        } else {
            flushed += pending;
            pending = count;
        }
        piece += count;
    }
    if (flushed > 0) write_text(state, from, static_cast<std::size_t>(flushed));
    state.copy_from += flushed;
    state.pending = pending;
    pass_run(state.src, run);
}

// Copies everything from the read position to the end of the source. No
// line there needs a decision, so after the pending stretch the bytes go
// out as the source's block holds them, in writes of a block each, without
// being cut into lines first.
void copy_rest(rewrite_state &state) noexcept {
    flush_pending(state);
    const char *bytes = nullptr;
    while (const int count = take_block(state.src, &bytes))
        write_text(state, bytes, static_cast<std::size_t>(count));
    if (std::ferror(state.src.file)) note_failure(state, errno);
    state.copy_from = state.src.offset;
}

// Copies the source to the temporary file, inserting, replacing or leaving
// out lines as the operation asks.
void rewrite_lines(rewrite_state &state) noexcept {
    const bool named = state.section && *state.section != '\0';
    const bool setting = state.key && state.value;

    // Find the section's header, copying everything before it.
    bool header_found = false;
    if (named) {
        // Lines are accepted piece by piece even where no header can be:
        // how the stretches fall decides the line end before an appended
        // section.
        for (;;) {
            accept_bracketless_run(state);
            const int count = read_bracket_line(state);
            if (count == 0) {
                // No such section: a set appends it.
                append_at_end(state, true);
                return;
            }
            std::size_t length = 0;
            const char *name = header_name(skip_blanks(state.line), &length);
            if (name && name_matches(name, length, state.section)) {
                header_found = true;
                // A section deletion leaves the header pending-free so it can be dropped.
                if (state.key) accept_line(state, count);
                break;
            }
            accept_line(state, count);
        }
    }

    // The section's body, up to the target key line or the section's end.
    flush_pending(state);
    if (!state.key && header_found) {
        read_line(state);
        drop_line(state);
    }
    for (;;) {
        const int count = read_line(state);
        if (count == 0) {
            append_at_end(state, false);
            return;
        }
        char *start = skip_blanks(state.line);
        if (*start == '[') break;
        if (state.key) {
            const char *separator = find_separator(start);
            if (separator && key_name_matches(start, separator, state.key)) break;
            accept_line(state, count);
        } else {
            drop_line(state);
        }
    }

    // The stop line: a new key line goes before it; a section end stays, an
    // old key line goes.
    flush_pending(state);
    if (setting) emit_key(state);
    const int count = read_line(state);
    if (*skip_blanks(state.line) == '[')
        accept_line(state, count);
    else
        drop_rest_of_line(state);
    copy_rest(state);
}

// Finishes a temporary file: it replaces the target only when
// every byte of it reached the disk. On failure the target is untouched,
// the temporary file is gone and errno says what failed first.
int commit_temp_file(rewrite_state &state, const target_file &target) noexcept {
    // Sync before the rename: otherwise a power loss soon after it can
    // leave the path naming a file whose data never reached the disk.
    if (state.error == 0 && !flush_to_disk(state.out)) note_failure(state, errno);
    // Close checked by hand: a late write error shows up only here.
    if (std::fclose(state.out) != 0) note_failure(state, errno);
    state.out = nullptr;
    // One rename over the target: the path names the old or the new file
    // at every moment, never neither.
    if (state.error == 0 && !replace_file(target.temp_path, target.path)) note_failure(state, errno);

    if (state.error != 0) {
        std::remove(target.temp_path);
        errno = state.error;
        return 0;
    }
    sync_parent_directory(target.path);
    return 1;
}

// Finishes a rewrite: the source closes (a read error on it fails the
// rewrite) and the temporary file is committed.
int commit_rewrite(rewrite_state &state, const target_file &target) noexcept {
    if (std::ferror(state.src.file)) note_failure(state, EIO);
    std::fclose(state.src.file);  // read-only: closing it cannot lose data
    state.src.file = nullptr;
    return commit_temp_file(state, target);
}

// ---- updating -----------------------------------------------------------------

[[nodiscard]] bool has_line_break(const char *text) noexcept {
    return text && text[std::strcspn(text, "\r\n")] != '\0';
}

// Closes a stream that was written to; written says whether every write
// so far succeeded. True when both that and the close did; otherwise errno
// keeps the cause of the first failure.
[[nodiscard]] bool close_written(std::FILE *file, bool written) noexcept {
    const int cause = errno;
    const bool closed = std::fclose(file) == 0;  // a late write error shows up here
    if (!written) {
        errno = cause;
        return false;
    }
    return closed;
}

// A missing file is created holding the one entry. A file that could not
// be written completely is removed again.
int create_file(const char *section, const char *key, const char *value, const char *path) noexcept {
    std::FILE *out = std::fopen(path, "wb");
    if (!out) return 0;
    char line[LINE_BUFFER_SIZE];
    const bool written = write_section_header(section, line, out) &&
                         write_key_line(key, value, line, out) && flush_to_disk(out);
    if (close_written(out, written)) return 1;
    const int cause = errno;
    remove_created_file(path);
    errno = cause;
    return 0;
}

// Writes a line of the same length over the old one.
int patch_line(const char *path, long offset, const char *text) noexcept {
    std::FILE *file = std::fopen(path, "r+b");
    if (!file) return 0;
    // The old bytes are kept so that a patch that cannot reach the disk is
    // taken back, rather than leave the file holding a line the caller was
    // told was not written.
    char old_text[LINE_BUFFER_SIZE];
    const std::size_t length = std::strlen(text);
    if (std::fseek(file, offset, SEEK_SET) != 0 || std::fread(old_text, 1, length, file) != length) {
        const int cause = std::ferror(file) ? errno : EIO;
        std::fclose(file);
        errno = cause;
        return 0;
    }
    const bool written = std::fseek(file, offset, SEEK_SET) == 0 &&
                         std::fwrite(text, 1, length, file) == length && flush_to_disk(file);
    if (!written) {
        // Best effort: the failure being reported is the first one.
        const int cause = errno;
        std::clearerr(file);
        if (std::fseek(file, offset, SEEK_SET) == 0 && std::fwrite(old_text, 1, length, file) == length)
            static_cast<void>(flush_to_disk(file));
        errno = cause;
    }
    return close_written(file, written) ? 1 : 0;
}

// The update once the source is open: nothing, a patch, or a rewrite.
int update_open_file(rewrite_state &state, const char *path) noexcept {
    if (state.key && state.value) {
        long start = 0;
        errno = 0;
        if (seek_entry(state.src, state.section, -1, state.key, -1, state.line, sizeof state.line,
                       &start)) {
            if (std::strcmp(state.line, state.value) == 0) return 1;
            // The old line is every piece of its physical line.
            while (!state.src.at_line_end && read_piece(state.src, state.line, sizeof state.line) > 0) {
            }
            const long end = state.src.offset;
            write_key_line(state.key, state.value, state.line, nullptr);
            if (!std::ferror(state.src.file) && static_cast<long>(std::strlen(state.line)) == end - start) {
                std::fclose(state.src.file);
                state.src.file = nullptr;
                return patch_line(path, start, state.line);
            }
        }
        if (std::ferror(state.src.file)) {
            if (errno == 0) errno = EIO;
            return 0;
        }
        if (!seek_source(state.src, 0)) return 0;
    }

    target_file target;
    if (!describe_target(path, state.src.file, &target)) return 0;
    state.out = create_temp_file(target);
    if (!state.out) return 0;
    // Should the buffer be refused, the stream keeps its own and writes the
    // same bytes.
    static_cast<void>(std::setvbuf(state.out, state.out_block, _IOFBF, sizeof state.out_block));
    rewrite_lines(state);
    return commit_rewrite(state, target);
}

// A missing file is created the way a rewrite replaces one: written whole
// to the temporary file, synced and renamed into place, so that a crash
// never leaves an empty or partial file at the path. A path that has no
// temporary path (it ends in '~') and a link to a missing file are written
// directly.
int create_missing_file(const char *section, const char *key, const char *value, const char *path) noexcept {
    target_file target;
    if (!describe_new_target(path, &target)) return create_file(section, key, value, path);
    rewrite_state state;
    state.out = create_temp_file(target);
    if (!state.out) return 0;
    if (!write_section_header(section, state.line, state.out) || !write_key_line(key, value, state.line, state.out))
        note_failure(state, errno);
    return commit_temp_file(state, target);
}

}  // namespace

int BRANTCFG_CALL ini_puts(const char *section, const char *key, const char *value, const char *path) {
    // A line break inside a name or value would write lines, or whole
    // sections, that the caller never asked for.
    if (!path || has_line_break(section) || has_line_break(key) || has_line_break(value)) {
        errno = EINVAL;
        return 0;
    }
    open_result opened = open_result::failed;
    std::FILE *file = open_source(path, &opened);
    if (!file) {
        // Only a file that is not there may be created; one that exists but
        // cannot be read is never replaced.
        if (opened != open_result::missing) return 0;
        if (!key || !value) return 1;
        return create_missing_file(section, key, value, path);
    }

    rewrite_state state;
    state.src.file = file;
    state.section = section;
    state.key = key;
    state.value = value;
    const int result = update_open_file(state, path);
    if (state.src.file) {
        const int cause = errno;
        std::fclose(state.src.file);
        errno = cause;
    }
    return result;
}

// ---- setters ------------------------------------------------------------------

namespace brantcfg::detail {

void long_to_text(std::int32_t value, char *dest) noexcept {
    // Digits come least significant first, each remainder made
    // non-negative on its own, so the most negative value needs no
    // positive counterpart.
    int i = 0;
    std::int32_t rest = value;
    do {
        const std::int32_t digit = rest % 10;
        dest[i++] = static_cast<char>('0' + (digit < 0 ? -digit : digit));
        rest /= 10;
    } while (rest != 0);
    if (value < 0) dest[i++] = '-';
    dest[i] = '\0';
    for (int a = 0, b = i - 1; a < b; ++a, --b) {
        const char swap = dest[a];
        dest[a] = dest[b];
        dest[b] = swap;
    }
}

}  // namespace brantcfg::detail

namespace {

// "%f" of the value with "." as the decimal point whatever the locale.
void float_to_text(float value, char *dest, int size) noexcept {
    std::snprintf(dest, static_cast<std::size_t>(size), "%f", static_cast<double>(value));
    const char *point = std::localeconv()->decimal_point;
    if (!point || *point == '\0' || std::strcmp(point, ".") == 0) return;
    if (char *at = std::strstr(dest, point)) {
        const std::size_t point_length = std::strlen(point);
        *at = '.';
        std::memmove(at + 1, at + point_length, std::strlen(at + point_length) + 1);
    }
}

}  // namespace

int BRANTCFG_CALL ini_putl(const char *section, const char *key, int32_t value, const char *path) {
    char text[LONG_TEXT_SIZE];
    long_to_text(value, text);
    return ini_puts(section, key, text, path);
}

int BRANTCFG_CALL ini_putf(const char *section, const char *key, float value, const char *path) {
    char text[FLOAT_TEXT_SIZE];
    float_to_text(value, text, sizeof text);
    return ini_puts(section, key, text, path);
}
