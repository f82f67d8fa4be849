// The block reader under every lookup and rewrite: read_piece,
// read_bracket_piece, seek_source, take_block and held_bytes must yield
// exactly the pieces, offsets and line ends a reader taking one byte at a
// time would, wherever the pieces fall against the blocks, and rewrites of
// files many blocks long must keep every byte they do not change.
#include "brantcfg.h"
#include "lookup.h"
#include "source_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace brantcfg::detail;
using brantcfg_test::read_file;
using brantcfg_test::write_file;

// The block size of the sources these tests read through.
constexpr int BLOCK_SIZE = brantcfg_test::OpenedSource::BLOCK_SIZE;
constexpr char GUARD = '\x5a';
constexpr int GUARD_BYTES = 8;

// A small deterministic generator, so a failure repeats.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed) {}
    std::uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int below(int bound) { return static_cast<int>(next() % static_cast<std::uint32_t>(bound)); }

private:
    std::uint32_t state_;
};

// Text rich in what pieces are cut at: short and long lines (past 511 bytes
// and past a whole block), CR, LF, NUL, blanks and '[' at line starts.
std::string random_text(Random &random, std::size_t size) {
    static const char alphabet[] = {'a', 'b', '=', ';', '[', ']', ' ', '\t', '\r', '\n', '\0', '\x7f', '\xff'};
    std::string text;
    while (text.size() < size) {
        const int kind = random.below(10);
        int length = random.below(40);
        if (kind == 0) length = 400 + random.below(800);
        if (kind == 1 && random.below(8) == 0) length = BLOCK_SIZE + random.below(2000);
        if (random.below(4) == 0) text += std::string(static_cast<std::size_t>(random.below(3)), ' ');
        if (random.below(5) == 0) text += '[';
        for (int i = 0; i < length; ++i) text += alphabet[random.below(sizeof alphabet)];
        text += random.below(3) == 0 ? "\n" : "\r\n";
    }
    return text;
}

// The piece a reader taking one byte at a time yields at offset: bytes up
// to and including a '\n', at most size - 1 of them, or up to the end.
struct Piece {
    std::string bytes;
    bool at_line_end;
};

Piece expected_piece(const std::string &text, std::size_t offset, int size) {
    const std::size_t limit = static_cast<std::size_t>(size - 1);
    Piece piece{"", false};
    std::size_t at = offset;
    while (piece.bytes.size() < limit) {
        if (at >= text.size()) {
            piece.at_line_end = true;
            break;
        }
        piece.bytes += text[at++];
        if (piece.bytes.back() == '\n') {
            piece.at_line_end = true;
            break;
        }
    }
    return piece;
}

bool starts_with_bracket(const std::string &piece) {
    std::size_t at = 0;
    while (at < piece.size() && is_blank(piece[at])) ++at;
    return at < piece.size() && piece[at] == '[';
}

// A file holding text, open for reading, with a line_source over it;
// closed when it goes out of scope.
struct OpenedText : brantcfg_test::OpenedSource {
    OpenedText(const std::string &path, const std::string &text) : OpenedSource((write_file(path, text), path)) {}
};

using Reader = brantcfg_test::ScratchDir;

