// Rewrite and update: ini_puts. An update first searches the file as a
// lookup does, remembering where the key's line starts. An unchanged value
// ends the call; a new line exactly as long as the old one is written over
// it in place; anything else copies the file into a temporary file beside
// it, inserting, replacing or leaving out lines on the way, and puts that
// file in the old one's place by an atomic rename once every byte of it is
// on disk. A missing file is created holding the one entry.
//
// The copy keeps every byte it does not change. Source bytes are accepted
// into a pending stretch of less than LINE_BUFFER_SIZE bytes; where the
// stretches fall decides the line end written before an appended section.
// Accepted bytes are not copied anywhere on the way: the source's sink
// writes them straight from its read block.
#include "brantcfg.h"

#include "internal.h"

#include <cerrno>
#include <cstring>

namespace brantcfg::detail {

int build_section_header(const char *section, char *line) noexcept {
    if (!section || *section == '\0') return 0;
    int i = 0;
    line[i++] = '[';
    for (const char *s = section; *s != '\0' && i <= MAX_HEADER_NAME; ++s) line[i++] = *s;
    std::memcpy(line + i, "]\r\n", 4);
    return i + 3;
}

namespace {

// True when a value must be written in quotes to read back as it is: it
// holds what a reader would take for a comment or a quote, or it begins or
// ends with a blank, which a reader would trim.
[[nodiscard]] bool needs_quotes(const char *value, std::size_t length) noexcept {
    return std::strpbrk(value, "\";#") != nullptr ||
           (length > 0 && (is_blank(value[0]) || is_blank(value[length - 1])));
}

}  // namespace

int build_key_line(const char *key, const char *value, char *line) noexcept {
    const std::size_t value_length = std::strlen(value);
    const bool quoted = needs_quotes(value, value_length);
    int k = 0;
    for (const char *s = key; *s != '\0' && k < MAX_KEY_NAME; ++s) line[k++] = *s;
    line[k] = '=';
    copy_text(quoted ? COPY_ADD_QUOTES : COPY_PLAIN, value, line + k + 1, LINE_BUFFER_SIZE - 3 - k);
    const std::size_t length = std::strlen(line);
    std::memcpy(line + length, "\r\n", 3);
    return static_cast<int>(length) + 2;
}

bool storable_entry(const char *section, const char *key, const char *value) noexcept {
    if (section && (std::strchr(section, ']') || 1 + std::strlen(section) + 1 + 2 > LINE_BUFFER_SIZE - 1)) return false;
    const std::size_t key_length = std::strlen(key);
    if (key_length == 0 || is_blank(key[0]) || is_blank(key[key_length - 1]) || std::strchr("[;#", key[0]) ||
        std::strchr(key, '='))
        return false;
    // A key line of the nameless section may come to stand at the file's
    // first byte, where a key that begins with a byte-order mark would read
    // as the mark (UTF-8: and a shorter key; UTF-16: and no text at all).
    if ((!section || *section == '\0') && (text_start(key, static_cast<file_offset>(key_length)) > 0 ||
                                           is_utf16(key, static_cast<file_offset>(key_length))))
        return false;
    // The value as written: in quotes, with each '"' inside escaped, where
    // it needs them.
    const std::size_t value_length = std::strlen(value);
    std::size_t written = value_length;
    if (needs_quotes(value, value_length)) {
        written += 2;
        for (const char *at = value; (at = std::strchr(at, '"')) != nullptr; ++at) ++written;
    }
    return key_length + 1 + written + 2 <= LINE_BUFFER_SIZE - 1;
}

namespace {

[[nodiscard]] bool has_line_break(const char *text) noexcept {
    return text && text[std::strcspn(text, "\r\n")] != '\0';
}

}  // namespace

bool acceptable_change(const char *section, const char *key, const char *value) noexcept {
    // A line break inside a name or value would write lines, or whole
    // sections, that the caller never asked for; a set whose lines would
    // not read back as the entry set would write one that no call finds,
    // and append it again on every call.
    return !has_line_break(section) && !has_line_break(key) && !has_line_break(value) &&
           !(key && value && !storable_entry(section, key, value));
}

}  // namespace brantcfg::detail

