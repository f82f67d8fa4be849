// Private routines of the library, shared between its source files and its
// unit tests. Nothing here is exported from the shared library: the build
// hides every symbol that is not marked BRANTCFG_API.
#ifndef BRANTCFG_INTERNAL_H
#define BRANTCFG_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace brantcfg::detail {

// Bytes in every line buffer: a line is read in pieces of at most
// LINE_BUFFER_SIZE - 1 bytes, and every line built for writing fits in it.
constexpr int LINE_BUFFER_SIZE = 512;

// Longest section name a header line carries: "[", name, "]", CR LF.
constexpr int MAX_HEADER_NAME = LINE_BUFFER_SIZE - 5;
// Longest key a key line carries: key, "=", CR LF leave 508 bytes.
constexpr int MAX_KEY_NAME = LINE_BUFFER_SIZE - 4;
static_assert(1 + MAX_HEADER_NAME + 1 + 2 == LINE_BUFFER_SIZE - 1);
static_assert(MAX_KEY_NAME + 1 + 2 == LINE_BUFFER_SIZE - 1);

// Conversions copy_text applies; the numbers are fixed.
enum copy_mode : int {
    COPY_PLAIN = 0,        // bytes verbatim
    COPY_ADD_QUOTES = 1,   // wrap in '"', escape inner '"' as \"
    COPY_DROP_QUOTES = 2,  // \" and "" become '"', the rest verbatim
};

// A blank is any byte from 0x01 to 0x20; NUL ends a string.
[[nodiscard]] constexpr bool is_blank(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x01 && u <= 0x20;
}

[[nodiscard]] char *skip_blanks(char *text) noexcept;

// Removes trailing blanks in place; returns text.
char *trim_line_end(char *text) noexcept;

// Cuts a trailing comment and trailing blanks off a raw value (leading
// blanks already skipped) in place, detects a quoted value, stores the copy
// mode that decodes it in mode and returns the start of the value.
[[nodiscard]] char *extract_value(char *text, int *mode) noexcept;

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
[[nodiscard]] bool key_name_matches(const char *text, const char *separator,
                                    const char *name) noexcept;

// True when stored[0..length) equals the NUL-terminated name ignoring case.
[[nodiscard]] bool name_matches(const char *stored, std::size_t length,
                                const char *name) noexcept;

// Bytes the piece reader takes from the file per read: large reads keep
// the number of system calls per file small, and the buffer lives on the
// stack of each call.
constexpr int READ_BUFFER_SIZE = 32 * 1024;
// Bytes before the read position that stay in the read buffer when it is
// refilled: a rewrite seeks back at most two pieces to write its pending
// stretch, and such a seek then stays inside the buffer.
constexpr int READ_BUFFER_KEEP = 2 * LINE_BUFFER_SIZE;
static_assert(READ_BUFFER_KEEP >= 2 * (LINE_BUFFER_SIZE - 1));
static_assert(READ_BUFFER_SIZE >= 4 * READ_BUFFER_KEEP);

// A stream read in pieces, with the offset of the next byte kept by hand so
// that positions are exact whatever the piece holds (NUL bytes included).
// The bytes come from the file in blocks of up to READ_BUFFER_SIZE bytes;
// window_start, next and filled place the block in the file.
struct line_source {
    std::FILE *file = nullptr;
    long offset = 0;        // offset of the next byte to be read
    bool at_line_end = true; // the last piece ended with '\n' or at end of file
    long window_start = 0;  // file offset of block[0]; the stream stands at window_start + filled
    int next = 0;           // index in block of the byte at offset
    int filled = 0;         // bytes of block read from the file
    char block[READ_BUFFER_SIZE];
};

// Reads the next piece: bytes up to and including the next '\n', at most
// size - 1 bytes, or the rest of the file. Terminates it with NUL and
// returns the number of bytes read; 0 at the end of the file or on a read
// error (ferror tells which).
int read_piece(line_source &source, char *buffer, int size) noexcept;

// Reads the next piece as read_piece does, for a search that only looks at
// lines whose first non-blank byte is '[' (headers and section ends): such a
// piece always reaches buffer whole, while a piece of any other kind may be
// passed over where it lies, leaving buffer holding "". Returns the
// piece's length either way.
int read_bracket_piece(line_source &source, char *buffer, int size) noexcept;

// The number of bytes from the read position, up to and including a '\n',
// that hold no '[' at all and lie whole in the block: every position after
// a '\n' is a piece boundary, so they make whole pieces, none of which can
// be a header or a section end. 0 when there are none.
[[nodiscard]] int bracketless_run(const line_source &source) noexcept;

// Moves the read position past count bytes that bracketless_run reported.
void pass_run(line_source &source, int count) noexcept;

// Takes every byte the block holds from the read position on, reading the
// next block first when none is left: *bytes points at them, valid until the
// next read. Returns their number; 0 at the end of the file or on a read
// error (ferror tells which).
int take_block(line_source &source, const char **bytes) noexcept;

// The length bytes at offset when the source still holds all of them in
// its block, nullptr otherwise. They stay valid until the next read.
[[nodiscard]] const char *held_bytes(const line_source &source, long offset, int length) noexcept;

// Positions the source at an absolute offset; an offset inside the block
// needs no system call.
[[nodiscard]] bool seek_source(line_source &source, long offset) noexcept;

// The sequential search every read goes through. Finds a section by name
// (section non-empty) or by position (section_index >= 0; the name is then
// copied to dest and the search ends), then a key in it by name (key
// non-empty: its decoded value is copied to dest) or by position
// (key_index >= 0: its name is copied to dest). With neither section name
// nor index it searches the nameless section from the current position.
// When mark is given it receives the offset of each key-phase line before
// that line is read. Returns true when dest was filled; dest is untouched
// otherwise.
[[nodiscard]] bool seek_entry(line_source &source, const char *section, int section_index,
                              const char *key, int key_index, char *dest, int size,
                              long *mark) noexcept;

// Builds the header line "[section]\r\n" (name cut to MAX_HEADER_NAME) in
// line and writes it to out when out is given. Does nothing for a NULL or
// empty section. Returns false when the write failed.
bool write_section_header(const char *section, char *line, std::FILE *out) noexcept;

// Builds the key line "key=value\r\n" (key cut to MAX_KEY_NAME, value
// quoted when it needs it and cut to what remains) in line and writes it to
// out when out is given. Returns false when the write failed.
bool write_key_line(const char *key, const char *value, char *line, std::FILE *out) noexcept;

// Decimal text of a 32-bit integer, the most negative one included. dest
// must hold 12 bytes.
void long_to_text(std::int32_t value, char *dest) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_INTERNAL_H
