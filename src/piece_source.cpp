// The piece source: a file read in pieces of at most LINE_BUFFER_SIZE - 1
// bytes, each up to and including a '\n', exactly as a reader taking one
// byte at a time would cut them, with exact offsets whatever the bytes are.
// The bytes come from the system in large blocks into a buffer on the
// caller's stack, or lie in memory already (a merge's); searches that only
// look at headers pass over whole runs of other lines where they lie, and a
// rewrite writes the bytes it copies unchanged straight from the block
// through the source's sink.
#include "internal.h"

#include <cerrno>
#include <cstring>

namespace brantcfg::detail {
namespace {

// Writes what the sink has gathered: by the system from file to file where
// it copies between these two, else straight from the block, which then
// holds every byte of it (bytes join the sink only after they were read,
// and the block lets go of nothing before it has been written out).
void drain_sink(line_source &source) noexcept {
    copy_sink *sink = source.sink;
    if (!sink || sink->to == sink->from) return;
    const file_offset length = sink->to - sink->from;
    if (sink->error == 0 && sink->kernel != copy_sink::kernel_copy::refused) {
        const file_offset copied = copy_file_bytes(source.file, sink->from, length, sink->out);
        if (copied == COPY_NOT_POSSIBLE) {
            sink->kernel = copy_sink::kernel_copy::refused;
        } else {
            if (copied != length) sink->error = copied < 0 && errno != 0 ? errno : EIO;
            sink->kernel = copy_sink::kernel_copy::works;
            sink->from = sink->to;
            return;
        }
    }
    const char *bytes = held_bytes(source, sink->from, static_cast<int>(length));
    if (sink->error == 0) {
        if (!bytes)
            sink->error = EIO;
        else if (!write_file(sink->out, bytes, static_cast<std::size_t>(length)))
            sink->error = errno != 0 ? errno : EIO;
    }
    sink->from = sink->to;
}

// Places a source whose block holds the file's first bytes, and that
// stands at offset 0, where the text begins: past a UTF-8 byte-order mark,
// or, for a UTF-16 file, at the end of what it holds, failed for good.
void enter_text(line_source &source) noexcept {
    if (is_utf16(source.block, source.filled)) {
        source.read_error = EILSEQ;
        source.next = source.filled;
    } else {
        source.next = static_cast<int>(text_start(source.block, source.filled));
    }
    source.offset = source.window_start + source.next;
}

// Reads the next block of the file behind what the source holds, keeping
// the source's keep bytes before it. False at the end of the file or on a
// read error; a failed read is not tried again.
[[nodiscard]] bool refill(line_source &source) noexcept {
    // A source over bytes in memory holds every one of them already.
    if (source.file == NO_FILE || source.read_error != 0) return false;
    const bool first_block = source.window_start + source.filled == 0;
    // A range the system copies needs nothing from the block and may grow
    // past it; any other is written before the block moves on.
    if (source.sink && source.sink->kernel != copy_sink::kernel_copy::works) drain_sink(source);
    const int keep = source.filled < source.keep ? source.filled : source.keep;
    const int dropped = source.filled - keep;
    if (dropped > 0) {
        std::memmove(source.block, source.block + dropped, static_cast<std::size_t>(keep));
        source.window_start += dropped;
        source.next -= dropped;
        source.filled = keep;
    }
    const std::size_t room = static_cast<std::size_t>(source.capacity - keep);
    const long got = read_file(source.file, source.block + keep, room);
    if (got < 0) {
        source.read_error = errno != 0 ? errno : EIO;
        return false;
    }
    source.filled += static_cast<int>(got);
    if (first_block) enter_text(source);
    return source.next < source.filled;
}

// The piece at the read position when it lies whole in the block. Its
// length goes to count; nullptr when the piece reaches past the block.
[[nodiscard]] const char *piece_in_block(const line_source &source, int size, int *count) noexcept {
    const char *from = source.block + source.next;
    *count = piece_length(from, source.filled - source.next, size);
    return *count > 0 ? from : nullptr;
}

// Where the text of a piece begins, as skip_blanks finds it: its first byte
// that is not blank, or its end. A NUL is not blank, and ends the text.
[[nodiscard]] const char *piece_text(const char *piece, int count) noexcept {
    const char *at = piece;
    while (at < piece + count && is_blank(*at)) ++at;
    return at;
}

// Moves the read position past a piece found by piece_in_block.
void pass_piece(line_source &source, int count) noexcept {
    source.at_line_end = source.block[source.next + count - 1] == '\n';
    source.next += count;
    source.offset += count;
}

}  // namespace

file_offset text_start(const char *bytes, file_offset size) noexcept {
    return size >= UTF8_MARK_LENGTH && std::memcmp(bytes, UTF8_MARK, UTF8_MARK_LENGTH) == 0 ? UTF8_MARK_LENGTH : 0;
}

bool is_utf16(const char *bytes, file_offset size) noexcept {
    if (size < 2) return false;
    const auto first = static_cast<unsigned char>(bytes[0]);
    const auto second = static_cast<unsigned char>(bytes[1]);
    return (first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF);
}

file_offset begin_text(line_source &source) noexcept {
    // One comparison decides for every later piece: a source that stands
    // anywhere but at offset 0 has begun its text.
    if (source.window_start == 0 && source.next == 0) {
        if (source.filled == 0)
            static_cast<void>(refill(source));
        else
            enter_text(source);
    }
    return source.offset;
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
        // The first non-blank byte decides: a NUL or the piece's end means
        // an empty line.
        const char *text = piece_text(piece, count);
        if (text == piece + count || *text != '[') {
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

void pass_pieces_not_starting(line_source &source, const char *key, std::size_t length) noexcept {
    int count = 0;
    while (const char *piece = piece_in_block(source, LINE_BUFFER_SIZE, &count)) {
        // A NUL ends the text, and matches no byte of a key.
        const char *text = piece_text(piece, count);
        const auto left = static_cast<std::size_t>(piece + count - text);
        if (left > 0 && (*text == '[' || (left >= length && equal_ignoring_case(text, key, length)))) return;
        pass_piece(source, count);
    }
}

bool pass_other_header(line_source &source, const char *name, std::size_t length) noexcept {
    int count = 0;
    const char *piece = piece_in_block(source, LINE_BUFFER_SIZE, &count);
    if (!piece) return false;
    // '[', the name in either case, ']': any other piece is another header,
    // a line that only ends a section, or no header at all.
    const char *text = piece_text(piece, count);
    const auto left = static_cast<std::size_t>(piece + count - text);
    if (left >= length + 2 && text[0] == '[' && text[length + 1] == ']' && equal_ignoring_case(text + 1, name, length))
        return false;
    pass_piece(source, count);
    return true;
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

const char *held_bytes(const line_source &source, file_offset offset, int length) noexcept {
    if (offset < source.window_start || offset + length > source.window_start + source.filled) return nullptr;
    return source.block + (offset - source.window_start);
}

bool seek_source(line_source &source, file_offset offset) noexcept {
    if (offset >= source.window_start && offset <= source.window_start + source.filled) {
        source.next = static_cast<int>(offset - source.window_start);
    } else {
        drain_sink(source);
        if (!seek_file(source.file, offset)) return false;
        source.window_start = offset;
        source.next = 0;
        source.filled = 0;
    }
    source.offset = offset;
    source.at_line_end = true;
    return true;
}

bool read_through(line_source &source, file_handle file) noexcept {
    source.file = file;
    return seek_file(file, source.window_start + source.filled);
}

bool restart_source(line_source &source) noexcept {
    source.window_start = 0;
    source.next = 0;
    source.filled = 0;
    source.offset = 0;
    source.at_line_end = true;
    return seek_file(source.file, 0);
}

void sink_source_bytes(line_source &source, file_offset from, int length) noexcept {
    copy_sink &sink = *source.sink;
    if (length <= 0) return;
    if (sink.to != from) {
        drain_sink(source);
        sink.from = sink.to = from;
    }
    sink.to += length;
}

void sink_text(line_source &source, const char *text, std::size_t length) noexcept {
    drain_sink(source);
    copy_sink *sink = source.sink;
    if (sink && length > 0 && sink->error == 0 && !write_file(sink->out, text, length))
        sink->error = errno != 0 ? errno : EIO;
}

}  // namespace brantcfg::detail
