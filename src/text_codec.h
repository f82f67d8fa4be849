// The line grammar in both directions, shared by every reader and the
// writer: what a line is (blank, comment, header, key line), its names,
// separators and values as a reader takes them apart, and the header and
// key lines a writer builds, with the quoting that makes a value read back
// as it was given and the rule for which entries can be stored at all. It
// also says how a file's first bytes (a byte-order mark) decide how its
// text is read. Nothing here touches a file.
#ifndef BRANTCFG_TEXT_CODEC_H
#define BRANTCFG_TEXT_CODEC_H

#include "platform.h"
#include "text_rules.h"

#include <cstddef>

namespace brantcfg::detail {

// Longest section name a header line carries: "[", name, "]", CR LF.
constexpr int MAX_HEADER_NAME = LINE_BUFFER_SIZE - 5;
// Longest key a key line carries: key, "=", CR LF leave 508 bytes.
constexpr int MAX_KEY_NAME = LINE_BUFFER_SIZE - 4;
static_assert(1 + MAX_HEADER_NAME + 1 + 2 == LINE_BUFFER_SIZE - 1);
static_assert(MAX_KEY_NAME + 1 + 2 == LINE_BUFFER_SIZE - 1);

// ---- reading -----------------------------------------------------------------

// Conversions copy_text applies; the numbers are fixed.
enum copy_mode : int {
    COPY_PLAIN = 0,        // bytes verbatim
    COPY_ADD_QUOTES = 1,   // wrap in '"', escape inner '"' as \"
    COPY_DROP_QUOTES = 2,  // \" and "" become '"', the rest verbatim
};

[[nodiscard]] char *skip_blanks(char *text) noexcept;

// Removes trailing blanks in place; returns text.
char *trim_line_end(char *text) noexcept;

// Cuts a trailing comment and trailing blanks off a raw value (leading
// blanks already skipped) in place, detects a quoted value, stores the copy
// mode that decodes it in mode and returns the start of the value. The NUL
// that ends the value goes to value_end when given.
[[nodiscard]] char *extract_value(char *text, int *mode, char **value_end = nullptr) noexcept;

// Writes source converted under mode into dest, at most size bytes with the
// NUL (size >= 1). dest may lie in the same buffer as source when it does
// not lie after it. Returns dest.
char *copy_text(int mode, const char *source, char *dest, int size) noexcept;

// The separator of a key line: its first '=', or its first ':' when it has
// no '='. nullptr when it has neither.
[[nodiscard]] char *find_separator(char *text) noexcept;

// When text (first non-blank byte of a line) is a section header, returns
// its name and stores the name's length; nullptr otherwise.
[[nodiscard]] const char *header_name(const char *text, std::size_t *length) noexcept;

// True when the key name of a key line (from text up to separator, trailing
// blanks removed) equals name without regard to ASCII case. An empty name
// matches nothing.
[[nodiscard]] bool key_name_matches(const char *text, const char *separator, const char *name) noexcept;

// True when stored[0..length) equals the NUL-terminated name ignoring case.
[[nodiscard]] bool name_matches(const char *stored, std::size_t length, const char *name) noexcept;

// What a line (or a piece of one) is.
enum class line_kind {
    blank,        // nothing but blanks
    comment,      // first non-blank byte ';' or '#'
    header,       // "[name]", whatever follows the ']'
    section_end,  // a '[' line without ']': ends a section for lookups and updates
    key,          // a key line: text, then '=' or ':'
    other,        // anything else; passed over by everyone
};

// How a line whose first non-blank byte is '[' but that has no ']' is read.
// Lookups and updates take it for the end of the section it stands in;
// browsing takes it for an ordinary line, a key line when it has a
// separator, so that browse hands such an entry to its host.
enum class unclosed_bracket { ends_section, is_text };

// A line taken apart by classify_line. The pointers lie in the line.
struct line_class {
    line_kind kind = line_kind::other;
    char *start = nullptr;        // first non-blank byte
    const char *name = nullptr;   // header: the name, not terminated
    std::size_t name_length = 0;  // header: its length
    char *separator = nullptr;    // key: the '=' or ':'
};

// The one line classifier every reader and the writer use.
[[nodiscard]] line_class classify_line(char *line, unclosed_bracket rule) noexcept;

// ---- a file's first bytes ----------------------------------------------------

// The first bytes of a file say how its text is read. A UTF-8 byte-order
// mark at offset 0 is no part of the first line: the text begins after it,
// and a rewrite keeps it as it stands. A UTF-16 mark (FF FE or FE FF) at
// offset 0 makes a file that holds no 8-bit text: it reads as a file
// without entries, and is never written.
constexpr char UTF8_MARK[] = "\xEF\xBB\xBF";
constexpr int UTF8_MARK_LENGTH = 3;

// Where the text of a file whose first size bytes are at bytes begins:
// UTF8_MARK_LENGTH when they begin with the UTF-8 mark, else 0.
[[nodiscard]] file_offset text_start(const char *bytes, file_offset size) noexcept;

// True when bytes (size of them, a file's first) begin with a UTF-16 mark.
[[nodiscard]] bool is_utf16(const char *bytes, file_offset size) noexcept;

// ---- writing -----------------------------------------------------------------

// Builds the header line "[section]\r\n" (name cut to MAX_HEADER_NAME) in
// line and returns its length; 0 for a NULL or empty section.
int build_section_header(const char *section, char *line) noexcept;

// Builds the key line "key=value\r\n" (key cut to MAX_KEY_NAME, value
// quoted when it needs it and cut to what remains) in line and returns its
// length.
int build_key_line(const char *key, const char *value, char *line) noexcept;

// The length of the header line build_section_header makes for section,
// and of the key line build_key_line makes, before either is cut to fit.
[[nodiscard]] std::size_t header_line_length(const char *section) noexcept;
[[nodiscard]] std::size_t key_line_length(const char *key, const char *value) noexcept;

// Why ini_puts refuses a change: the first of its rules the change breaks.
// A set (key and value given) is taken only when it writes lines that read
// back as exactly that entry; any change only when no name and no value
// holds a line break, which would write lines, or whole sections, that the
// caller never asked for.
enum class change_fault {
    none,
    line_break,           // a name or value holds CR or LF
    section_bracket,      // the section name holds ']'
    header_too_long,      // the header line would not fit in LINE_BUFFER_SIZE - 1 bytes
    empty_key,            // the key is empty
    key_blank_edge,       // the key begins or ends with a blank
    key_first_byte,       // the key begins with '[', ';' or '#'
    key_separator,        // the key holds '='
    key_byte_order_mark,  // a key of the nameless section begins with a byte-order mark
    key_line_too_long,    // the key line would not fit in LINE_BUFFER_SIZE - 1 bytes
};

[[nodiscard]] change_fault fault_of_change(const char *section, const char *key, const char *value) noexcept;

// True when ini_puts takes the change at all: fault_of_change finds none.
[[nodiscard]] inline bool acceptable_change(const char *section, const char *key, const char *value) noexcept {
    return fault_of_change(section, key, value) == change_fault::none;
}

}  // namespace brantcfg::detail

#endif  // BRANTCFG_TEXT_CODEC_H
