// The text forms the command-line tool prints and parses: the four dump
// formats and the strict number and truth-value syntax of its arguments.
#ifndef BRANTCFG_TOOL_FORMATS_H
#define BRANTCFG_TOOL_FORMATS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brantcfg_tool {

// One pair as the browse export reports it.
struct entry {
    std::string section;
    std::string key;
    std::string value;
};

enum class dump_format { ini, lines, json, env };

// The whole dump of entries in the given format, ready to print:
//   ini    a file that reads back to the same pairs, as long as each line
//          fits the 511 bytes a line is read in;
//   lines  section TAB key TAB value, byte for byte, one pair a line;
//   json   an array of {"section", "key", "value"} objects (bytes that are
//          not UTF-8 become U+FFFD);
//   env    NAME='value' lines that sh can eval; NAME is SECTION_KEY in upper
//          case with every other byte made "_", and the first pair that makes
//          a name wins, as lookups let the first match win.
[[nodiscard]] std::string format_entries(const std::vector<entry> &entries, dump_format format);

// A whole-text 32-bit integer: decimal, or hexadecimal after "0x"/"0X",
// with an optional sign; nothing else around it.
[[nodiscard]] std::optional<std::int32_t> parse_int32(const std::string &text);
// A whole-text finite float in the "C" locale's notation.
[[nodiscard]] std::optional<float> parse_float(const std::string &text);
// A truth value by its first byte, as the boolean getter reads one: y, t or
// 1 is true; n, f or 0 is false (any letter case).
[[nodiscard]] std::optional<bool> parse_truth(std::string_view text);
// The shortest text that reads back to the same float.
[[nodiscard]] std::string float_text(float value);

}  // namespace brantcfg_tool

#endif