using namespace brantcfg::detail;

namespace {

// One ini_puts call's rewrite: the source with its sink, and the stretch of
// source bytes accepted for copying but not yet handed to the sink. The
// state holds one line buffer and one read block whatever the file's size.
struct rewrite_state {
    explicit rewrite_state(file_handle file) noexcept : src(file) {}

    block_source<WRITER_BLOCK_SIZE> src;
    copy_sink sink;
    int pending = 0;            // accepted bytes from copy_from on, always below LINE_BUFFER_SIZE
    file_offset copy_from = 0;  // where the pending stretch begins in the source
    const char *section = nullptr;
    const char *key = nullptr;
    const char *value = nullptr;
    int error = 0;  // errno of the first failure; 0 while all is well
    char line[LINE_BUFFER_SIZE];
    char old_line[LINE_BUFFER_SIZE];  // the line a patch replaces, as the search found it
};

// Bytes a patch compares at a time with what the search found.
constexpr int COMPARE_STRETCH = 128;

void note_failure(rewrite_state &state, int cause) noexcept {
    if (state.error == 0) state.error = (cause != 0) ? cause : EIO;
}

// The length of the source piece just read. A read error counts as a
// failure: the copy would be incomplete.
int checked_read(rewrite_state &state, int count) noexcept {
    if (count == 0 && state.src.read_error != 0) note_failure(state, state.src.read_error);
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
            note_failure(state, state.src.read_error != 0 ? state.src.read_error : EIO);
            return nullptr;
        }
        filled += count;
    }
    return state.line;
}

// Hands the pending stretch to the sink, then moves the read position
// back to where the stretch ends: past whatever was read beyond it, which
// the caller reads again. The stretch goes from the source's block while it
// still holds it, as it does unless a read failed, else it is read again.
// Returns true when it ended in CR LF and was longer than that alone.
bool write_pending_and_rewind(rewrite_state &state) noexcept {
    const int length = state.pending;
    const char *text = held_bytes(state.src, state.copy_from, length);
    if (text) {
        sink_source_bytes(state.src, state.copy_from, length);
    } else if ((text = read_stretch_again(state)) != nullptr) {
        sink_text(state.src, text, static_cast<std::size_t>(length));
    }
    const bool ends_in_crlf = stretch_ends_line(text, length);
    state.copy_from += length;
    if (state.src.offset != state.copy_from && !seek_source(state.src, state.copy_from)) note_failure(state, errno);
    state.pending = 0;
    return ends_in_crlf;
}

// The line just read, count bytes long, joins the pending stretch; when the
// stretch would no longer fit the buffer it is written first and the line
// read again to start the next one.
void accept_line(rewrite_state &state, int count) noexcept {
    if (joins_stretch(state.pending, count)) {
        state.pending += count;
        return;
    }
    write_pending_and_rewind(state);
    state.pending = read_line(state);
}

// The line just read is left out. Only while nothing is pending.
void drop_line(rewrite_state &state) noexcept { state.copy_from = state.src.offset; }

// Leaves out the pieces that follow the one just read up to the end of its
// physical line, so no tail of a long line is left behind as a line of its
// own.
void drop_rest_of_line(rewrite_state &state) noexcept {
    while (!state.src.at_line_end && read_line(state) > 0) {}
    drop_line(state);
}

void write_line_end(rewrite_state &state) noexcept { sink_text(state.src, "\r\n", 2); }

void emit_header(rewrite_state &state) noexcept {
    const int length = build_section_header(state.section, state.line);
    sink_text(state.src, state.line, static_cast<std::size_t>(length));
}

void emit_key(rewrite_state &state) noexcept {
    const int length = build_key_line(state.key, state.value, state.line);
    sink_text(state.src, state.line, static_cast<std::size_t>(length));
}

