// Number texts: the decimal text ini_putl writes, the "%f" text ini_putf
// writes, and the conversion ini_getf reads with, all with "." as the
// decimal point whatever the locale of the process, so a file reads and
// writes the same everywhere. The two typed setters live here too: each is
// its number's text handed to ini_puts.
#include "brantcfg.h"

#include "number_text.h"
#include "text_rules.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brantcfg::detail {

void int32_to_text(std::int32_t value, char (&dest)[INT32_TEXT_SIZE]) noexcept {
    // Digits come least significant first, each remainder made
    // non-negative on its own, so the most negative value needs no
    // positive counterpart.
    int i = 0;
    std::int32_t rest = value;
    do {
        const std::int32_t digit = rest % 10;
        dest[i++] = static_cast<char>('0' + (digit < 0 ? -digit : digit));
        rest /= 10;
    } while (rest != 0);
    if (value < 0) dest[i++] = '-';
    dest[i] = '\0';
    for (int a = 0, b = i - 1; a < b; ++a, --b) {
        const char swap = dest[a];
        dest[a] = dest[b];
        dest[b] = swap;
    }
}

void float_to_text(float value, char (&dest)[FLOAT_TEXT_SIZE]) noexcept {
    std::snprintf(dest, sizeof dest, "%f", static_cast<double>(value));
    const char *point = std::localeconv()->decimal_point;
    if (!point || *point == '\0' || std::strcmp(point, ".") == 0) return;
    if (char *at = std::strstr(dest, point)) {
        const std::size_t point_length = std::strlen(point);
        *at = '.';
        std::memmove(at + 1, at + point_length, std::strlen(at + point_length) + 1);
    }
}

namespace {

// strtod of text, but +0.0 where it reads no number at all: some runtimes
// give -0.0 for a sign followed by no digits ("-x").
[[nodiscard]] double convert(const char *text) noexcept {
    char *end = nullptr;
    const double number = std::strtod(text, &end);
    return end == text ? 0.0 : number;
}

// Room for a number's text with the locale's decimal point in place of each
// '.': the typed getters hand over at most 63 bytes.
constexpr int LOCAL_NUMBER_TEXT_SIZE = 128;

}  // namespace

double text_to_double(const char *text) noexcept {
    const char *point = std::localeconv()->decimal_point;
    const std::size_t point_length = (point && *point) ? std::strlen(point) : 0;
    if (point_length == 0 || (point_length == 1 && point[0] == '.')) return convert(text);

    char local[LOCAL_NUMBER_TEXT_SIZE];
    std::size_t j = 0;
    for (const char *s = text; *s != '\0'; ++s) {
        if (std::strncmp(s, point, point_length) == 0) break;
        if (*s == '.') {
            if (j + point_length >= sizeof local) break;
            std::memcpy(local + j, point, point_length);
            j += point_length;
        } else {
            if (j + 1 >= sizeof local) break;
            local[j++] = *s;
        }
    }
    local[j] = '\0';
    return convert(local);
}

}  // namespace brantcfg::detail

using namespace brantcfg::detail;

int BRANTCFG_CALL ini_putl(const char *section, const char *key, int32_t value, const char *path) {
    char text[INT32_TEXT_SIZE];
    int32_to_text(value, text);
    return ini_puts(section, key, text, path);
}

int BRANTCFG_CALL ini_putf(const char *section, const char *key, float value, const char *path) {
    char text[FLOAT_TEXT_SIZE];
    float_to_text(value, text);
    return ini_puts(section, key, text, path);
}
