#include "ini_model.h"

#include "text_rules.h"

#include <cstring>

namespace brantcfg_fuzz {
namespace {

// A piece holds at most this many bytes; a longer line is read in pieces.
constexpr std::size_t PIECE_LIMIT = brantcfg::detail::LINE_BUFFER_SIZE - 1;

using brantcfg::detail::is_blank;

Piece classify(const std::string &bytes, std::size_t offset, std::size_t length) {
    Piece piece;
    piece.offset = offset;
    piece.length = length;
    piece.text = bytes.substr(offset, length);
    piece.text.resize(std::strlen(piece.text.c_str()));
    std::size_t s = 0;
    while (s < piece.text.size() && is_blank(piece.text[s])) ++s;
    const std::string rest = piece.text.substr(s);
    piece.first = rest.empty() ? '\0' : rest[0];
    if (piece.first == '[') {
        const std::size_t close = rest.find(']', 1);
        if (close != std::string::npos) {
            piece.header = true;
            piece.name = rest.substr(1, close - 1);
        }
        return piece;
    }
    if (piece.first == '\0') return piece;
    std::size_t separator = rest.find('=');
    if (separator == std::string::npos) separator = rest.find(':');
    if (separator == std::string::npos) return piece;
    piece.has_separator = true;
    std::size_t end = separator;
    while (end > 0 && is_blank(rest[end - 1])) --end;
    piece.name = rest.substr(0, end);
    return piece;
}

bool is_comment(const Piece &piece) { return piece.first == ';' || piece.first == '#'; }

// Fills a block's body from piece index from on.
void read_body(const Model &model, std::size_t from, Block &block) {
    for (std::size_t i = from; i < model.pieces.size(); ++i) {
        const Piece &piece = model.pieces[i];
        if (piece.first == '[') break;
        block.pieces.push_back(i);
        if (piece.has_separator && !is_comment(piece)) block.keys.push_back(piece.name);
    }
}

}  // namespace

bool same_name(const std::string &a, const std::string &b) {
    return a.size() == b.size() && brantcfg::detail::equal_ignoring_case(a.data(), b.data(), a.size());
}

Model read_model(const std::string &bytes) {
    Model model;
    model.utf16 = bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0;
    model.text_start = bytes.compare(0, UTF8_MARK.size(), UTF8_MARK) == 0 ? UTF8_MARK.size() : 0;
    // A UTF-16 file is read as one without entries.
    std::size_t at = model.utf16 ? bytes.size() : model.text_start;
    while (at < bytes.size()) {
        std::size_t length = 0;
        bool line_end = false;
        while (at + length < bytes.size() && length < PIECE_LIMIT) {
            ++length;
            if (bytes[at + length - 1] == '\n') {
                line_end = true;
                break;
            }
        }
        if (at + length == bytes.size()) line_end = true;
        Piece piece = classify(bytes, at, length);
        piece.line_end = line_end;
        model.pieces.push_back(piece);
        at += length;
    }

    Block nameless;
    nameless.nameless = true;
    read_body(model, 0, nameless);
    model.blocks.push_back(nameless);
    for (std::size_t i = 0; i < model.pieces.size(); ++i) {
        const Piece &piece = model.pieces[i];
        if (!piece.header) continue;
        model.headers.push_back(piece.name);
        bool seen = false;
        for (const Block &block : model.blocks) seen = seen || (!block.nameless && same_name(block.name, piece.name));
        if (seen) continue;
        Block block;
        block.name = piece.name;
        block.header_piece = i;
        read_body(model, i + 1, block);
        model.blocks.push_back(block);
    }
    return model;
}

const Block *Model::find(const char *section) const {
    if (!section || !*section) return &blocks.front();
    for (const Block &block : blocks)
        if (!block.nameless && same_name(block.name, section)) return &block;
    return nullptr;
}

long target_piece(const Model &model, const Block &block, const std::string &key) {
    if (key.empty()) return -1;
    for (const std::size_t i : block.pieces) {
        const Piece &piece = model.pieces[i];
        if (piece.has_separator && !is_comment(piece) && same_name(piece.name, key)) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace brantcfg_fuzz
