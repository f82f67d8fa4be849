// Private routines of the library, shared between its source files and its
// unit tests, in the order a call meets them: the text codec, the piece
// source, the sequential search, the line emitters, the merge and the
// number texts.
// Nothing here is exported from the shared library: the build hides every
// symbol that is not marked BRANTCFG_API.
#ifndef BRANTCFG_INTERNAL_H
#define BRANTCFG_INTERNAL_H

#include "platform.h"
#include "text_rules.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace brantcfg::detail {

// ---- text codec (text_codec.cpp) ---------------------------------------------

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

// ---- piece source (piece_source.cpp) -----------------------------------------

// Bytes before the read position that stay in the read block of an update
// when it is refilled: a rewrite seeks back at most two pieces to write its
// pending stretch, and such a seek then stays inside the block. A reader
// never looks back and keeps none.
constexpr int READ_BLOCK_KEEP = 2 * LINE_BUFFER_SIZE;
static_assert(READ_BLOCK_KEEP >= 2 * (LINE_BUFFER_SIZE - 1));

// Bytes of the read block of a call that only reads, and of one that may
// rewrite, whose stack holds more beside the block. Both were chosen by
// measurement: larger blocks save system calls, and each call's stack use
// stays within its budget.
constexpr int READER_BLOCK_SIZE = 14 * 1024;
constexpr int WRITER_BLOCK_SIZE = 8 * 1024;

// Source bytes a rewrite copies unchanged to its output file. They are not
// copied anywhere on the way: consecutive stretches are gathered as one
// range of the source, which the system copies from file to file where it
// can, however long the range grows. Elsewhere the range is written
// straight from the read block, at the latest just before the block lets
// go of it.
struct copy_sink {
    enum class kernel_copy : unsigned char { untried, works, refused };
    file_handle out = NO_FILE;
    file_offset from = 0;  // the range of source bytes gathered and not yet written
    file_offset to = 0;
    int error = 0;  // errno of the first failed write; 0 while all is well
    kernel_copy kernel = kernel_copy::untried;
};

// A file read in pieces, with the offset of the next byte kept by hand so
// that positions are exact whatever the piece holds (NUL bytes included).
// The bytes come from the file in blocks of up to capacity bytes into the
// caller's block; window_start, next and filled place the block in the file.
struct line_source {
    line_source(file_handle file_, char *block_, int capacity_, int keep_) noexcept
        : file(file_), block(block_), capacity(capacity_), keep(keep_) {}
    line_source(const line_source &) = delete;
    line_source &operator=(const line_source &) = delete;

    file_handle file;
    char *block;
    int capacity;
    int keep;                      // bytes before the read position a refill keeps in the block
    file_offset offset = 0;        // offset of the next byte to be read
    bool at_line_end = true;       // the last piece ended with '\n' or at end of file
    int read_error = 0;            // errno of a failed read (EILSEQ: a UTF-16 file); 0 while all is well
    file_offset window_start = 0;  // file offset of block[0]; the file stands at window_start + filled
    int next = 0;                  // index in block of the byte at offset
    int filled = 0;                // bytes of block read from the file
    copy_sink *sink = nullptr;     // written out before the block moves on, when given
};

// A line_source with a block of its own, for a call's stack.
template <int Size, int Keep = READ_BLOCK_KEEP>
struct block_source : line_source {
    static_assert(Size >= 4 * READ_BLOCK_KEEP && Keep <= READ_BLOCK_KEEP);
    explicit block_source(file_handle file_) noexcept : line_source(file_, storage, Size, Keep) {}
    char storage[Size];
};

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

// Places a source that has read nothing yet, or that stands at offset 0 of
// bytes in memory, where the file's text begins, reading the first block
// when it has none. A UTF-16 file gives no piece: its source reads as
// failed with EILSEQ. Returns the offset where the source then stands. Every
// read of a file from its first byte begins so.
file_offset begin_text(line_source &source) noexcept;

// A line_source over bytes already in memory: its block is those bytes,
// every one of them filled, and no file stands behind it, so nothing is
// ever read into the block or moved in it. Offsets count from bytes[0]; the
// source stands where the text begins.
struct memory_source : line_source {
    memory_source(char *bytes, int size) noexcept : line_source(NO_FILE, bytes, size, 0) {
        filled = size;
        begin_text(*this);
    }
};

// The length of the piece that starts at from, when its end lies within
// the available bytes there: up to and including the first '\n' within
// size - 1 bytes, or size - 1 bytes without one. 0 when the piece reaches
// past the available bytes.
[[nodiscard]] int piece_length(const char *from, int available, int size) noexcept;

// Reads the next piece: bytes up to and including the next '\n', at most
// size - 1 bytes, or the rest of the file. Terminates it with NUL and
// returns the number of bytes read; 0 at the end of the file or on a read
// error (read_error tells which).
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

// Passes over the piece of up to LINE_BUFFER_SIZE - 1 bytes at the read
// position when it lies whole in the block and cannot be the header of the
// section name, length bytes long: its text (after blanks) is not '[', the
// name in either case of an ASCII letter, and ']'. True when it passed one.
[[nodiscard]] bool pass_other_header(line_source &source, const char *name, std::size_t length) noexcept;

