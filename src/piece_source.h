// The piece source: a file read in pieces of at most LINE_BUFFER_SIZE - 1
// bytes, each up to and including a '\n', exactly as a reader taking one
// byte at a time would cut them, with exact offsets whatever the bytes are.
// The bytes come from the system in large blocks into a buffer on the
// caller's stack, or lie in memory already (a merge's). Searches that only
// look at some lines pass over whole runs of the others where they lie.
#ifndef BRANTCFG_PIECE_SOURCE_H
#define BRANTCFG_PIECE_SOURCE_H

#include "platform.h"
#include "text_rules.h"

#include <cstddef>

namespace brantcfg::detail {

// Bytes of the read block of a call that only reads, and of one that may
// rewrite, whose stack holds more beside the block. Both were chosen by
// measurement: larger blocks save system calls, and each call's stack use
// stays within its budget.
constexpr int READER_BLOCK_SIZE = 14 * 1024;
constexpr int WRITER_BLOCK_SIZE = 8 * 1024;

// Bytes before the read position that stay in the read block of an update
// when it is refilled: the whole line a patch replaces, which the search
// has just read, is still there to compare with the file under the lock. A
// reader never looks back and keeps none.
constexpr int READ_BLOCK_KEEP = LINE_BUFFER_SIZE;

class line_source;

// Places a source that has read nothing yet, or that stands at offset 0 of
// bytes in memory, where the file's text begins, reading the first block
// when it has none. A UTF-16 file gives no piece: its source reads as
// failed with EILSEQ. Returns the offset where the source then stands. Every
// read of a file from its first byte begins so.
file_offset begin_text(line_source &source) noexcept;

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

// Passes over the whole lines ahead that hold no '[' at all and lie whole in
// the block: every position after a '\n' is a piece boundary, so they make
// whole pieces, none of which can be a header or a section end.
void pass_bracketless_run(line_source &source) noexcept;

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

// A file read in pieces, with the offset of the next byte kept by hand so
// that positions are exact whatever the piece holds (NUL bytes included).
// The bytes come from the file in blocks of up to capacity bytes into the
// caller's block. Only the routines above move it.
class line_source {
public:
    line_source(file_handle file, char *block, int capacity, int keep) noexcept
        : file_(file), block_(block), capacity_(capacity), keep_(keep) {}
    line_source(const line_source &) = delete;
    line_source &operator=(const line_source &) = delete;

    [[nodiscard]] file_handle file() const noexcept { return file_; }
    // The offset of the next byte to be read.
    [[nodiscard]] file_offset offset() const noexcept { return offset_; }
    // True when the last piece ended with '\n' or at the end of the file.
    [[nodiscard]] bool at_line_end() const noexcept { return at_line_end_; }
    // The errno of a failed read (EILSEQ: a UTF-16 file); 0 while all is well.
    [[nodiscard]] int read_error() const noexcept { return read_error_; }
    // The block, as room for a caller that reads no more through the source.
    [[nodiscard]] char *block() noexcept { return block_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return static_cast<std::size_t>(capacity_); }

    friend file_offset begin_text(line_source &source) noexcept;
    friend int read_piece(line_source &source, char *buffer, int size) noexcept;
    friend int read_bracket_piece(line_source &source, char *buffer, int size) noexcept;
    friend void pass_bracketless_run(line_source &source) noexcept;
    friend bool pass_other_header(line_source &source, const char *name, std::size_t length) noexcept;
    friend void pass_pieces_not_starting(line_source &source, const char *key, std::size_t length) noexcept;
    friend const char *held_bytes(const line_source &source, file_offset offset, int length) noexcept;
    friend bool seek_source(line_source &source, file_offset offset) noexcept;
    friend bool read_through(line_source &source, file_handle file) noexcept;
    friend bool restart_source(line_source &source) noexcept;

protected:
    // A source over size bytes already in memory (see memory_source).
    line_source(char *bytes, int size) noexcept : line_source(NO_FILE, bytes, size, 0) { filled_ = size; }

private:
    [[nodiscard]] bool refill() noexcept;
    void enter_text() noexcept;
    [[nodiscard]] const char *piece_in_block(int size, int *count) const noexcept;
    void pass_piece(int count) noexcept;

    file_handle file_;
    char *block_;
    int capacity_;
    int keep_;                      // bytes before the read position a refill keeps in the block
    file_offset offset_ = 0;        // offset of the next byte to be read
    bool at_line_end_ = true;       // the last piece ended with '\n' or at end of file
    int read_error_ = 0;            // errno of a failed read; 0 while all is well
    file_offset window_start_ = 0;  // file offset of block[0]; the file stands at window_start + filled
    int next_ = 0;                  // index in block of the byte at offset
    int filled_ = 0;                // bytes of block read from the file
};

// A line_source with a block of its own, for a call's stack.
template <int Size, int Keep = READ_BLOCK_KEEP>
class block_source : public line_source {
public:
    static_assert(Size >= 4 * LINE_BUFFER_SIZE && Keep <= READ_BLOCK_KEEP);
    explicit block_source(file_handle file) noexcept : line_source(file, storage_, Size, Keep) {}

private:
    char storage_[Size];
};

// A line_source over bytes already in memory: its block is those bytes,
// every one of them filled, and no file stands behind it, so nothing is
// ever read into the block or moved in it. Offsets count from bytes[0]; the
// source stands where the text begins.
class memory_source : public line_source {
public:
    memory_source(char *bytes, int size) noexcept : line_source(bytes, size) { begin_text(*this); }
};

}  // namespace brantcfg::detail

#endif  // BRANTCFG_PIECE_SOURCE_H