TEST_F(Reader, PiecesMatchByteAtATimeReadingAcrossBlocks) {
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        Random random(seed);
        const std::string text = random_text(random, 3 * BLOCK_SIZE + 5000);
        OpenedText opened(path("x.ini"), text);
        ASSERT_TRUE(opened.opened());
        line_source &source = opened.source;

        std::size_t offset = 0;
        char buffer[LINE_BUFFER_SIZE + GUARD_BYTES];
        for (int step = 0; step < 40000; ++step) {
            // Now and then jump back a little (as a rewrite does before it
            // writes its stretch) or anywhere.
            const int jump = random.below(50);
            if (jump == 0 && offset > 0) {
                offset -= static_cast<std::size_t>(random.below(static_cast<int>(offset < 1022 ? offset : 1022) + 1));
                ASSERT_TRUE(seek_source(source, static_cast<long>(offset)));
            } else if (jump == 1) {
                offset = static_cast<std::size_t>(random.below(static_cast<int>(text.size()) + 1));
                ASSERT_TRUE(seek_source(source, static_cast<long>(offset)));
            }
            const int size = random.below(4) == 0 ? 1 + random.below(LINE_BUFFER_SIZE) : LINE_BUFFER_SIZE;
            const Piece want = expected_piece(text, offset, size);
            std::memset(buffer, GUARD, sizeof buffer);
            const bool bracket = random.below(2) == 0;
            const int count = bracket ? read_bracket_piece(source, buffer, size) : read_piece(source, buffer, size);

            ASSERT_EQ(count, static_cast<int>(want.bytes.size())) << "seed " << seed << " offset " << offset;
            ASSERT_EQ(source.at_line_end(), want.at_line_end) << "seed " << seed << " offset " << offset;
            if (!bracket || starts_with_bracket(want.bytes)) {
                ASSERT_EQ(std::string(buffer, static_cast<std::size_t>(count)), want.bytes) << "offset " << offset;
                ASSERT_EQ(buffer[count], '\0');
            } else {
                // Passed over ("") or copied whole: either way it reads as
                // no header.
                ASSERT_TRUE(buffer[0] == '\0' || std::string(buffer, static_cast<std::size_t>(count)) == want.bytes)
                    << "offset " << offset;
            }
            for (int i = size; i < LINE_BUFFER_SIZE + GUARD_BYTES; ++i) ASSERT_EQ(buffer[i], GUARD) << i;
            offset += want.bytes.size();
            ASSERT_EQ(source.offset(), static_cast<long>(offset));
            if (count == 0 && size > 1) {
                ASSERT_EQ(offset, text.size());
                ASSERT_TRUE(seek_source(source, 0));
                offset = 0;
            }
        }
    }
}

TEST_F(Reader, PiecesCrossingTheFirstBlockEndMatch) {
    // A long line without '\n' starts k bytes before the first block ends;
    // the file ends inside it or after it.
    for (int k : {1, 2, 255, 509, 510, 511, 512, 513, 1000}) {
        for (bool ends_inside : {false, true}) {
            std::string text;
            while (text.size() + 40 < static_cast<std::size_t>(BLOCK_SIZE - k)) text += "key=value-of-some-length\r\n";
            text += std::string(static_cast<std::size_t>(BLOCK_SIZE - k) - text.size() - 1, 'f') + "\n";
            ASSERT_EQ(text.size(), static_cast<std::size_t>(BLOCK_SIZE - k));
            text += std::string(ends_inside ? static_cast<std::size_t>(k) + 10 : 1500, 'x');
            if (!ends_inside) text += "\r\n[tail]\n";
            for (int size : {LINE_BUFFER_SIZE, k + 1 < LINE_BUFFER_SIZE ? k + 1 : 3, 2}) {
                OpenedText opened(path("x.ini"), text);
                ASSERT_TRUE(opened.opened());
                line_source &source = opened.source;
                char buffer[LINE_BUFFER_SIZE];
                std::size_t offset = 0;
                for (;;) {
                    const Piece want = expected_piece(text, offset, size);
                    const int count = read_piece(source, buffer, size);
                    ASSERT_EQ(std::string(buffer, static_cast<std::size_t>(count)), want.bytes)
                        << "k " << k << " size " << size << " offset " << offset;
                    ASSERT_EQ(source.at_line_end(), want.at_line_end) << "k " << k << " offset " << offset;
                    if (count == 0) break;
                    offset += static_cast<std::size_t>(count);
                }
                EXPECT_EQ(offset, text.size());
            }
        }
    }
}

TEST_F(Reader, BracketPieceAlwaysDeliversLinesThatOpenWithABracket) {
    using namespace std::string_literals;
    const std::string text = "key=1\n \t[head]\n\0[not]\n\r\n[x\n"s;
    OpenedText opened(path("x.ini"), text);
    ASSERT_TRUE(opened.opened());
    line_source &source = opened.source;
    char buffer[LINE_BUFFER_SIZE];
    const std::vector<std::string> wanted = {"", " \t[head]\n", "", "", "[x\n"};
    const std::vector<int> counts = {6, 9, 7, 2, 3};
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const int count = read_bracket_piece(source, buffer, sizeof buffer);
        EXPECT_EQ(count, counts[i]) << i;
        std::size_t length = 0;
        if (!wanted[i].empty())
            EXPECT_STREQ(buffer, wanted[i].c_str()) << i;
        else
            EXPECT_EQ(header_name(skip_blanks(buffer), &length), nullptr) << i;
    }
    EXPECT_EQ(read_bracket_piece(source, buffer, sizeof buffer), 0);
}