// Passes over the pieces of up to LINE_BUFFER_SIZE - 1 bytes that lie whole
// in the block and, from their first byte that is not blank, neither begin
// with '[' nor with the length bytes of key, in either case of an ASCII
// letter: for a search of that key none of them is its line or ends its
// section. Stops at the first other piece, or where the block ends.
void pass_pieces_not_starting(line_source &source, const char *key, std::size_t length) noexcept;

// Takes every byte the block holds from the read position on, reading the
// next block first when none is left: *bytes points at them, valid until the
// next read. Returns their number; 0 at the end of the file or on a read
// error (read_error tells which).
int take_block(line_source &source, const char **bytes) noexcept;

// The length bytes at offset when the source still holds all of them in
// its block, nullptr otherwise. They stay valid until the next read.
[[nodiscard]] const char *held_bytes(const line_source &source, file_offset offset, int length) noexcept;

// Positions the source at an absolute offset; an offset inside the block
// needs no system call.
[[nodiscard]] bool seek_source(line_source &source, file_offset offset) noexcept;

// Goes on reading the same file through another descriptor of it, from
// where the source stands. False (errno set) when it cannot be placed there.
[[nodiscard]] bool read_through(line_source &source, file_handle file) noexcept;

// Positions the source at the file's first byte and forgets what its block
// holds, so that every byte is read from the file again.
[[nodiscard]] bool restart_source(line_source &source) noexcept;

// Adds length source bytes at from to what the source's sink is to write;
// they must lie in the block. A range that does not follow the one
// gathered so far has that one written first.
void sink_source_bytes(line_source &source, file_offset from, int length) noexcept;

// Writes what the sink has gathered, then length bytes of other text. A
// source without a sink has nothing to write.
void sink_text(line_source &source, const char *text, std::size_t length) noexcept;

// ---- lookup (lookup.cpp) ------------------------------------------------------

// What seek_entry looks for: a section by position, or a key of a section,
// by name or by position. A null or empty section is the nameless one
// above the first header; its search starts where the source stands.
struct entry_query {
    enum class target { section_named, section_at, key_named, key_at };
    target what = target::key_named;
    const char *section = nullptr;
    const char *key = nullptr;  // key_named: the key's name
    int position = 0;           // section_at, key_at: counted from 0
};

[[nodiscard]] constexpr entry_query key_named(const char *section, const char *key) noexcept {
    return {entry_query::target::key_named, section, key, 0};
}
[[nodiscard]] constexpr entry_query key_at(const char *section, int position) noexcept {
    return {entry_query::target::key_at, section, nullptr, position};
}
[[nodiscard]] constexpr entry_query section_named(const char *section) noexcept {
    return {entry_query::target::section_named, section, nullptr, 0};
}
[[nodiscard]] constexpr entry_query section_at(int position) noexcept {
    return {entry_query::target::section_at, nullptr, nullptr, position};
}

// The sequential search every read goes through. Finds what query asks
// for and copies it to dest: a key's decoded value, or the name of the
// section or key at a position. When mark is given it receives the offset
// of each line of the section's body before that line is read. Returns true
// when dest was filled (section_named: with the section's name, the source
// then standing at the first line of its body); dest is untouched
// otherwise.
[[nodiscard]] bool seek_entry(line_source &source, const entry_query &query, char *dest, int size,
                              file_offset *mark) noexcept;

// ---- rewrite (rewrite.cpp) ----------------------------------------------------

// Builds the header line "[section]\r\n" (name cut to MAX_HEADER_NAME) in
// line and returns its length; 0 for a NULL or empty section.
int build_section_header(const char *section, char *line) noexcept;

// Builds the key line "key=value\r\n" (key cut to MAX_KEY_NAME, value
// quoted when it needs it and cut to what remains) in line and returns its
// length.
int build_key_line(const char *key, const char *value, char *line) noexcept;

// True when a set of key to value in section writes lines that read back
// as exactly that entry: a key that is not empty, neither begins with a
// blank, '[', ';' or '#' nor ends with a blank, and holds no '='; a section
// without ']'; and a header line and key line that each fit in
// LINE_BUFFER_SIZE - 1 bytes, so that nothing is cut.
[[nodiscard]] bool storable_entry(const char *section, const char *key, const char *value) noexcept;

// True when ini_puts takes the change at all: no name and no value holds a
// line break, and a set (key and value given) is a storable_entry.
[[nodiscard]] bool acceptable_change(const char *section, const char *key, const char *value) noexcept;

// A rewrite copies the source in stretches of whole pieces, each below
// LINE_BUFFER_SIZE bytes. A piece of count bytes joins the pending stretch
// of pending bytes when this is true; otherwise that stretch is written and
// the piece begins the next one.
[[nodiscard]] constexpr bool joins_stretch(int pending, int count) noexcept {
    return pending + count < LINE_BUFFER_SIZE;
}

