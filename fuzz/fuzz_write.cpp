// Fuzz target for the setters: arbitrary file bytes, then one set (through
// ini_puts, ini_putl or ini_putf), key deletion or section deletion with
// names and values from the input. Afterwards:
//   - the call returned 1 (the scratch directory is always writable), or 0
//     with the file untouched: EINVAL when a name or value held a CR/LF,
//     EILSEQ for a UTF-16 file;
//   - a UTF-8 byte-order mark at the start stays there, and the file
//     behind it changes byte for byte as the same file without it would;
//   - no temporary file is left beside the file;
//   - every entry the call did not target reads exactly as before: the same
//     headers, the same key lines in every section's first block, and the
//     same value for every key there (read through ini_gets);
//   - a set value reads back as set when the format can carry it, and a
//     deleted key or section no longer reads when it was the only one.
// Where the format itself makes one of these untrue, the check is narrowed
// and the comment beside it says why.
#include "fuzz_support.h"
#include "ini_model.h"

#include "brantcfg.h"
#include "text_rules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace brantcfg_fuzz;

// Longest key a written key line carries whole, and the longest line.
constexpr std::size_t MAX_KEY = 508;
constexpr std::size_t MAX_SECTION = 507;
constexpr std::size_t MAX_LINE = brantcfg::detail::LINE_BUFFER_SIZE - 1;
constexpr int VALUE_BUFFER_SIZE = brantcfg::detail::LINE_BUFFER_SIZE;
// A default no stored value can equal: a value is at most 509 bytes.
const std::string MISSING(MAX_LINE, '\x7f');

struct Counts {
    long runs = 0, refused = 0, full_checks = 0, long_target = 0, read_backs = 0;
    ~Counts() {
        if (std::getenv("BRANTCFG_FUZZ_STATS"))
            std::fprintf(stderr,
                         "fuzz_write: %ld runs, %ld refused, %ld with every entry compared, "
                         "%ld long target lines, %ld values read back\n",
                         runs, refused, full_checks, long_target, read_backs);
    }
};
Counts counts;

using brantcfg::detail::is_blank;

bool has_line_break(const Name &name) { return !name.absent && name.text.find_first_of("\r\n") != std::string::npos; }

std::string read_value(const char *section, const std::string &key, const std::string &path) {
    char buffer[VALUE_BUFFER_SIZE];
    ini_gets(section, key.c_str(), MISSING.c_str(), buffer, sizeof buffer, path.c_str());
    return buffer;
}

const char *section_argument(const Block &block) { return block.nameless ? nullptr : block.name.c_str(); }

// Only the first block of a name, and the nameless section, can be read;
// a "[]" block is reached by no name.
bool reachable(const Block &block) { return block.nameless || !block.name.empty(); }

bool first_in_block(const Block &block, std::size_t index) {
    for (std::size_t i = 0; i < index; ++i)
        if (same_name(block.keys[i], block.keys[index])) return false;
    return !block.keys[index].empty();
}

const Block *find_same(const Model &model, const Block &block) {
    return block.nameless ? &model.blocks.front() : model.find(block.name.c_str());
}

// A value the library can write so that it reads back as written: the
// whole key line fits, with the quotes (and the escapes inside them) that
// a value with a comment byte, a quote or an outer blank is written in.
bool value_carried(const std::string &key, const std::string &value) {
    const bool quoted = value.find_first_of("\";#") != std::string::npos ||
                        (!value.empty() && (is_blank(value.front()) || is_blank(value.back())));
    std::size_t encoded = value.size();
    if (quoted) {
        encoded += 2;
        for (const char c : value) encoded += c == '"';
    }
    return key.size() + 1 + encoded + 2 <= MAX_LINE;
}

// A key reads back under its own name: not cut, no blanks around it, no
// separator in it, and not the start of a comment or a section.
bool key_carried(const std::string &key) {
    if (key.empty() || key.size() > MAX_KEY || is_blank(key.front()) || is_blank(key.back())) return false;
    if (key.front() == ';' || key.front() == '#' || key.front() == '[') return false;
    return key.find('=') == std::string::npos;
}

// In the nameless section a key line can land at the first byte, where a
// key that begins with a byte-order mark would read as the mark.
bool key_carried_in(const Name &section, const std::string &key) {
    const bool nameless = section.absent || section.text.empty();
    const Model opening = read_model(key);
    return key_carried(key) && !(nameless && (opening.text_start > 0 || opening.utf16));
}

