// The sequential search every read and every update goes through: a
// section by name or position, a key by name or position, and the scans
// it is made of (the next header, the end of a section's body).
#ifndef BRANTCFG_LOOKUP_H
#define BRANTCFG_LOOKUP_H

#include "piece_source.h"
#include "text_codec.h"

#include <cstddef>

namespace brantcfg::detail {

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

// Where a search found its way through the file, for an update that
// changes it there. Offsets not reached stay -1.
struct entry_marks {
    file_offset header = -1;  // the named section's header line
    file_offset body = -1;    // the first byte of the section's body
    file_offset line = -1;    // the last piece of the body read: the key's line when found,
                              // else the line that ended the section, or the end of the file
};

// The sequential search every read goes through. Finds what query asks
// for and copies it to dest: a key's decoded value, or the name of the
// section or key at a position. Returns true when dest was filled
// (section_named: with the section's name, the source then standing at the
// first line of its body); dest is untouched otherwise.
[[nodiscard]] bool seek_entry(line_source &source, const entry_query &query, char *dest, int size,
                              entry_marks *marks = nullptr) noexcept;

// The one header scan: reads on to the next well-formed header line ("[]"
// included), which it leaves taken apart in found, with line holding it
// and start its offset. With a name (length bytes), headers that cannot be
// that name's may be passed over where they lie, unread. False at the end
// of the file or on a read error.
[[nodiscard]] bool next_header(line_source &source, char (&line)[LINE_BUFFER_SIZE], const char *name,
                               std::size_t length, line_class *found, file_offset *start) noexcept;

// Reads on through a section's body to the line that ends it, a line
// beginning with '['; returns that line's offset, or the end of the file's.
// -1 on a read error.
[[nodiscard]] file_offset find_section_end(line_source &source, char (&line)[LINE_BUFFER_SIZE]) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_LOOKUP_H