// True when the last stretch a rewrite copies, length bytes at text, ends
// in a line end of its own: longer than CR LF alone, and ending in it. Text
// appended after a stretch that does not gets a CR LF first.
[[nodiscard]] constexpr bool stretch_ends_line(const char *text, int length) noexcept {
    return text && length > 2 && text[length - 2] == '\r' && text[length - 1] == '\n';
}

// What an attempt at a change returns when the file changed between its
// search and its lock, so that what it found no longer holds: the caller
// starts over.
constexpr int RETRY = -1;

// Attempts one change makes at most: one without the lock, the rest with it.
constexpr int MAX_ATTEMPTS = 4;

// Makes a change by calling attempt(lock) until it returns 1 or 0 rather
// than RETRY, MAX_ATTEMPTS times at most (then 0 with errno EAGAIN). The
// first attempt searches without the lock; should another writer change the
// file before the lock is had, the next ones run under it, where only a
// program outside this library can change it. A lock the first attempt
// could not wait for with the file open is waited for between attempts.
template <typename Attempt>
[[nodiscard]] int attempt_change(Attempt attempt) noexcept {
    writer_lock lock;
    for (int i = 0; i < MAX_ATTEMPTS; ++i) {
        const int result = attempt(lock);
        if (result != RETRY) return result;
        if (!lock.wait_deferred()) return 0;
    }
    errno = EAGAIN;
    return 0;
}

// Finishes a rewrite whose every byte was written to out (error: errno of
// the first failed write, 0 for none): the new file gets what the old one,
// open as source, had (scratch holds its attributes on the way), and takes
// its place only when every byte reached the disk and the target's path
// still names source. On failure the target is untouched, the temporary
// file is gone and errno says what failed first. Returns 1 or 0. Where the
// system cannot replace an open file, source is closed on the way and set
// to NO_FILE.
int replace_target(file_handle out, int error, file_handle &source, const target_file &target, char *scratch,
                   std::size_t scratch_size) noexcept;

// Creates the missing file at path holding length bytes, as a set creates
// one: under the writers' lock, written whole to the temporary file, synced
// and given its name, or written directly where it has no temporary name.
// RETRY when a file appeared at path meanwhile; 1 or 0 otherwise.
int create_missing_file(const char *bytes, std::size_t length, const char *path, writer_lock &lock) noexcept;

// Points of an update at which the tests change the file system under it,
// to show that the update notices: a program may define the hook, the
// library as shipped never calls anything there.
enum class update_point : int {
    searched = 1,        // the file is searched; no lock is held yet
    before_replace = 2,  // the temporary file is complete, the lock held
};
// The hook: called only in the tests' own build (BRANTCFG_TEST_SEAMS),
// where the test program defines it.
#if defined(BRANTCFG_TEST_SEAMS)
extern "C" void brantcfg_update_point(int point);
#endif
inline void reach(update_point point) noexcept {
#if defined(BRANTCFG_TEST_SEAMS)
    brantcfg_update_point(static_cast<int>(point));
#else
    static_cast<void>(point);
#endif
}

// ---- merge (merge.cpp) ----------------------------------------------------------

// One set of a merge: section (nullptr or "" for the nameless one), key and
// value, as ini_puts takes them.
struct merge_entry {
    const char *section = nullptr;
    const char *key = nullptr;
    const char *value = nullptr;
};

// Sets the count entries in the file at path, one after another, leaving
// the file byte for byte as that many ini_puts calls in the same order
// would; but the file changes once, by one rewrite under the writers' lock
// (or one creation of a missing file), so that a reader sees it before the
// merge or after it and never in between. When nothing changes nothing is
// written and no lock is taken. Every entry is checked before the file is
// opened: one that ini_puts would refuse fails the merge with EINVAL and
// its index in *refused (count otherwise). Returns 1, or 0 with errno set
// and the file untouched. The one routine of the library that uses the
// heap, for the file's bytes and an index of its sections; no export
// calls it.
[[nodiscard]] int merge_entries(const merge_entry *entries, std::size_t count, const char *path,
                                std::size_t *refused) noexcept;

// ---- number texts (number_text.cpp) ---------------------------------------------

// Room for the decimal text of a 32-bit integer, "-2147483648" and its NUL.
constexpr int INT32_TEXT_SIZE = 12;

// Decimal text of a 32-bit integer, the most negative one included.
void int32_to_text(std::int32_t value, char (&dest)[INT32_TEXT_SIZE]) noexcept;

// Room for "%f" of any float: sign, 39 digits, point, six decimals, NUL.
constexpr int FLOAT_TEXT_SIZE = 1 + 39 + 1 + 6 + 1;

// "%f" of the value with "." as the decimal point whatever the locale.
void float_to_text(float value, char (&dest)[FLOAT_TEXT_SIZE]) noexcept;

// Converts text as strtod does in the "C" locale, whatever the locale of
// the process: "." is the decimal point, and the locale's own decimal point
// ends the number. A text that holds no number gives +0.0.
[[nodiscard]] double text_to_double(const char *text) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_INTERNAL_H
