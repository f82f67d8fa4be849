// One-pass listings for the command-line tool; see file_walk.h. Each runs
// the library's own search, seek_entry, again and again over one open
// source: a search for the entry at position 0 from where the last one
// stopped finds the next entry, so the listing reads every byte once and
// every name comes out exactly as the export for its position gives it.
#include "file_walk.h"

#include "lookup.h"

#include <cerrno>
#include <cstring>

namespace brantcfg::detail {
namespace {

// Opens path as the readers do and hands each name that the search next
// finds, from where the last one stopped, to each, until the search finds
// none or an empty name. enter, given the source, places it at the start
// of the listing; false when there is nothing to list.
template <typename Enter>
[[nodiscard]] bool walk(const char *path, const entry_query &next, Enter enter, name_callback each,
                        void *context) noexcept {
    open_result opened = open_result::failed;
    const file_handle file = open_for_reading(path, &opened, read_lock::shared);
    if (file == NO_FILE) return false;
    block_source<READER_BLOCK_SIZE, 0> source(file);
    char name[LINE_BUFFER_SIZE];
    if (enter(source, name, static_cast<int>(sizeof name))) {
        while (seek_entry(source, next, name, sizeof name, nullptr)) {
            const int length = static_cast<int>(std::strlen(name));
            if (length == 0 || !each(name, length, context)) break;
        }
    }
    // A UTF-16 file reads as one without entries, as it does for the exports.
    const int cause = source.read_error() == EILSEQ ? 0 : source.read_error();
    close_read_file(file);
    if (cause == 0) return true;
    errno = cause;
    return false;
}

}  // namespace

bool walk_sections(const char *path, name_callback each, void *context) noexcept {
    const auto from_the_start = [](line_source &, char *, int) noexcept { return true; };
    return walk(path, section_at(0), from_the_start, each, context);
}

bool walk_keys(const char *path, const char *section, name_callback each, void *context) noexcept {
    // The keys of a named section follow its first header; those of the
    // nameless one begin where the text does. A search of the key at
    // position 0 without a section name begins where the source stands.
    const auto at_the_body = [section](line_source &source, char *name, int size) noexcept {
        if (!section || *section == '\0') return true;
        return seek_entry(source, section_named(section), name, size, nullptr);
    };
    return walk(path, key_at(nullptr, 0), at_the_body, each, context);
}

}  // namespace brantcfg::detail
