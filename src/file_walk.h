// One-pass listings for the command-line tool: the names the enumeration
// exports give position by position, read in a single pass of the file
// rather than one pass per name. No export calls them.
#ifndef BRANTCFG_FILE_WALK_H
#define BRANTCFG_FILE_WALK_H

namespace brantcfg::detail {

// Receives each name of a listing in file order, NUL-terminated and length
// bytes long, and context; returning false ends the listing there.
using name_callback = bool (*)(const char *name, int length, void *context);

// Hands to each, in order, the names ini_getsection gives for the positions
// 0, 1, 2, ..., up to the first position where it gives the empty string
// (past the last header, or at a header "[]"). Returns true when the file
// was read to the end of the listing (a UTF-16 file holds no names); false,
// with errno set, when it cannot be opened for reading or a read fails.
[[nodiscard]] bool walk_sections(const char *path, name_callback each, void *context) noexcept;

// The same for the key names ini_getkey gives for section (nullptr or ""
// for the nameless section above the first header).
[[nodiscard]] bool walk_keys(const char *path, const char *section, name_callback each, void *context) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_FILE_WALK_H