// At the end of the file: writes what is pending, then, for a set, the key
// line (after the section's header when the section is new), with a line
// end first unless the copied text already ends in one.
void append_at_end(rewrite_state &state, bool with_header) noexcept {
    const bool ended = write_pending_and_rewind(state);
    if (!state.key || !state.value) return;
    if (!ended) write_line_end(state);
    if (with_header) emit_header(state);
    emit_key(state);
}

// Accepts the whole lines ahead that hold no '[' (see bracketless_run),
// piece by piece exactly as reading and accept_line would, without copying
// them into the line buffer: the stretches that fill up on the way are
// contiguous, so they go to the sink as one range.
void accept_bracketless_run(rewrite_state &state) noexcept {
    const int run = bracketless_run(state.src);
    const file_offset run_start = state.src.offset;
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
        // Every piece of the run ends inside it: the run ends in '\n'.
        const int count = piece_length(piece, static_cast<int>(end - piece), LINE_BUFFER_SIZE);
        if (joins_stretch(pending, count)) {
            pending += count;
        } else {
            flushed += pending;
            pending = count;
        }
        piece += count;
    }
    sink_source_bytes(state.src, state.copy_from, flushed);
    state.copy_from += flushed;
    state.pending = pending;
    pass_run(state.src, run);
}

// Copies everything from offset from to the end of the source. No line
// there needs a decision, so the system is asked to copy it; where it
// cannot, the bytes go to the sink as the source's block holds them,
// without being cut into lines first.
void copy_to_end(rewrite_state &state, file_offset from) noexcept {
    // The system copies what it can without the bytes passing through here.
    sink_text(state.src, nullptr, 0);
    const file_offset copied = copy_file_bytes(state.src.file, from, -1, state.sink.out);
    if (copied != COPY_NOT_POSSIBLE) {
        if (copied < 0) note_failure(state, errno);
        state.copy_from = from;
        return;
    }
    if (state.src.offset != from && !seek_source(state.src, from)) {
        note_failure(state, errno);
        return;
    }
    const char *bytes = nullptr;
    while (const int count = take_block(state.src, &bytes))
        sink_source_bytes(state.src, state.src.offset - count, count);
    if (state.src.read_error != 0) note_failure(state, state.src.read_error);
    state.copy_from = state.src.offset;
}

// Copies the source to the temporary file, inserting, replacing or leaving
// out lines as the operation asks.
void rewrite_lines(rewrite_state &state) noexcept {
    // A byte-order mark before the text is copied as it stands, ahead of
    // the stretches.
    state.copy_from = begin_text(state.src);
    sink_source_bytes(state.src, 0, static_cast<int>(state.copy_from));
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
            const line_class found = classify_line(state.line, unclosed_bracket::ends_section);
            if (found.kind == line_kind::header && name_matches(found.name, found.name_length, state.section)) {
                header_found = true;
                // A section deletion leaves the header pending-free so it can be dropped.
                if (state.key) accept_line(state, count);
                break;
            }
            accept_line(state, count);
        }
    }

    // The section's body, up to the target key line or the section's end.
    write_pending_and_rewind(state);
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
        const line_class found = classify_line(state.line, unclosed_bracket::ends_section);
        if (found.kind == line_kind::header || found.kind == line_kind::section_end) break;
        if (state.key) {
            if (found.kind == line_kind::key && key_name_matches(found.start, found.separator, state.key)) break;
            accept_line(state, count);
        } else {
            drop_line(state);
        }
    }

    // The stop line: a new key line goes before it; a section end stays, an
    // old key line goes.
    write_pending_and_rewind(state);
    if (setting) emit_key(state);
    const int count = read_line(state);
    if (*skip_blanks(state.line) == '[')
        accept_line(state, count);
    else
        drop_rest_of_line(state);
    write_pending_and_rewind(state);
    copy_to_end(state, state.src.offset);
}