bool section_carried(const Name &section) {
    return section.absent || section.text.empty() ||
           (section.text.size() <= MAX_SECTION && section.text.find(']') == std::string::npos);
}

// The entries of every reachable block but skip read as before.
void compare_blocks(const Model &before, const std::vector<std::vector<std::string>> &values, const Model &after,
                    const std::string &path, const Block *skip) {
    for (std::size_t b = 0; b < before.blocks.size(); ++b) {
        const Block &old_block = before.blocks[b];
        if (&old_block == skip || !reachable(old_block)) continue;
        const Block *new_block = find_same(after, old_block);
        check(new_block != nullptr, "section " + show(old_block.name) + " vanished");
        check(new_block->keys == old_block.keys, "the keys of section " + show(old_block.name) + " changed");
        for (std::size_t k = 0; k < old_block.keys.size(); ++k) {
            if (!first_in_block(old_block, k)) continue;
            check(read_value(section_argument(old_block), old_block.keys[k], path) == values[b][k],
                  "value of " + show(old_block.name) + "/" + show(old_block.keys[k]) + " changed");
        }
    }
}

std::vector<std::vector<std::string>> read_values(const Model &model, const std::string &path) {
    std::vector<std::vector<std::string>> values;
    for (const Block &block : model.blocks) {
        values.emplace_back(block.keys.size());
        if (!reachable(block)) continue;
        for (std::size_t k = 0; k < block.keys.size(); ++k)
            if (first_in_block(block, k)) values.back()[k] = read_value(section_argument(block), block.keys[k], path);
    }
    return values;
}

// The headers after the call: as before, less the one at removed (when
// given), plus added at the end (when given).
std::vector<std::string> expected_headers(const Model &before, long removed, const std::string *added) {
    std::vector<std::string> headers = before.headers;
    if (removed >= 0) headers.erase(headers.begin() + removed);
    if (added) headers.push_back(*added);
    return headers;
}

long header_position(const Model &model, const Block &block) {
    long position = -1;
    for (std::size_t i = 0; i <= block.header_piece; ++i) position += model.pieces[i].header;
    return position;
}

