// ini_puts: one change applied to a file. A call comes to one of these:
//   - nothing: the file already says what the change asks (an equal value,
//     nothing to delete); nothing is written and no lock is taken;
//   - a patch: the new key line is exactly as long as the old one and lies
//     within one disk block; it is written over the old one in place, under
//     a lock every reader waits for;
//   - a rewrite: the file is copied into a temporary file beside it with
//     the edit made on the way (the bytes before it, the edit's text, the
//     bytes after it), and that file takes the old one's place by an
//     atomic rename once every byte of it is on disk;
//   - a creation: a missing file is made holding the one entry, through the
//     temporary file as well;
//   - a failure: the file is left exactly as it was, errno says why.
// What the change does to the file is planned once (plan.cpp); this file
// carries the plan out. The commit at its end serves the merge as well.
#include "brantcfg.h"

#include "update.h"

#include <cerrno>
#include <cstring>

using namespace brantcfg::detail;

namespace {

// One ini_puts call's working state, on its stack: one read block, and the
// line buffers the search, the edit's text and a patch need.
struct update_state {
    update_state(file_handle file, const change &what_) noexcept : src(file), what(what_) {}

    block_source<WRITER_BLOCK_SIZE> src;
    file_handle opened = NO_FILE;  // the file as opened, closed by the caller unless the commit closed it
    change what;
    edit planned;
    int patch_length = 0;  // > 0: the edit may be made as a patch of this many bytes
    char line[LINE_BUFFER_SIZE];
    char old_line[LINE_BUFFER_SIZE];  // the bytes a patch replaces, as the search found them
};

// What a patch comes to: besides done, failed and retry, a reader holding
// the file, which a rewrite then changes instead.
// (Laid out by hand: the formatter takes the attribute for part of the name.)
// clang-format off
enum class [[nodiscard]] patch_outcome {
    done,
    failed,
    retry,
    reader_holds_file,
};
// clang-format on

patch_outcome patch_line(const target_file &target, file_handle source, file_offset offset, const char *old_text,
                         const char *text, int length) noexcept;
outcome rewrite_with_edit(update_state &state, target_file &target) noexcept;
template <typename Content>
outcome create_new_file(const Content &content, const char *path, writer_lock &lock) noexcept;
outcome commit_temp_file(file_handle out, int error, const target_file &target, file_handle &source) noexcept;

// A line is patched in place only where it lies within one block of this
// many bytes: a disk writes such a block whole or not at all, so a power
// loss leaves the line old or new, never part of each.
constexpr file_offset PATCH_BLOCK = 512;

[[nodiscard]] constexpr bool within_one_block(file_offset from, file_offset to) noexcept {
    return from / PATCH_BLOCK == (to - 1) / PATCH_BLOCK;
}

// Plans the change in the file the source reads from its first byte, and
// tells whether the edit can be a patch: a key line replaced by one of the
// same length within one block, whose old bytes the source still holds.
[[nodiscard]] plan_result plan_update(update_state &state) noexcept {
    state.patch_length = 0;
    const plan_result result = plan_change(state.src, state.what, state.line, &state.planned);
    const edit &planned = state.planned;
    if (result != plan_result::edit || !planned.key_line || planned.header || planned.line_break ||
        !within_one_block(planned.from, planned.to))
        return result;
    const int length = build_key_line(state.what.key, state.what.value, state.line);
    const char *old_text = length == planned.to - planned.from ? held_bytes(state.src, planned.from, length) : nullptr;
    if (old_text) {
        std::memcpy(state.old_line, old_text, static_cast<std::size_t>(length));
        state.patch_length = length;
    }
    return result;
}

// What a call comes to when its plan is no edit: nothing to do, or a failure.
[[nodiscard]] outcome settled(plan_result planned) noexcept {
    return planned == plan_result::unchanged ? outcome::done : outcome::failed;
}

// The update once the file is open: nothing, a patch, or a rewrite. The
// search runs without the lock, so that a call with nothing to change
// takes none; a change takes it, and goes ahead only while the path still
// names the file that was searched (retry when it no longer does).
outcome update_open_file(update_state &state, const char *path, writer_lock &lock) noexcept {
    file_version searched;
    const bool versioned = read_version(state.src.file(), &searched);
    if (const plan_result planned = plan_update(state); planned != plan_result::edit) return settled(planned);
    reach(update_point::searched);

    target_file target;
    if (!describe_target(path, state.src.file(), &target)) return errno == ENOENT ? outcome::retry : outcome::failed;
    if (!lock.take_or_defer(target)) return errno == ENOENT || lock.deferred() ? outcome::retry : outcome::failed;
    if (!names_file(target, state.src.file())) return outcome::retry;
    // Under the lock the file is read through the lock's own descriptor
    // where there is one (see writer_lock::file).
    if (lock.file() != NO_FILE && !read_through(state.src, lock.file())) return outcome::failed;
    // A patch compares the old line under its own lock, whatever happened
    // to the file since the search. The line buffer still holds the new key
    // line plan_update built.
    if (state.patch_length > 0) {
        switch (
            patch_line(target, state.src.file(), state.planned.from, state.old_line, state.line, state.patch_length)) {
            case patch_outcome::done:
                return outcome::done;
            case patch_outcome::failed:
                return outcome::failed;
            case patch_outcome::retry:
                return outcome::retry;
            case patch_outcome::reader_holds_file:
                // The rewrite, which no reader can see half done, makes
                // the change instead.
                break;
        }
    }
    // What the search found holds while no writer has touched the file
    // since; otherwise the plan is made again, under the lock.
    file_version now;
    if (!versioned || !read_version(state.src.file(), &now) || !(now == searched)) {
        if (!restart_source(state.src)) return outcome::failed;
        if (const plan_result planned = plan_update(state); planned != plan_result::edit) return settled(planned);
    }
    return rewrite_with_edit(state, target);
}

// A set's one entry, for a missing file: written by the edit that creates
// it (see create_new_file).
struct new_entry {
    const change &what;