// Finishes a temporary file: it takes the target's place only when every
// byte of it reached the disk, and only while the target's path still names
// source, the file that was read (NO_FILE: a new file, which replaces
// nothing). On failure the target is untouched, the temporary file is gone
// and errno says what failed first; RETRY when a new file found another in
// its place.
int commit_temp_file(file_handle out, int error, const target_file &target, file_handle &source) noexcept {
    const bool replacing = source != NO_FILE;
    // Sync before the rename: otherwise a power loss soon after it can
    // leave the path naming a file whose data never reached the disk.
    if (error == 0 && !sync_file(out)) error = errno != 0 ? errno : EIO;
    // Where an open file can be renamed, the temporary file stays open, and
    // so locked against writers of files that share its name, until it has
    // its place; once synced, closing it cannot lose a byte. Elsewhere it
    // is closed first, the close checked: a late write error shows up there.
    if (REPLACE_NEEDS_CLOSED_FILE) {
        if (!close_file(out) && error == 0) error = errno != 0 ? errno : EIO;
        out = NO_FILE;
    }
    reach(update_point::before_replace);
    // As late as can be: a path that names another file now (a link put in
    // its place, say) is not replaced with what was read from this one.
    // The writers' lock keeps every writer of this library out, so whoever
    // changed it is not one; the call gives up rather than guess.
    if (error == 0 && replacing && !names_file(target, source)) error = errno;
    // Where an open file cannot be replaced, the file read goes first; the
    // writers' lock, not this handle, keeps other writers out meanwhile.
    if (REPLACE_NEEDS_CLOSED_FILE && replacing) {
        close_read_file(source);
        source = NO_FILE;
    }
    // One rename over the target: the path names the old or the new file
    // at every moment, never neither. A new file never replaces one that
    // appeared meanwhile.
    bool appeared = false;
    if (error == 0) {
        const bool placed = replacing ? replace_with_temp_file(target) : name_new_file(target);
        if (!placed) {
            error = errno != 0 ? errno : EIO;
            appeared = !replacing && error == EEXIST;
        }
    }
    if (error != 0) {
        remove_temp_file(target);
        if (out != NO_FILE) close_read_file(out);
        errno = error;
        return appeared ? RETRY : 0;
    }
    if (out != NO_FILE) static_cast<void>(close_file(out));
    sync_target_directory(target);
    return 1;
}

// Finishes a rewrite: what the sink still gathers is written, the new file
// gets what the old one had (the read block, no longer needed, holds its
// attributes on the way), and the temporary file is committed. A read
// error on the source fails the rewrite: the copy would be incomplete.
int commit_rewrite(rewrite_state &state, const target_file &target) noexcept {
    sink_text(state.src, nullptr, 0);
    if (state.sink.error != 0) note_failure(state, state.sink.error);
    if (state.src.read_error != 0) note_failure(state, state.src.read_error);
    return replace_target(state.sink.out, state.error, state.src.file, target, state.src.block,
                          static_cast<std::size_t>(state.src.capacity));
}

// Closes a file that was written to; written says whether every write so
// far succeeded. True when both that and the close did; otherwise errno
// keeps the cause of the first failure.
[[nodiscard]] bool close_written(file_handle file, bool written) noexcept {
    const int cause = errno;
    const bool closed = close_file(file);  // a late write error shows up here
    if (!written) {
        errno = cause;
        return false;
    }
    return closed;
}

// What a missing file is created with: a set's one entry, or bytes made
// beforehand (a merge's). write_to writes all of it to a file, false (errno
// set) when a write fails. The creation is a template over the two rather
// than a call through a pointer: ini_puts' own is then built into its
// caller, where it shares the caller's frame, and costs no stack of its own.
//
// A set's one entry: the section's header unless the section is the
// nameless one, and the key line.
struct new_entry {
    const char *section;
    const char *key;
    const char *value;

    [[nodiscard]] bool write_to(file_handle out) const noexcept {
        char line[LINE_BUFFER_SIZE];
        const int header_length = build_section_header(section, line);
        if (!write_file(out, line, static_cast<std::size_t>(header_length))) return false;
        const int key_length = build_key_line(key, value, line);
        return write_file(out, line, static_cast<std::size_t>(key_length));
    }
};