enum class Operation { set_text, set_long, set_float, delete_key, delete_section };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input input = split_input(data, size);
    Control &control = input.control;
    const std::string dir = scratch_dir();
    const std::string path = dir + "/write.ini";
    write_whole_file(path, input.file);
    ++counts.runs;

    const Operation operation = static_cast<Operation>(control.byte() % 5);
    const Name section = pick_section(control, path);
    Name key = operation == Operation::delete_section ? Name{} : pick_key(control, section, path);
    if (operation != Operation::delete_section && key.absent) key.absent = false;  // NULL would delete the section
    Name value;
    if (operation == Operation::set_text) {
        value.absent = false;
        value.text = control.text(control.byte() & 1 ? 520 : 24);
    }
    const std::int32_t number = control.int32();
    const float real = control.float32();

    const Model before = read_model(input.file);
    const auto values = read_values(before, path);

    const auto call = [&](const std::string &file) {
        switch (operation) {
            case Operation::set_text:
            case Operation::delete_key:
            case Operation::delete_section:
                return ini_puts(section.get(), key.get(), value.get(), file.c_str());
            case Operation::set_long:
                return ini_putl(section.get(), key.get(), number, file.c_str());
            case Operation::set_float:
                return ini_putf(section.get(), key.get(), real, file.c_str());
        }
        return -1;
    };
    errno = 0;
    const int result = call(path);
    const int cause = errno;
    const std::string after_bytes = read_whole_file(path);

    check(list_dir(dir) == std::vector<std::string>{"write.ini"}, "a temporary file was left behind");
    if (has_line_break(section) || has_line_break(key) || has_line_break(value)) {
        ++counts.refused;
        check(result == 0 && cause == EINVAL, "a name or value with a line break was not refused");
        check(after_bytes == input.file, "a refused call changed the file");
        return 0;
    }
    // A set whose lines would not read back as the entry is refused whole.
    std::string text = value.text;
    if (operation == Operation::set_long) text = std::to_string(number);
    if (operation == Operation::set_float) {
        char formatted[64];
        std::snprintf(formatted, sizeof formatted, "%f", static_cast<double>(real));
        text = formatted;
    }
    const bool setting = operation != Operation::delete_key && operation != Operation::delete_section;
    if (setting && !(section_carried(section) && key_carried_in(section, key.text) && value_carried(key.text, text))) {
        ++counts.refused;
        check(result == 0 && cause == EINVAL, "a set that cannot be read back was not refused");
        check(after_bytes == input.file, "a refused call changed the file");
        return 0;
    }
    if (before.utf16) {
        check(result == 0 && cause == EILSEQ, "a UTF-16 file was not refused");
        check(after_bytes == input.file, "a refused call changed a UTF-16 file");
        return 0;
    }
    if (operation == Operation::delete_key && result == 0 && cause == EILSEQ) {
        // Deleting the first line would bring a byte-order mark to the
        // first byte, where it would be read as the file's own.
        const std::size_t line_end = input.file.find('\n');
        const Model next =
            read_model(line_end == std::string::npos ? std::string() : input.file.substr(line_end + 1, 3));
        check(before.text_start == 0 && (next.text_start > 0 || next.utf16),
              "a key deletion was refused with no byte-order mark behind the first line");
        check(after_bytes == input.file, "a refused deletion changed the file");
        return 0;
    }
    check(result == 1, "a setter failed on a writable file: " + std::string(std::strerror(cause)));
    const std::string rest = input.file.substr(before.text_start);
    const Model rest_model = read_model(rest);
    if (before.text_start > 0 && rest_model.text_start == 0 && !rest_model.utf16) {
        // Behind the mark the file changes exactly as the same file without
        // it does (unless that file would begin with a mark of its own), and
        // the mark stays.
        const std::string plain = dir + "/plain.ini";
        write_whole_file(plain, rest);
        errno = 0;
        const int plain_result = call(plain);
        if (plain_result == 0 && errno == EILSEQ && operation == Operation::delete_key) {
            // Without the mark, deleting the first line would bring a mark
            // that begins the next one to the first byte, where it would
            // read as the file's own: refused there. Behind the file's own
            // mark that line still reads as it did, and the deletion is made.
            const std::size_t line_end = rest.find('\n');
            const Model next = read_model(line_end == std::string::npos ? std::string() : rest.substr(line_end + 1, 3));
            check(next.text_start > 0 || next.utf16,
                  "a key deletion without the mark was refused with no mark behind the first line");
        } else {
            check(plain_result == 1, "a setter failed on the file without its byte-order mark");
            check(after_bytes == UTF8_MARK + read_whole_file(plain),
                  "the file behind a byte-order mark changed otherwise than without it");
        }
        std::remove(plain.c_str());
    }

    const Model after = read_model(after_bytes);
    const Block *target = before.find(section.get());

    if (operation == Operation::delete_section) {
        if (!target || (target->nameless && target->pieces.empty())) {
            check(after_bytes == input.file, "deleting a missing section changed the file");
            return 0;
        }
        const long removed = target->nameless ? -1 : header_position(before, *target);
        check(after.headers == expected_headers(before, removed, nullptr), "section deletion changed other headers");
        compare_blocks(before, values, after, path, target);
        if (target->nameless) {
            check(after.blocks.front().keys.empty(), "the nameless section kept key lines");
        } else {
            // A later block of the same name becomes the first one, so the
            // name reads no more only when it had one block.
            long blocks_of_name = 0;
            for (const std::string &header : before.headers) blocks_of_name += same_name(header, target->name);
            char name[VALUE_BUFFER_SIZE];
            if (blocks_of_name == 1) {
                check(ini_getkey(section.get(), 0, name, sizeof name, path.c_str()) == 0,
                      "a deleted section still has keys");
                for (const std::string &old_key : target->keys)
                    check(old_key.empty() || read_value(section.get(), old_key, path) == MISSING,
                          "a key of a deleted section still reads");
            }
        }
        ++counts.full_checks;
        return 0;
    }

    // A key update acts on the first line in the block whose name matches.
    const long piece = target ? target_piece(before, *target, key.text) : -1;
    if (piece >= 0 && !before.pieces[static_cast<std::size_t>(piece)].line_end) {
        // The matched line is longer than a piece: the update takes out the
        // rest of that physical line too, so the later pieces, which the
        // readers took for lines of their own (keys, even headers), go, and
        // entry-by-entry comparison does not hold. The bytes do: everything
        // before the matched piece and after its physical line stays, and
        // in between is nothing (a deletion) or one new line (a set).
        ++counts.long_target;
        std::size_t start = before.pieces[static_cast<std::size_t>(piece)].offset, end = start;
        for (std::size_t i = static_cast<std::size_t>(piece); i < before.pieces.size(); ++i) {
            end = before.pieces[i].offset + before.pieces[i].length;
            if (before.pieces[i].line_end) break;
        }
        const std::size_t kept = input.file.size() - (end - start);
        check(after_bytes.size() >= kept && after_bytes.compare(0, start, input.file, 0, start) == 0 &&
                  after_bytes.compare(after_bytes.size() - (input.file.size() - end), std::string::npos, input.file,
                                      end, std::string::npos) == 0,
              "an update of a long line changed bytes outside that line");
        const std::string middle = after_bytes.substr(start, after_bytes.size() - kept);
        if (operation == Operation::delete_key)
            check(middle.empty(), "deleting a long line left some of it");
        else if (after_bytes != input.file)  // unless the stored value already was the one set
            check(middle.size() >= 3 && middle.size() <= MAX_LINE && middle.find('\n') == middle.size() - 1 &&
                      middle.compare(middle.size() - 2, 2, "\r\n") == 0,
                  "a long line was not replaced by one new line: " + show(middle));
        return 0;
    }

    if (operation == Operation::delete_key) {
        if (piece < 0) {
            check(after_bytes == input.file, "deleting a missing key changed the file");
            return 0;
        }
        check(after.headers == before.headers, "key deletion changed the headers");
        const Block *changed = find_same(after, *target);
        std::vector<std::string> keys = target->keys;
        for (auto it = keys.begin(); it != keys.end(); ++it)
            if (same_name(*it, key.text)) {
                keys.erase(it);
                break;
            }
        check(changed && changed->keys == keys, "key deletion took out other key lines");
        long occurrences = 0;
        for (const std::string &name : target->keys) occurrences += same_name(name, key.text);
        // A second line of the same key in the block is read once the first
        // is gone.
        if (occurrences == 1) check(read_value(section.get(), key.text, path) == MISSING, "a deleted key still reads");
        compare_blocks(before, values, after, path, target);
        for (std::size_t k = 0; k < target->keys.size(); ++k) {
            if (!first_in_block(*target, k) || same_name(target->keys[k], key.text)) continue;
            check(read_value(section_argument(*target), target->keys[k], path) ==
                      values[static_cast<std::size_t>(target - before.blocks.data())][k],
                  "key deletion changed " + show(target->keys[k]));
        }
        ++counts.full_checks;
        return 0;
    }

    // A set, of a name and value that read back.
    if (!target) {
        // A new section at the end.
        const std::string added = section.text;
        check(after.headers == expected_headers(before, -1, &added), "a new section disturbed the headers");
        compare_blocks(before, values, after, path, nullptr);
    } else {
        check(after.headers == before.headers, "setting a key changed the headers");
        compare_blocks(before, values, after, path, target);
        const Block *changed = find_same(after, *target);
        check(changed != nullptr, "the target section vanished");
        const std::size_t b = static_cast<std::size_t>(target - before.blocks.data());
        // The key list keeps its order: the target line is replaced where it
        // stood, or one line (a key, or a comment-looking one) is added.
        std::vector<std::string> expected = target->keys;
        bool replaced = false;
        for (std::size_t k = 0; k < expected.size() && piece >= 0; ++k)
            if (same_name(expected[k], key.text)) {
                replaced = true;
                check(changed->keys.size() == expected.size(), "replacing a key changed the key count");
                expected[k] = changed->keys[k];
                break;
            }
        if (!replaced && changed->keys.size() == expected.size() + 1) expected.push_back(changed->keys.back());
        check(changed->keys == expected, "setting a key disturbed the other key lines");
        for (std::size_t k = 0; k < target->keys.size(); ++k) {
            if (!first_in_block(*target, k) || same_name(target->keys[k], key.text)) continue;
            check(read_value(section_argument(*target), target->keys[k], path) == values[b][k],
                  "setting a key changed " + show(target->keys[k]));
        }
    }

    ++counts.read_backs;
    check(read_value(section.get(), key.text, path) == text, "a set value does not read back: " + show(text) +
                                                                 " read as " +
                                                                 show(read_value(section.get(), key.text, path)));
    ++counts.full_checks;
    return 0;
}
