// The piece source: a file read in pieces of at most LINE_BUFFER_SIZE - 1
// bytes, each up to and including a '\n', exactly as a reader taking one
// byte at a time would cut them, with exact offsets whatever the bytes are.
// The bytes come from the system in large blocks into a buffer on the
// caller's stack, or lie in memory already (a merge's); searches that only
// look at headers pass over whole runs of other lines where they lie.
#include "piece_source.h"

#include "text_codec.h"

#include <cerrno>
#include <cstring>

namespace brantcfg::detail {

// Places a source whose block holds the file's first bytes, and that
// stands at offset 0, where the text begins: past a UTF-8 byte-order mark,
// or, for a UTF-16 file, at the end of what it holds, failed for good.
void line_source::enter_text() noexcept {
    if (is_utf16(block_, filled_)) {
        read_error_ = EILSEQ;
        next_ = filled_;
    } else {
        next_ = static_cast<int>(text_start(block_, filled_));
    }
    offset_ = window_start_ + next_;
}

// Reads the next block of the file behind what the source holds, keeping
// the source's keep bytes before it. False at the end of the file or on a
// read error; a failed read is not tried again.
bool line_source::refill() noexcept {
    // A source over bytes in memory holds every one of them already.
    if (file_ == NO_FILE || read_error_ != 0) return false;
    const bool first_block = window_start_ + filled_ == 0;
    const int keep = filled_ < keep_ ? filled_ : keep_;
    const int dropped = filled_ - keep;
    if (dropped > 0) {
        std::memmove(block_, block_ + dropped, static_cast<std::size_t>(keep));
        window_start_ += dropped;
        next_ -= dropped;
        filled_ = keep;
    }
    const std::size_t room = static_cast<std::size_t>(capacity_ - keep);
    const long got = read_file(file_, block_ + keep, room);
    if (got < 0) {
        read_error_ = failure_cause();
        return false;
    }
    filled_ += static_cast<int>(got);
    if (first_block) enter_text();
    return next_ < filled_;
}

// The piece at the read position when it lies whole in the block. Its
// length goes to count; nullptr when the piece reaches past the block.
const char *line_source::piece_in_block(int size, int *count) const noexcept {
    const char *from = block_ + next_;
    *count = piece_length(from, filled_ - next_, size);
    return *count > 0 ? from : nullptr;
}

// Moves the read position past a piece found by piece_in_block.
void line_source::pass_piece(int count) noexcept {
    at_line_end_ = block_[next_ + count - 1] == '\n';
    next_ += count;
    offset_ += count;
}

namespace {

// Where the text of a piece begins, as skip_blanks finds it: its first byte
// that is not blank, or its end. A NUL is not blank, and ends the text.
[[nodiscard]] const char *piece_text(const char *piece, int count) noexcept {
    const char *at = piece;
    while (at < piece + count && is_blank(*at)) ++at;
    return at;
}

}  // namespace

file_offset begin_text(line_source &source) noexcept {
    // One comparison decides for every later piece: a source that stands
    // anywhere but at offset 0 has begun its text.
    if (source.window_start_ == 0 && source.next_ == 0) {
        if (source.filled_ == 0)
            static_cast<void>(source.refill());
        else
            source.enter_text();
    }
    return source.offset_;
}

int piece_length(const char *from, int available, int size) noexcept {
    const int limit = size - 1;
    const int span = available < limit ? available : limit;
    if (span <= 0) return 0;
    if (const void *newline = std::memchr(from, '\n', static_cast<std::size_t>(span)))
        return static_cast<int>(static_cast<const char *>(newline) - from) + 1;
    return span == limit ? span : 0;
}

int read_piece(line_source &source, char *buffer, int size) noexcept {
    int count = 0;
    if (const char *piece = source.piece_in_block(size, &count)) {
        std::memcpy(buffer, piece, static_cast<std::size_t>(count));
        buffer[count] = '\0';
        source.pass_piece(count);
        return count;
    }
    // The same pieces a byte-at-a-time reader yields: each stops after a
    // '\n', at size - 1 bytes, or at the end of the file.
    const int limit = size - 1;
    bool line_ended = false;
    while (count < limit) {
        if (source.next_ == source.filled_ && !source.refill()) {
            line_ended = true;
            break;
        }
        const int available = source.filled_ - source.next_;
        const int wanted = limit - count;
        const int span = available < wanted ? available : wanted;
        const char *from = source.block_ + source.next_;
        const void *newline = std::memchr(from, '\n', static_cast<std::size_t>(span));
        const int taken = newline ? static_cast<int>(static_cast<const char *>(newline) - from) + 1 : span;
        std::memcpy(buffer + count, from, static_cast<std::size_t>(taken));
        count += taken;
        source.next_ += taken;
        if (newline) {
            line_ended = true;
            break;
        }
    }
    buffer[count] = '\0';
    source.offset_ += count;
    source.at_line_end_ = line_ended;
    return count;
}

int read_bracket_piece(line_source &source, char *buffer, int size) noexcept {
    int count = 0;
    if (const char *piece = source.piece_in_block(size, &count)) {
        // The first non-blank byte decides: a NUL or the piece's end means
        // an empty line.
        const char *text = piece_text(piece, count);
        if (text == piece + count || *text != '[') {
            buffer[0] = '\0';
            source.pass_piece(count);
            return count;
        }
    }
    return read_piece(source, buffer, size);
}

void pass_bracketless_run(line_source &source) noexcept {
    const char *from = source.block_ + source.next_;
    const char *end = source.block_ + source.filled_;
    const void *bracket = std::memchr(from, '[', static_cast<std::size_t>(end - from));
    const char *stop = bracket ? static_cast<const char *>(bracket) : end;
    while (stop > from && stop[-1] != '\n') --stop;
    if (stop == from) return;
    const int count = static_cast<int>(stop - from);
    source.next_ += count;
    source.offset_ += count;
    source.at_line_end_ = true;
}

void pass_pieces_not_starting(line_source &source, const char *key, std::size_t length) noexcept {
    int count = 0;
    while (const char *piece = source.piece_in_block(LINE_BUFFER_SIZE, &count)) {
        // A NUL ends the text, and matches no byte of a key.
        const char *text = piece_text(piece, count);
        const auto left = static_cast<std::size_t>(piece + count - text);
        if (left > 0 && (*text == '[' || (left >= length && equal_ignoring_case(text, key, length)))) return;
        source.pass_piece(count);
    }
}

bool pass_other_header(line_source &source, const char *name, std::size_t length) noexcept {
    int count = 0;
    const char *piece = source.piece_in_block(LINE_BUFFER_SIZE, &count);
    if (!piece) return false;
    // '[', the name in either case, ']': any other piece is another header,
    // a line that only ends a section, or no header at all.
    const char *text = piece_text(piece, count);
    const auto left = static_cast<std::size_t>(piece + count - text);
    if (left >= length + 2 && text[0] == '[' && text[length + 1] == ']' && equal_ignoring_case(text + 1, name, length))
        return false;
    source.pass_piece(count);
    return true;
}

const char *held_bytes(const line_source &source, file_offset offset, int length) noexcept {
    if (offset < source.window_start_ || offset + length > source.window_start_ + source.filled_) return nullptr;
    return source.block_ + (offset - source.window_start_);
}

bool seek_source(line_source &source, file_offset offset) noexcept {
    if (offset >= source.window_start_ && offset <= source.window_start_ + source.filled_) {
        source.next_ = static_cast<int>(offset - source.window_start_);
    } else {
        if (!seek_file(source.file_, offset)) return false;
        source.window_start_ = offset;
        source.next_ = 0;
        source.filled_ = 0;
    }
    source.offset_ = offset;
    source.at_line_end_ = true;
    return true;
}

bool read_through(line_source &source, file_handle file) noexcept {
    source.file_ = file;
    return seek_file(file, source.window_start_ + source.filled_);
}

bool restart_source(line_source &source) noexcept {
    source.window_start_ = 0;
    source.next_ = 0;
    source.filled_ = 0;
    source.offset_ = 0;
    source.at_line_end_ = true;
    return seek_file(source.file_, 0);
}

}  // namespace brantcfg::detail