struct new_bytes {
    const char *bytes;
    std::size_t length;

    [[nodiscard]] bool write_to(file_handle out) const noexcept { return write_file(out, bytes, length); }
};

// A missing file created directly under its own name, holding content:
// where it has no temporary name. A file that could not be written
// completely is removed again; where something appeared under the name
// meanwhile, nothing is created and the caller starts over.
template <typename Content>
int create_directly(const Content &content, target_file &target) noexcept {
    const file_handle out = create_named_file(target);
    if (out == NO_FILE) return errno == EEXIST ? RETRY : 0;
    const bool written = content.write_to(out) && sync_file(out);
    if (close_written(out, written)) return 1;
    remove_named_file(target);
    return 0;
}

// True when the same bytes as expected stand at offset in the file. A
// small buffer compares them a stretch at a time.
[[nodiscard]] bool holds_bytes(file_handle file, file_offset offset, const char *expected, int length) noexcept {
    char found[COMPARE_STRETCH];
    for (int at = 0; at < length; at += static_cast<int>(sizeof found)) {
        const int count = length - at < static_cast<int>(sizeof found) ? length - at : static_cast<int>(sizeof found);
        if (!read_at(file, offset + at, found, static_cast<std::size_t>(count)) ||
            std::memcmp(found, expected + at, static_cast<std::size_t>(count)) != 0)
            return false;
    }
    return true;
}

// A line is patched in place only where it lies within one block of this
// many bytes: a disk writes such a block whole or not at all, so a power
// loss leaves the line old or new, never part of each.
constexpr file_offset PATCH_BLOCK = 512;

[[nodiscard]] constexpr bool within_one_block(file_offset from, file_offset to) noexcept {
    return from / PATCH_BLOCK == (to - 1) / PATCH_BLOCK;
}

// What patch_line returns when a reader holds the file: the change is made
// by a rewrite instead, which no reader can see half done.
constexpr int REWRITE_INSTEAD = -2;

// Writes a line of the same length over the old one, through the file that
// was searched, and only while the old line is still there and no reader
// holds the file: a reader waits for the patch (and its sync) to end, and
// sees the line old or new.
int patch_line(const target_file &target, file_handle source, file_offset offset, const char *old_text,
               const char *text, int length) noexcept {
    const file_handle file = open_same_file_for_update(target, source);
    if (file == NO_FILE) return errno == EAGAIN ? RETRY : 0;
    if (!lock_for_patch(file)) {
        close_read_file(file);
        return REWRITE_INSTEAD;
    }
    const std::size_t size = static_cast<std::size_t>(length);
    if (!holds_bytes(file, offset, old_text, length)) {
        // Another program changed the line since the search (every writer
        // of this library waits for the lock): search again.
        unlock_for_patch(file);
        close_read_file(file);
        return RETRY;
    }
    const bool written = write_at(file, offset, text, size) && sync_file(file);
    if (!written) {
        // The old bytes go back, so that a patch that cannot reach the disk
        // does not leave the file holding a line the caller was told was
        // not written. Best effort: the failure being reported is the
        // first one.
        const int cause = errno;
        if (write_at(file, offset, old_text, size)) static_cast<void>(sync_file(file));
        errno = cause;
    }
    unlock_for_patch(file);
    // Once the line is synced, a close that reports a failure cannot undo
    // it: the file holds the new line, and the call says so.
    if (written) {
        static_cast<void>(close_file(file));
        return 1;
    }
    close_read_file(file);
    return 0;
}

// True when deleting the section would change the file: the named section
// is there, or the nameless one holds any line at all.
[[nodiscard]] bool section_deletion_changes_file(rewrite_state &state) noexcept {
    if (state.section && *state.section != '\0')
        return seek_entry(state.src, section_named(state.section), state.line, sizeof state.line, nullptr);
    if (read_piece(state.src, state.line, sizeof state.line) == 0) return false;
    const line_kind kind = classify_line(state.line, unclosed_bracket::ends_section).kind;
    return kind != line_kind::header && kind != line_kind::section_end;
}

