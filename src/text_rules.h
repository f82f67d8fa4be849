// The few text rules every part of the project applies alike: the line
// buffer size, what counts as a blank, and ASCII letter case. The library,
// the command-line tool and the fuzz targets all take them from here, so a
// byte is a blank, or two names match, in the same way everywhere.
#ifndef BRANTCFG_TEXT_RULES_H
#define BRANTCFG_TEXT_RULES_H

#include "brantcfg.h"

#include <cstddef>

namespace brantcfg::detail {

// Bytes in every line buffer: a line is read in pieces of at most
// LINE_BUFFER_SIZE - 1 bytes, and every line built for writing fits in it.
constexpr int LINE_BUFFER_SIZE = BRANTCFG_LINE_BUFFER_SIZE;
static_assert(LINE_BUFFER_SIZE == 512);

// A blank is any byte from 0x01 to 0x20; NUL ends a string.
[[nodiscard]] constexpr bool is_blank(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x01 && u <= 0x20;
}

// Letter case, for ASCII letters only, whatever the process locale: names
// match without regard to it, and only ASCII letters have a case here.
[[nodiscard]] constexpr char ascii_upper(char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a[0..length) and b[0..length) are the same bytes but for the
// case of ASCII letters. The last bytes are compared first: names that
// differ, such as numbered sections and keys, mostly differ there.
[[nodiscard]] constexpr bool equal_ignoring_case(const char *a, const char *b, std::size_t length) noexcept {
    if (length > 0 && a[length - 1] != b[length - 1] && ascii_lower(a[length - 1]) != ascii_lower(b[length - 1]))
        return false;
    for (std::size_t i = 0; i < length; ++i)
        if (a[i] != b[i] && ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

}  // namespace brantcfg::detail

#endif  // BRANTCFG_TEXT_RULES_H