TEST_F(Reader, SectionSearchFindsEveryHeaderAPieceByPieceWalkFinds) {
    for (std::uint32_t seed = 11; seed <= 14; ++seed) {
        Random random(seed);
        const std::string text = random_text(random, 3 * BLOCK_SIZE);
        OpenedText opened(path("x.ini"), text);
        ASSERT_TRUE(opened.opened());

        // The walk: every piece, each header's name and where it ends.
        std::vector<std::string> names;
        std::vector<long> ends;
        line_source &walk = opened.source;
        char line[LINE_BUFFER_SIZE];
        while (read_piece(walk, line, sizeof line) > 0) {
            std::size_t length = 0;
            if (const char *name = header_name(skip_blanks(line), &length)) {
                names.emplace_back(name, length);
                ends.push_back(walk.offset());
            }
        }
        ASSERT_GT(names.size(), 50u) << "seed " << seed;

        for (std::size_t index = 0; index <= names.size(); ++index) {
            brantcfg_test::OpenedSource again(path("x.ini"));
            line_source &source = again.source;
            char dest[LINE_BUFFER_SIZE] = "untouched";
            const bool found = seek_entry(source, section_at(static_cast<int>(index)), dest, sizeof dest, nullptr);
            if (index == names.size()) {
                EXPECT_FALSE(found);
                EXPECT_STREQ(dest, "untouched");
                break;
            }
            ASSERT_TRUE(found) << "seed " << seed << " index " << index;
            // The name as a string: up to a NUL it may hold.
            EXPECT_EQ(std::string(dest), std::string(names[index].c_str())) << "seed " << seed << " index " << index;
            ASSERT_EQ(source.offset(), ends[index]) << "seed " << seed << " index " << index;
        }
    }
}

TEST_F(Reader, HeldBytesAreTheFileBytesOrNothing) {
    Random random(7);
    const std::string text = random_text(random, 3 * BLOCK_SIZE);
    OpenedText opened(path("x.ini"), text);
    ASSERT_TRUE(opened.opened());
    line_source &source = opened.source;
    char buffer[LINE_BUFFER_SIZE];
    int found = 0;
    while (const int count = read_piece(source, buffer, sizeof buffer)) {
        // A line a patch replaces: up to LINE_BUFFER_SIZE - 1 bytes behind
        // the read position.
        static_cast<void>(count);
        const long back = source.offset() - 1 - random.below(LINE_BUFFER_SIZE - 1);
        const long from = back < 0 ? 0 : back;
        const int length = static_cast<int>(source.offset() - from);
        const char *held = held_bytes(source, from, length);
        ASSERT_NE(held, nullptr) << "offset " << source.offset();
        ASSERT_EQ(std::string(held, static_cast<std::size_t>(length)),
                  text.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(length)));
        ++found;
    }
    EXPECT_GT(found, 100);
    EXPECT_EQ(held_bytes(source, 0, 1), nullptr);                // long gone from the block
    EXPECT_EQ(held_bytes(source, source.offset(), 1), nullptr);  // past the end of the file
    EXPECT_NE(held_bytes(source, source.offset(), 0), nullptr);
}

// Rewrites of a file many blocks long: the expected file is the input with
// the one change made by hand.
class LargeRewrite : public brantcfg_test::ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        for (int s = 0; s < 800; ++s) {
            char header[32];
            std::snprintf(header, sizeof header, "[s%03d]\r\n", s);
            before_ += header;
            for (int k = 0; k < 20; ++k) {
                char line[64];
                std::snprintf(line, sizeof line, "k%02d=value-%03d-%02d\r\n", k, s, k);
                before_ += line;
            }
            if (s % 50 == 7) before_ += "; " + std::string(1500, 'c') + "\r\n";
            if (s % 90 == 3) before_ += std::string("nul\0byte=x\r\n", 12);
        }
        ASSERT_GT(before_.size(), static_cast<std::size_t>(8 * BLOCK_SIZE));
        write_file(path("big.ini"), before_);
    }
    std::string before_;
};

