// The text forms the command-line tool prints: the four dump formats.
#ifndef BRANTCFG_TOOL_FORMATS_H
#define BRANTCFG_TOOL_FORMATS_H

#include <string>
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
//   json   an array of {"section", "key", "value"} objects;
//   env    NAME='value' lines that sh can eval; NAME is SECTION_KEY in upper
//          case with every other byte made "_"; of pairs that lookups take
//          for one entry (a key repeated, or written in another letter case)
//          the first wins, as lookups let the first match win.
// Nothing is changed or left out silently: a name or value that is not
// UTF-8 (json), or two entries that make one NAME, such as "a-b" and "a_b"
// (env), fail the dump with status 3, the entry and file (name) said.
[[nodiscard]] std::string format_entries(const std::vector<entry> &entries, dump_format format,
                                         const std::string &name);

}  // namespace brantcfg_tool

#endif
