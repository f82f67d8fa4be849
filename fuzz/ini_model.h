// An independent reading of a file's structure, for the writer target's
// oracle: the pieces the file is read in (at most 511 bytes, or through a
// line feed), the section headers in order, and for the nameless section
// and the first block of every section name the key lines it holds. Values
// are not decoded here: the oracle asks the library for them.
#ifndef BRANTCFG_FUZZ_INI_MODEL_H
#define BRANTCFG_FUZZ_INI_MODEL_H

#include <cstddef>
#include <string>
#include <vector>

namespace brantcfg_fuzz {

struct Piece {
    std::size_t offset = 0;
    std::size_t length = 0;
    bool line_end = false;  // the last piece of its physical line
    std::string text;       // its bytes up to the first NUL
    char first = '\0';      // first byte that is not a blank, NUL when none
    bool header = false;    // "[name]..."
    std::string name;       // header name, or key name of a line with a separator
    bool has_separator = false;
};

struct Block {
    bool nameless = false;
    std::string name;                 // header name as stored
    std::size_t header_piece = 0;     // index of the header piece (named blocks)
    std::vector<std::size_t> pieces;  // body pieces up to the next piece that begins with '['
    std::vector<std::string> keys;    // key names of the key lines, in order, empty names included
};

// The bytes that open a file saved as UTF-8 with a byte-order mark. At
// offset 0 they are no part of the first line, and every write keeps them.
inline const std::string UTF8_MARK = "\xEF\xBB\xBF";

struct Model {
    bool utf16 = false;          // begins with FF FE or FE FF: no entries, and never written
    std::size_t text_start = 0;  // past a UTF-8 mark at offset 0, else 0
    std::vector<Piece> pieces;
    std::vector<std::string> headers;  // every header name, in file order
    std::vector<Block> blocks;         // nameless first, then the first block of each name
    // The block a lookup of section reaches (nullptr or "" for the nameless
    // one); nullptr when no header matches.
    const Block *find(const char *section) const;
};

Model read_model(const std::string &bytes);

// ASCII case-insensitive equality, the rule names match by.
bool same_name(const std::string &a, const std::string &b);

// The piece of a block that a key update acts on: the first body piece
// with a separator whose name matches key; comment lines are no entries
// and never match. -1 when there is none.
long target_piece(const Model &model, const Block &block, const std::string &key);

}  // namespace brantcfg_fuzz

#endif