TEST_F(LargeRewrite, ChangedValueReplacesOnlyItsLine) {
    ASSERT_EQ(ini_puts("s400", "k10", "a-longer-value", path("big.ini").c_str()), 1);
    std::string expected = before_;
    const std::string old_line = "k10=value-400-10\r\n";
    const std::size_t at = expected.find(old_line);
    ASSERT_NE(at, std::string::npos);
    expected.replace(at, old_line.size(), "k10=a-longer-value\r\n");
    EXPECT_EQ(read_file(path("big.ini")), expected);
}

TEST_F(LargeRewrite, AddedKeyGoesBeforeTheNextSection) {
    ASSERT_EQ(ini_puts("s400", "added", "v", path("big.ini").c_str()), 1);
    std::string expected = before_;
    const std::size_t at = expected.find("[s401]");
    ASSERT_NE(at, std::string::npos);
    expected.insert(at, "added=v\r\n");
    EXPECT_EQ(read_file(path("big.ini")), expected);
}

TEST_F(LargeRewrite, DeletedSectionLeavesEverythingElse) {
    ASSERT_EQ(ini_puts("s057", nullptr, nullptr, path("big.ini").c_str()), 1);
    std::string expected = before_;
    const std::size_t from = expected.find("[s057]");
    const std::size_t to = expected.find("[s058]");
    ASSERT_NE(from, std::string::npos);
    expected.erase(from, to - from);
    EXPECT_EQ(read_file(path("big.ini")), expected);
}

// Before an appended section a line end is written unless the last stretch
// copied ends in CR LF and is more than that alone. Stretches stay below 512
// bytes, so 17 lines of 30 bytes fill one, and an empty line after a
// multiple of 17 such lines is copied alone.
TEST_F(LargeRewrite, AppendedSectionFollowsTheStretchesOfTheLinesBefore) {
    const std::string line = "key=" + std::string(24, 'v') + "\r\n";
    ASSERT_EQ(line.size(), 30u);
    for (int lines : {1, 16, 17, 18, 33, 34, 35, 17 * 40, 17 * 40 + 1, 17 * 1200, 17 * 1200 + 5}) {
        std::string text;
        for (int i = 0; i < lines; ++i) text += line;
        text += "\r\n";
        write_file(path("s.ini"), text);
        ASSERT_EQ(ini_puts("New", "K", "v", path("s.ini").c_str()), 1);
        const std::string gap = lines % 17 == 0 ? "\r\n" : "";
        EXPECT_EQ(read_file(path("s.ini")), text + gap + "[New]\r\nK=v\r\n") << lines << " lines";
    }
    // A long line is two pieces, 511 bytes and the rest, and the rest starts
    // a stretch: after a 721-byte line and 10 lines the stretch holds 210 +
    // 300 bytes, and the empty line no longer fits; after a 720-byte one it
    // does.
    for (int length : {720, 721}) {
        std::string text = std::string(static_cast<std::size_t>(length) - 2, 'c') + "\r\n";
        for (int i = 0; i < 10; ++i) text += line;
        text += "\r\n";
        write_file(path("s.ini"), text);
        ASSERT_EQ(ini_puts("New", "K", "v", path("s.ini").c_str()), 1);
        const std::string gap = length == 721 ? "\r\n" : "";
        EXPECT_EQ(read_file(path("s.ini")), text + gap + "[New]\r\nK=v\r\n") << length << "-byte line";
    }
}

TEST_F(LargeRewrite, LookupsAndBrowseSeeTheLastSection) {
    char value[32];
    EXPECT_EQ(ini_gets("s799", "k19", "", value, sizeof value, path("big.ini").c_str()), 12);
    EXPECT_STREQ(value, "value-799-19");
    EXPECT_EQ(ini_getsection(799, value, sizeof value, path("big.ini").c_str()), 4);
    EXPECT_STREQ(value, "s799");
    std::size_t pairs = 0;
    auto count = [](const char *, const char *, const char *, void *user) {
        ++*static_cast<std::size_t *>(user);
        return 1;
    };
    EXPECT_EQ(ini_browse(count, &pairs, path("big.ini").c_str()), 1);
    // The "nul" lines end at their NUL before any separator, and the long
    // comments' tails hold none.
    EXPECT_EQ(pairs, 800u * 20u);
}

}  // namespace