// Where a change cuts into the file, as its search found it: the bytes
// from..to give way to the new key line (none for a deletion), and every
// other byte stays where it is. from < 0: the change needs the whole
// rewrite (a new section, a section deleted, a key appended at the end of
// the file, where the line end before it depends on how the copy went).
struct splice {
    file_offset from = -1;
    file_offset to = -1;
    bool with_line = false;
};

// A rewrite that knows where its change goes: the bytes before the cut and
// after it are copied by the system from file to file, without reading
// them here again, and the new line written between them. Where the system
// cannot copy so, the whole rewrite runs instead.
int splice_file(rewrite_state &state, target_file &target, const splice &cut) noexcept {
    state.sink.out = create_temp_file(target);
    if (state.sink.out == NO_FILE) return 0;
    state.src.sink = &state.sink;
    const file_offset copied = copy_file_bytes(state.src.file, 0, cut.from, state.sink.out);
    if (copied == COPY_NOT_POSSIBLE) {
        if (!restart_source(state.src)) note_failure(state, errno);
        rewrite_lines(state);
        return commit_rewrite(state, target);
    }
    if (copied != cut.from) note_failure(state, copied < 0 ? errno : EIO);
    if (cut.with_line) {
        const int length = build_key_line(state.key, state.value, state.line);
        if (!write_file(state.sink.out, state.line, static_cast<std::size_t>(length))) note_failure(state, errno);
    }
    // A change at the first byte has copied nothing yet: the system may
    // refuse only now, and the rest is then copied through the block.
    copy_to_end(state, cut.to);
    return commit_rewrite(state, target);
}

// The update once the source is open: nothing, a patch, or a rewrite. The
// search runs without the lock, so that a call with nothing to change
// takes none; a change takes it, and goes ahead only while the path still
// names the file that was searched. RETRY when it no longer does.
int update_open_file(rewrite_state &state, const char *path, writer_lock &lock) noexcept {
    file_version searched;
    const bool versioned = read_version(state.src.file, &searched);
    int patch_length = 0;
    splice cut;
    if (state.key) {
        file_offset start = -1;
        if (seek_entry(state.src, key_named(state.section, state.key), state.line, sizeof state.line, &start)) {
            if (state.value && std::strcmp(state.line, state.value) == 0) return 1;
            // The old line is every piece of its physical line.
            while (!state.src.at_line_end && read_piece(state.src, state.line, sizeof state.line) > 0) {}
            const file_offset end = state.src.offset;
            // Deleting the file's first line brings the next one to the
            // first byte, where a byte-order mark it begins with would be
            // read as the file's own (a key cut short, or a file of no
            // text at all): such a deletion is refused.
            if (!state.value && start == 0) {
                const int next = read_piece(state.src, state.line, sizeof state.line);
                if (next > 0 && (text_start(state.line, next) > 0 || is_utf16(state.line, next))) {
                    errno = EILSEQ;
                    return 0;
                }
            }
            cut = {start, end, state.value != nullptr};
            if (state.value) {
                const int length = build_key_line(state.key, state.value, state.line);
                const char *old_text = length == end - start && within_one_block(start, end)
                                           ? held_bytes(state.src, start, length)
                                           : nullptr;
                if (state.src.read_error == 0 && old_text) {
                    std::memcpy(state.old_line, old_text, static_cast<std::size_t>(length));
                    patch_length = length;
                }
            }
        } else if (!state.value) {
            if (state.src.read_error == 0) return 1;  // nothing to delete: the file stays as it is
        } else if (start >= 0 && state.src.offset > start) {
            // The section ended at a line beginning with '[': the new key
            // goes right before it.
            cut = {start, start, true};
        }
    } else if (!section_deletion_changes_file(state) && state.src.read_error == 0) {
        return 1;  // nothing to delete: the file stays as it is
    }
    if (state.src.read_error != 0) {
        errno = state.src.read_error;
        return 0;
    }
    reach(update_point::searched);

    target_file target;
    if (!describe_target(path, state.src.file, &target)) return errno == ENOENT ? RETRY : 0;
    if (!lock.take_or_defer(target)) return errno == ENOENT || lock.deferred() ? RETRY : 0;
    if (!names_file(target, state.src.file)) return RETRY;
    if (lock.file() != NO_FILE && !read_through(state.src, lock.file())) return 0;
    if (patch_length > 0) {
        const int patched = patch_line(target, state.src.file, cut.from, state.old_line, state.line, patch_length);
        if (patched != REWRITE_INSTEAD) return patched;
    }
    // What the search found holds while no writer has touched the file
    // since; otherwise the rewrite reads the file afresh.
    file_version now;
    if (cut.from >= 0 && versioned && read_version(state.src.file, &now) && now == searched)
        return splice_file(state, target, cut);
    if (!restart_source(state.src)) return 0;
    state.sink.out = create_temp_file(target);
    if (state.sink.out == NO_FILE) return 0;
    state.src.sink = &state.sink;
    rewrite_lines(state);
    return commit_rewrite(state, target);
}