    [[nodiscard]] bool write_to(file_handle out) const noexcept {
        char line[LINE_BUFFER_SIZE];
        return put_edit_text(plan_creation(), what, line, [out](const char *text, int length) {
            return write_file(out, text, static_cast<std::size_t>(length));
        });
    }
};

// One attempt at the whole update, from opening the file on.
outcome attempt_update(const change &what, const char *path, writer_lock &lock) noexcept {
    open_result opened = open_result::failed;
    const file_handle file = open_for_reading(path, &opened);
    if (file == NO_FILE) {
        // Only a file that is not there may be created; one that exists but
        // cannot be read (or is no regular file) is never replaced.
        if (opened != open_result::missing) return outcome::failed;
        if (!what.key || !what.value) return outcome::done;
        return create_new_file(new_entry{what}, path, lock);
    }
    update_state state(file, what);
    state.opened = file;
    const outcome result = update_open_file(state, path, lock);
    // The file as opened here, unless the commit had to close it; under the
    // lock the source may have been reading through the lock's descriptor.
    if (state.opened != NO_FILE) close_read_file(file);
    return result;
}

// ---- the patch ----------------------------------------------------------------

// Bytes a patch compares at a time with what the search found.
constexpr int COMPARE_STRETCH = 128;

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

// Writes a line of the same length over the old one, through the file that
// was searched, and only while the old line is still there and no reader
// holds the file: a reader waits for the patch (and its sync) to end, and
// sees the line old or new.
patch_outcome patch_line(const target_file &target, file_handle source, file_offset offset, const char *old_text,
                         const char *text, int length) noexcept {
    const file_handle file = open_same_file_for_update(target, source);
    if (file == NO_FILE) return errno == EAGAIN ? patch_outcome::retry : patch_outcome::failed;
    if (!lock_for_patch(file)) {
        close_read_file(file);
        return patch_outcome::reader_holds_file;
    }
    const std::size_t size = static_cast<std::size_t>(length);
    if (!holds_bytes(file, offset, old_text, length)) {
        // Another program changed the line since the search (every writer
        // of this library waits for the lock): search again.
        unlock_for_patch(file);
        close_read_file(file);
        return patch_outcome::retry;
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
        return patch_outcome::done;
    }
    close_read_file(file);
    return patch_outcome::failed;
}

// ---- the copy with the edit -----------------------------------------------------

// Copies the source file's bytes [from, to) (to < 0: up to its end) to out
// at out's position: by the system from file to file where it can, else a
// block at a time through the source's block, which no longer reads
// pieces. False (errno set) when a byte could not be copied, or the file
// ended before to.
[[nodiscard]] bool copy_range(line_source &source, file_offset from, file_offset to, file_handle out) noexcept {
    if (to >= 0 && to <= from) return true;
    const file_offset length = to < 0 ? -1 : to - from;
    const file_offset copied = copy_file_bytes(source.file(), from, length, out);
    if (copied != COPY_NOT_POSSIBLE) {
        if (copied >= 0 && length >= 0 && copied != length) errno = EIO;
        return copied >= 0 && (length < 0 || copied == length);
    }
    if (!seek_file(source.file(), from)) return false;
    for (file_offset left = length; left != 0;) {
        const std::size_t room = source.capacity();
        const std::size_t wanted =
            left < 0 || static_cast<std::size_t>(left) > room ? room : static_cast<std::size_t>(left);
        const long got = read_file(source.file(), source.block(), wanted);
        if (got < 0) return false;
        if (got == 0) {
            if (left > 0) errno = EIO;
            return left < 0;
        }
        if (!write_file(out, source.block(), static_cast<std::size_t>(got))) return false;
        if (left > 0) left -= got;
    }
    return true;
}

// A rewrite: the bytes before the edit, its text and the bytes after it go
// to the temporary file, which is then committed. The first failure is the
// one reported.
outcome rewrite_with_edit(update_state &state, target_file &target) noexcept {
    const file_handle out = create_temp_file(target);
    if (out == NO_FILE) return outcome::failed;
    const edit &planned = state.planned;
    const bool written = copy_range(state.src, 0, planned.from, out) &&
                         put_edit_text(planned, state.what, state.line,
                                       [out](const char *text, int length) {
                                           return write_file(out, text, static_cast<std::size_t>(length));
                                       }) &&
                         copy_range(state.src, planned.to, -1, out);
    // Where the commit has to close the file read, that is the file as
    // opened: only where the lock is no file of its own.
    file_handle source = state.src.file();
    const outcome result =
        replace_target(out, written ? 0 : failure_cause(), source, target, state.src.block(), state.src.capacity());
    if (source == NO_FILE) state.opened = NO_FILE;
    return result;
}

// ---- the creation -------------------------------------------------------------

// Bytes made beforehand (a merge's), for a missing file.
struct new_bytes {
    const char *bytes;
    std::size_t length;

