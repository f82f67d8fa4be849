// The planner: what one change does to a file, found from the file's bytes
// alone. It searches as a lookup does, through seek_entry's marks, and
// says which bytes give way to which text:
//   - a key found with another value: its whole physical line (every piece
//     of it) gives way to the new key line; deleted, to nothing;
//   - a key its section lacks: the key line goes before the line that ends
//     the section, or after the last byte when the section runs to the end
//     of the file;
//   - a section the file lacks: its header and the key line go after the
//     last byte;
//   - a section deleted: its header and body give way to nothing, up to the
//     line that ends it; the nameless section's body likewise.
// Text appended after the last byte gets a CR LF first, unless the copy of
// the body before it, made in stretches of whole pieces each below
// LINE_BUFFER_SIZE bytes, ends in a stretch longer than CR LF alone that
// ends in CR LF: so an appended line never joins the last one, and a file
// that ends in an empty line may get another.
#include "update.h"

#include <cstring>

namespace brantcfg::detail {
namespace {

// Whether the copy of a body that runs from body to end, the end of the
// file, ends in a stretch of its own that ends a line (see above). False
// with failed set on a read error.
[[nodiscard]] bool copy_ends_line(line_source &source, file_offset body, file_offset end,
                                  char (&line)[LINE_BUFFER_SIZE], bool *failed) noexcept {
    if (end - body < 3) return false;
    // The search has just read up to the end, so the last bytes are mostly
    // still held: the last piece, cut from its line's start every
    // LINE_BUFFER_SIZE - 1 bytes, then tells when it alone is longer than
    // CR LF.
    const int tail_length = end - body < LINE_BUFFER_SIZE ? static_cast<int>(end - body) : LINE_BUFFER_SIZE;
    if (const char *tail = held_bytes(source, end - tail_length, tail_length)) {
        if (tail[tail_length - 2] != '\r' || tail[tail_length - 1] != '\n') return false;
        int line_start = tail_length - 1;
        while (line_start > 0 && tail[line_start - 1] != '\n') --line_start;
        if (line_start > 0 || tail_length == end - body) {
            const int line_length = tail_length - line_start;
            if ((line_length - 1) % (LINE_BUFFER_SIZE - 1) + 1 > 2) return true;
        }
    }
    // Else the stretches themselves tell: each gathers whole pieces while
    // they stay below LINE_BUFFER_SIZE bytes.
    if (!seek_source(source, body)) {
        *failed = true;
        return false;
    }
    int pending = 0;
    char last[2] = {'\0', '\0'};
    while (const int count = read_piece(source, line, sizeof line)) {
        pending = pending + count < LINE_BUFFER_SIZE ? pending + count : count;
        last[0] = count >= 2 ? line[count - 2] : last[1];
        last[1] = line[count - 1];
    }
    if (source.read_error() != 0) *failed = true;
    return pending > 2 && last[0] == '\r' && last[1] == '\n';
}

// Deleting a section: its header and body, or the nameless section's body.
[[nodiscard]] plan_result plan_section_deletion(line_source &source, const change &what, char (&line)[LINE_BUFFER_SIZE],
                                                edit *planned) noexcept {
    file_offset from = source.offset();
    if (what.section && *what.section != '\0') {
        entry_marks marks;
        if (!seek_entry(source, section_named(what.section), line, sizeof line, &marks)) {
            if (source.read_error() == 0) return plan_result::unchanged;
            errno = source.read_error();
            return plan_result::failed;
        }
        from = marks.header;
    }
    const file_offset to = find_section_end(source, line);
    if (to < 0) {
        errno = source.read_error();
        return plan_result::failed;
    }
    if (to == from) return plan_result::unchanged;
    *planned = {from, to, false, false, false};
    return plan_result::edit;
}

}  // namespace

plan_result plan_change(line_source &source, const change &what, char (&line)[LINE_BUFFER_SIZE],
                        edit *planned) noexcept {
    const file_offset origin = begin_text(source);
    if (!what.key) return plan_section_deletion(source, what, line, planned);
    entry_marks marks;
    if (seek_entry(source, key_named(what.section, what.key), line, sizeof line, &marks)) {
        if (what.value && std::strcmp(line, what.value) == 0) return plan_result::unchanged;
        // The old line is every piece of its physical line.
        while (!source.at_line_end() && read_piece(source, line, sizeof line) > 0) {}
        const file_offset end = source.offset();
        // Deleting the file's first line brings the next one to the first
        // byte, where a byte-order mark it begins with would be read as the
        // file's own (a key cut short, or a file of no text at all): such a
        // deletion is refused.
        if (!what.value && marks.line == 0) {
            const int next = read_piece(source, line, sizeof line);
            if (next > 0 && (text_start(line, next) > 0 || is_utf16(line, next))) {
                errno = EILSEQ;
                return plan_result::failed;
            }
        }
        *planned = {marks.line, end, false, false, what.value != nullptr};
    } else if (!what.value) {
        if (source.read_error() == 0) return plan_result::unchanged;  // nothing to delete
    } else if (marks.line >= 0 && source.offset() > marks.line) {
        // The section ended at a line beginning with '[': the new key goes
        // right before it.
        *planned = {marks.line, marks.line, false, false, true};
    } else {
        // After the last byte: in the section when it runs there (the
        // nameless one always has a body), else under a new header.
        const bool section_found = marks.body >= 0;
        return plan_append(source, section_found ? marks.body : origin, source.offset(), !section_found, line, planned);
    }
    if (source.read_error() != 0) {
        errno = source.read_error();
        return plan_result::failed;
    }
    return plan_result::edit;
}

plan_result plan_append(line_source &source, file_offset body, file_offset end, bool with_header,
                        char (&line)[LINE_BUFFER_SIZE], edit *planned) noexcept {
    bool failed = false;
    const bool ended = copy_ends_line(source, body, end, line, &failed);
    if (failed || source.read_error() != 0) {
        errno = source.read_error() != 0 ? source.read_error() : failure_cause();
        return plan_result::failed;
    }
    *planned = {end, end, !ended, with_header, true};
    return plan_result::edit;
}

}  // namespace brantcfg::detail