// A missing file is created the way a rewrite replaces one: written whole
// to the temporary file, synced and given its name, so that a crash never
// leaves an empty or partial file at the path; through a link to a missing
// file, the file the link names, in its own directory. A name that has no
// temporary name (it ends in '~') is written directly, never through a
// link.
template <typename Content>
int create_new_file(const Content &content, const char *path, writer_lock &lock) noexcept {
    target_file target;
    if (!describe_new_target(path, &target)) {
        // A file that appeared meanwhile is changed instead; a name without
        // a temporary name is created directly. Anything else (a folder on
        // the way missing or closed) fails, errno saying why.
        if (errno == EEXIST) return RETRY;
        if (errno != EINVAL) return 0;
        if (!lock.take(target)) return 0;
        return create_directly(content, target);
    }
    if (!lock.take(target)) return 0;
    const file_handle out = create_temp_file(target);
    if (out == NO_FILE) return 0;
    const int error = content.write_to(out) ? 0 : (errno != 0 ? errno : EIO);
    file_handle none = NO_FILE;
    return commit_temp_file(out, error, target, none);
}

// One attempt at the whole update, from opening the file on.
int attempt_update(const char *section, const char *key, const char *value, const char *path,
                   writer_lock &lock) noexcept {
    open_result opened = open_result::failed;
    const file_handle file = open_for_reading(path, &opened);
    if (file == NO_FILE) {
        // Only a file that is not there may be created; one that exists but
        // cannot be read (or is no regular file) is never replaced.
        if (opened != open_result::missing) return 0;
        if (!key || !value) return 1;
        return create_new_file(new_entry{section, key, value}, path, lock);
    }
    rewrite_state state(file);
    state.section = section;
    state.key = key;
    state.value = value;
    const int result = update_open_file(state, path, lock);
    // The file as opened here, unless the commit had to close it; under the
    // lock the source may have been reading through the lock's descriptor.
    if (state.src.file != NO_FILE) close_read_file(file);
    return result;
}

}  // namespace

namespace brantcfg::detail {

int replace_target(file_handle out, int error, file_handle &source, const target_file &target, char *scratch,
                   std::size_t scratch_size) noexcept {
    // Called once every byte is written: a write would clear the set-ID bits.
    if (error == 0 && !keep_attributes(source, out, target, scratch, scratch_size)) error = errno != 0 ? errno : EIO;
    return commit_temp_file(out, error, target, source);
}

int create_missing_file(const char *bytes, std::size_t length, const char *path, writer_lock &lock) noexcept {
    return create_new_file(new_bytes{bytes, length}, path, lock);
}

}  // namespace brantcfg::detail

int BRANTCFG_CALL ini_puts(const char *section, const char *key, const char *value, const char *path) {
    if (!path || !acceptable_change(section, key, value)) {
        errno = EINVAL;
        return 0;
    }
    return attempt_change([=](writer_lock &lock) { return attempt_update(section, key, value, path, lock); });
}