    [[nodiscard]] bool write_to(file_handle out) const noexcept { return write_file(out, bytes, length); }
};

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

// A missing file created directly under its own name, holding content:
// where it has no temporary name. A file that could not be written
// completely is removed again; where something appeared under the name
// meanwhile, nothing is created and the caller starts over.
template <typename Content>
outcome create_directly(const Content &content, target_file &target) noexcept {
    const file_handle out = create_named_file(target);
    if (out == NO_FILE) return errno == EEXIST ? outcome::retry : outcome::failed;
    const bool written = content.write_to(out) && sync_file(out);
    if (close_written(out, written)) return outcome::done;
    remove_named_file(target);
    return outcome::failed;
}

// A missing file is created the way a rewrite replaces one: written whole
// to the temporary file, synced and given its name, so that a crash never
// leaves an empty or partial file at the path; through a link to a missing
// file, the file the link names, in its own directory. A name that has no
// temporary name (it ends in '~') is written directly, never through a
// link. The content is a template parameter rather than a call through a
// pointer: ini_puts' own is then built into its caller, where it shares the
// caller's frame and costs no stack of its own.
template <typename Content>
outcome create_new_file(const Content &content, const char *path, writer_lock &lock) noexcept {
    target_file target;
    if (!describe_new_target(path, &target)) {
        // A file that appeared meanwhile is changed instead; a name without
        // a temporary name is created directly. Anything else (a folder on
        // the way missing or closed) fails, errno saying why.
        if (errno == EEXIST) return outcome::retry;
        if (errno != EINVAL) return outcome::failed;
        if (!lock.take(target)) return outcome::failed;
        return create_directly(content, target);
    }
    if (!lock.take(target)) return outcome::failed;
    const file_handle out = create_temp_file(target);
    if (out == NO_FILE) return outcome::failed;
    const int error = content.write_to(out) ? 0 : failure_cause();
    file_handle none = NO_FILE;
    return commit_temp_file(out, error, target, none);
}

// ---- the commit ---------------------------------------------------------------

// Finishes a temporary file: it takes the target's place only when every
// byte of it reached the disk, and only while the target's path still names
// source, the file that was read (NO_FILE: a new file, which replaces
// nothing). On failure the target is untouched, the temporary file is gone
// and errno says what failed first; retry when a new file found another in
// its place.
outcome commit_temp_file(file_handle out, int error, const target_file &target, file_handle &source) noexcept {
    const bool replacing = source != NO_FILE;
    // Sync before the rename: otherwise a power loss soon after it can
    // leave the path naming a file whose data never reached the disk.
    if (error == 0 && !sync_file(out)) error = failure_cause();
    // Where an open file can be renamed, the temporary file stays open, and
    // so locked against writers of files that share its name, until it has
    // its place; once synced, closing it cannot lose a byte. Elsewhere it
    // is closed first, the close checked: a late write error shows up there.
    if (REPLACE_NEEDS_CLOSED_FILE) {
        if (!close_file(out) && error == 0) error = failure_cause();
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
            error = failure_cause();
            appeared = !replacing && error == EEXIST;
        }
    }
    if (error != 0) {
        remove_temp_file(target);
        if (out != NO_FILE) close_read_file(out);
        errno = error;
        return appeared ? outcome::retry : outcome::failed;
    }
    if (out != NO_FILE) static_cast<void>(close_file(out));
    sync_target_directory(target);
    return outcome::done;
}

}  // namespace

namespace brantcfg::detail {

outcome replace_target(file_handle out, int error, file_handle &source, const target_file &target, char *scratch,
                       std::size_t scratch_size) noexcept {
    // Called once every byte is written: a write would clear the set-ID bits.
    if (error == 0 && !keep_attributes(source, out, target, scratch, scratch_size)) error = failure_cause();
    return commit_temp_file(out, error, target, source);
}

outcome create_missing_file(const char *bytes, std::size_t length, const char *path, writer_lock &lock) noexcept {
    return create_new_file(new_bytes{bytes, length}, path, lock);
}

}  // namespace brantcfg::detail

int BRANTCFG_CALL ini_puts(const char *section, const char *key, const char *value, const char *path) {
    if (!path || !acceptable_change(section, key, value)) {
        errno = EINVAL;
        return 0;
    }
    const change what{section, key, value};
    return attempt_change([&](writer_lock &lock) { return attempt_update(what, path, lock); }) == outcome::done ? 1 : 0;
}
