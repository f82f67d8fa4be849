// Number texts: the decimal text ini_putl writes, the "%f" text ini_putf
// writes and the conversion ini_getf reads with, each with "." as the
// decimal point whatever the locale of the process.
#ifndef BRANTCFG_NUMBER_TEXT_H
#define BRANTCFG_NUMBER_TEXT_H

#include <cstdint>

namespace brantcfg::detail {

// Room for the decimal text of a 32-bit integer, "-2147483648" and its NUL.
constexpr int INT32_TEXT_SIZE = 12;

// Decimal text of a 32-bit integer, the most negative one included.
void int32_to_text(std::int32_t value, char (&dest)[INT32_TEXT_SIZE]) noexcept;

// Room for "%f" of any float: sign, 39 digits, point, six decimals, NUL.
constexpr int FLOAT_TEXT_SIZE = 1 + 39 + 1 + 6 + 1;

// "%f" of the value with "." as the decimal point whatever the locale.
void float_to_text(float value, char (&dest)[FLOAT_TEXT_SIZE]) noexcept;

// Converts text as strtod does in the "C" locale, whatever the locale of
// the process: "." is the decimal point, and the locale's own decimal point
// ends the number. A text that holds no number gives +0.0.
[[nodiscard]] double text_to_double(const char *text) noexcept;

}  // namespace brantcfg::detail

#endif  // BRANTCFG_NUMBER_TEXT_H
