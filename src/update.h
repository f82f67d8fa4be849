// The update: what a change does to a file, planned once from the file's
// bytes, and the steps both of its appliers share. ini_puts applies an
// edit to the file (a patch in place, or a copy with the edit into a
// temporary file that then takes the file's place); the merge applies the
// edits of many changes, one after another, to the file's bytes in memory
// and commits the result the same way.
#ifndef BRANTCFG_UPDATE_H
#define BRANTCFG_UPDATE_H

#include "lookup.h"
#include "piece_source.h"
#include "platform.h"
#include "text_codec.h"

#include <cerrno>
#include <cstddef>

namespace brantcfg::detail {

// One change as ini_puts takes it: a set (key and value), a key deleted
// (no value), or a section deleted (no key). A null or empty section is the
// nameless one above the first header.
struct change {
    const char *section = nullptr;
    const char *key = nullptr;
    const char *value = nullptr;
};

// What a change does to a file: the bytes [from, to) give way to the
// edit's text, which is, in this order and each only where the edit says,
// a CR LF, the section's header line and the key line. Every other byte
// stays as it is. No text: the bytes are deleted; from == to: the text is
// inserted there.
struct edit {
    file_offset from = 0;
    file_offset to = 0;
    bool line_break = false;
    bool header = false;
    bool key_line = false;
};

enum class plan_result { unchanged, edit, failed };

// Plans a change to the file the source reads, searching from where the
// source stands: its first byte, or the first header of the change's
// section where the caller knows it. unchanged when the file already says
// what the change asks (an equal value, nothing to delete); failed (errno
// set) on a read error, for a UTF-16 file (EILSEQ), and where deleting the
// file's first line would bring a byte-order mark to its first byte
// (EILSEQ). line is room for the search.
[[nodiscard]] plan_result plan_change(line_source &source, const change &what, char (&line)[LINE_BUFFER_SIZE],
                                      edit *planned) noexcept;

// Plans a set whose key goes after the last byte, end, of the file the
// source reads: in the section whose body runs from body to there, or,
// with_header, in a new section that body begins the text of. The search
// that found so has mostly read those bytes already.
[[nodiscard]] plan_result plan_append(line_source &source, file_offset body, file_offset end, bool with_header,
                                      char (&line)[LINE_BUFFER_SIZE], edit *planned) noexcept;

// The edit that creates a missing file holding a set's one entry.
[[nodiscard]] constexpr edit plan_creation() noexcept { return {0, 0, false, true, true}; }

// Hands the text of an edit of what to put(text, length), a part at a
// time, built in line. False when put returns false.
template <typename Put>
[[nodiscard]] bool put_edit_text(const edit &planned, const change &what, char (&line)[LINE_BUFFER_SIZE],
                                 Put &&put) noexcept {
    if (planned.line_break && !put("\r\n", 2)) return false;
    if (planned.header) {
        const int length = build_section_header(what.section, line);
        if (length > 0 && !put(static_cast<const char *>(line), length)) return false;
    }
    if (planned.key_line) return put(static_cast<const char *>(line), build_key_line(what.key, what.value, line));
    return true;
}

// What a step of a change comes to. retry: the file changed between the
// search and the lock, so what the search found no longer holds, and the
// caller starts over.
// (Laid out by hand: the formatter takes the attribute for part of the name.)
// clang-format off
enum class [[nodiscard]] outcome {
    failed,  // errno says why; the file is as it was
    done,
    retry,  // the file changed under the search: start over
};
// clang-format on

// Attempts one change makes at most: one without the lock, the rest with it.
constexpr int MAX_ATTEMPTS = 4;

// Makes a change by calling attempt(lock) until it is done or failed
// rather than retry, MAX_ATTEMPTS times at most (then failed with errno
// EAGAIN). The first attempt searches without the lock; should another
// writer change the file before the lock is had, the next ones run under
// it, where only a program outside this library can change it. A lock the
// first attempt could not wait for with the file open is waited for
// between attempts.
template <typename Attempt>
[[nodiscard]] outcome attempt_change(Attempt attempt) noexcept {
    writer_lock lock;
    for (int i = 0; i < MAX_ATTEMPTS; ++i) {
        const outcome result = attempt(lock);
        if (result != outcome::retry) return result;
        if (!lock.wait_deferred()) return outcome::failed;
    }
    errno = EAGAIN;
    return outcome::failed;
}

// Finishes a rewrite whose every byte was written to out (error: errno of
// the first failed write, 0 for none): the new file gets what the old one,
// open as source, had (scratch holds its attributes on the way), and takes
// its place only when every byte reached the disk and the target's path
// still names source. On failure the target is untouched, the temporary
// file is gone and errno says what failed first. Where the system cannot
// replace an open file, source is closed on the way and set to NO_FILE.
outcome replace_target(file_handle out, int error, file_handle &source, const target_file &target, char *scratch,
                       std::size_t scratch_size) noexcept;

// Creates the missing file at path holding length bytes, as a set creates
// one: under the writers' lock, written whole to the temporary file, synced
// and given its name, or written directly where it has no temporary name.
// retry when a file appeared at path meanwhile.
outcome create_missing_file(const char *bytes, std::size_t length, const char *path, writer_lock &lock) noexcept;

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

}  // namespace brantcfg::detail

#endif  // BRANTCFG_UPDATE_H
