// Lookups: ini_gets and the sequential search under it, seek_entry, with the
// piece reader it reads lines through.
#include "brantcfg.h"
#include "lookup.h"
#include "source_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace brantcfg::detail;
using brantcfg_test::Answer;
using brantcfg_test::crlf;
using brantcfg_test::list_dir;
using brantcfg_test::write_file;

constexpr char GUARD = '\x5a';
constexpr int GUARD_BYTES = 8;
const char *const DEFAULT = "(default)";

class Lookup : public brantcfg_test::ScratchDir {
protected:
    // ini_gets into a buffer of exactly `size` bytes followed by guard bytes;
    // fails the test on an overrun, a missing NUL or a result that is not the
    // length of what the buffer holds.
    Answer gets(const char *section, const char *key, const char *default_value = DEFAULT, int size = 1024,
                const std::string &name = "x.ini") {
        const std::string file = path(name);
        return brantcfg_test::call_guarded(size, [&](char *buffer, int buffer_size) {
            return ini_gets(section, key, default_value, buffer, buffer_size, file.c_str());
        });
    }

    // seek_entry for a key by name over the whole file; dest keeps what it
    // held unless the search fills it.
    bool seek(const char *section, const char *key, std::string *dest, file_offset *mark) {
        brantcfg_test::OpenedSource opened(path("x.ini"));
        EXPECT_TRUE(opened.opened());
        if (!opened.opened()) return false;
        char buffer[LINE_BUFFER_SIZE];
        std::snprintf(buffer, sizeof buffer, "%s", dest->c_str());
        entry_marks marks;
        const bool found = seek_entry(opened.source, key_named(section, key), buffer, sizeof buffer, &marks);
        *mark = marks.line;
        *dest = buffer;
        return found;
    }
};

const std::string SAMPLE =
    "; top comment\n"
    "top=above\n"
    "[First]\n"
    "String=noot # trailing comment\n"
    "  Indented = x  \n"
    "Quoted=\"a \\\"quoted\\\" word\"\n"
    "Mies = \"mies ; not a comment\" ; comment\n"
    "Colon: colon value\n"
    "a:b=c\n"
    "Empty=\n"
    "Val=1\n"
    "\t[Second] ; note\n"
    "Val = 2\n"
    "#comment=3\n"
    ";x=1\n"
    "just text\n"
    "String = mies";

TEST_F(Lookup, LfAndCrLfFilesReadTheSame) {
    struct Case {
        const char *section;
        const char *key;
        const char *expected;
    };
    const Case cases[] = {
        {"First", "String", "noot"},
        {"first", "STRING", "noot"},
        {"First", "Indented", "x"},
        {"First", "Quoted", "a \"quoted\" word"},
        {"First", "Mies", "mies ; not a comment"},
        {"First", "Colon", "colon value"},
        {"First", "a:b", "c"},
        {"First", "a", DEFAULT},
        {"First", "Empty", ""},
        {"First", "Val", "1"},
        {"First", "", DEFAULT},
        // Lines that begin with the key, or with what the key begins with,
        // are not the key's line.
        {"First", "Va", DEFAULT},
        {"First", "Strin", DEFAULT},
        {"First", "StringX", DEFAULT},
        {"First", " String", DEFAULT},
        {"First", "INDENTED", "x"},
        {"Second", "Val", "2"},
        {"Second", "String", "mies"},
        {"Second", "#comment", DEFAULT},
        {"Second", ";x", DEFAULT},
        {"Second", "just text", DEFAULT},
        {"Second", "Colon", DEFAULT},
        {nullptr, "top", "above"},
        {"", "TOP", "above"},
        {nullptr, "String", DEFAULT},
        {"First", "top", DEFAULT},
        {"Third", "Val", DEFAULT},
    };
    write_file(path("lf.ini"), SAMPLE);
    write_file(path("crlf.ini"), crlf(SAMPLE));
    for (const char *name : {"lf.ini", "crlf.ini"}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(name) + ": [" + (c.section ? c.section : "(null)") + "] " + c.key);
            EXPECT_EQ(gets(c.section, c.key, DEFAULT, 1024, name).text, c.expected);
        }
    }
}

TEST_F(Lookup, FirstSectionAndFirstKeyWin) {
    write_file(path("x.ini"), "[A]\nk=first\nK=second\n[B]\nk=b\n[a]\nk=third\nonly=later\n");
    EXPECT_EQ(gets("A", "k").text, "first");
    EXPECT_EQ(gets("B", "K").text, "b");
    EXPECT_EQ(gets("A", "only").text, DEFAULT);
}

TEST_F(Lookup, SectionNamesAreComparedWhole) {
    write_file(path("x.ini"),
               "[Firs]\nk=firs\n[Firsts]\nk=firsts\n[ First ]\nk=spaced\n"
               "   [FIRST] ; note\nk=first\n");
    EXPECT_EQ(gets("First", "k").text, "first");
    EXPECT_EQ(gets("firs", "k").text, "firs");
    EXPECT_EQ(gets("FIRSTS", "k").text, "firsts");
    EXPECT_EQ(gets(" First ", "k").text, "spaced");
    EXPECT_EQ(gets("Fir", "k").text, DEFAULT);
    // The name ends at the first ']', and numbered names differ at their end.
    write_file(path("x.ini"), "[A]]\nk=a\n[s10]\nk=10\n[s11]\nk=11\n[S1]\nk=1\n");
    EXPECT_EQ(gets("A]", "k").text, DEFAULT);
    EXPECT_EQ(gets("a", "k").text, "a");
    EXPECT_EQ(gets("S11", "k").text, "11");
    EXPECT_EQ(gets("s1", "k").text, "1");
}

TEST_F(Lookup, AnyLineStartingWithBracketEndsASection) {
    write_file(path("x.ini"),
               "top=1\n[x\nafter=2\n[A]\nk1=1\n  [broken\nk2=2\n[B]\nk3=3\n[x=4\nk4=5\n"
               "[]\nunder=6\n");
    EXPECT_EQ(gets(nullptr, "top").text, "1");
    EXPECT_EQ(gets(nullptr, "after").text, DEFAULT);
    EXPECT_EQ(gets("A", "k1").text, "1");
    EXPECT_EQ(gets("A", "k2").text, DEFAULT);
    EXPECT_EQ(gets("broken", "k2").text, DEFAULT);
    EXPECT_EQ(gets("B", "k3").text, "3");
    EXPECT_EQ(gets("B", "[x").text, DEFAULT);
    EXPECT_EQ(gets("B", "k4").text, DEFAULT);
    // An empty section name reaches only the keys above the first header.
    EXPECT_EQ(gets("", "under").text, DEFAULT);
    EXPECT_EQ(gets(nullptr, "under").text, DEFAULT);
}

TEST_F(Lookup, LongLinesAreReadInPiecesOf511Bytes) {
    const std::string tail = "tailkey=" + std::string(81, 'v');
    ASSERT_EQ(tail.size(), 89u);
    write_file(path("x.ini"),
               "[S]\n"
               // a 600-byte comment line: its last 89 bytes arrive as a line of their own
               ";" +
                   std::string(510, 'c') + tail + "\n" +
                   // a key line whose first piece is exactly 511 bytes
                   "long=" + std::string(506, 'a') + "b=tailv\n" +
                   // a key line whose second piece is a header
                   "k=" + std::string(509, 'x') + "[tail]\n" + "z=1\n");
    EXPECT_EQ(gets("S", "tailkey").text, std::string(81, 'v'));
    EXPECT_EQ(gets("S", "long").text, std::string(506, 'a'));
    EXPECT_EQ(gets("S", "b").text, "tailv");
    EXPECT_EQ(gets("S", "k").text, std::string(509, 'x'));
    EXPECT_EQ(gets("S", "z").text, DEFAULT);
    EXPECT_EQ(gets("tail", "z").text, "1");
}

TEST_F(Lookup, SmallBuffersAreCutWithoutOverrun) {
    write_file(path("x.ini"), "[S]\nk=noot\nq=\"a\\\"b\"\n");
    struct Case {
        const char *key;
        int size;
        const char *expected;
    };
    const Case cases[] = {
        {"k", 1, ""},    {"k", 2, "n"},    {"k", 3, "no"}, {"k", 5, "noot"}, {"q", 1, ""},   {"q", 2, "a"},
        {"q", 3, "a\""}, {"q", 4, "a\"b"}, {"m", 1, ""},   {"m", 2, "("},    {"m", 3, "(d"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.key) + " in " + std::to_string(c.size) + " bytes");
        const Answer answer = gets("S", c.key, DEFAULT, c.size);
        EXPECT_EQ(answer.text, c.expected);
        EXPECT_EQ(answer.result, static_cast<int>(std::strlen(c.expected)));
    }
}

TEST_F(Lookup, MissingFileGivesTheDefaultAndIsNotCreated) {
    EXPECT_EQ(gets("S", "k", "fallback", 64, "missing.ini").text, "fallback");
    EXPECT_EQ(gets(nullptr, "k", nullptr, 64, "missing.ini").text, "");
    EXPECT_TRUE(list_dir(dir_).empty());

    // A directory opens but yields no lines.
    std::vector<char> buffer(64, 'Q');
    EXPECT_EQ(ini_gets("S", "k", "d", buffer.data(), 64, dir_.c_str()), 1);
    EXPECT_STREQ(buffer.data(), "d");
}

TEST_F(Lookup, ArgumentErrorsReturnZeroAndLeaveTheBuffer) {
    write_file(path("x.ini"), "[S]\nk=v\n");
    const std::string file = path("x.ini");
    struct Case {
        const char *key;
        int size;
        const char *path;
    };
    const Case cases[] = {
        {nullptr, 16, file.c_str()}, {"k", 16, nullptr}, {"k", 0, file.c_str()}, {"k", -1, file.c_str()}};
    for (const auto &c : cases) {
        char buffer[16] = "untouched";
        EXPECT_EQ(ini_gets("S", c.key, "d", buffer, c.size, c.path), 0);
        EXPECT_STREQ(buffer, "untouched");
    }
    EXPECT_EQ(ini_gets("S", "k", "d", nullptr, 16, file.c_str()), 0);
}

TEST_F(Lookup, DefaultIsCopiedUnchanged) {
    write_file(path("x.ini"), "[S]\nk=v\n");
    const char *raw = "  \"quoted\" ; not a comment \t";
    EXPECT_EQ(gets("S", "missing", raw).text, raw);
    EXPECT_EQ(gets("S", "", raw).text, raw);
    EXPECT_EQ(gets("S", "missing", nullptr).text, "");
    // A present but empty value does not fall back to the default.
    write_file(path("x.ini"), "[S]\nk=\nq=\"\"\n");
    EXPECT_EQ(gets("S", "k", "d").text, "");
    EXPECT_EQ(gets("S", "q", "d").text, "");
}

// A UTF-8 byte-order mark at the very start is no part of the first line;
// anywhere else its bytes are text. A file that begins with a UTF-16 mark
// holds no 8-bit text: it reads as a file without entries.
TEST_F(Lookup, ByteOrderMarksAtTheStart) {
    const std::string mark = "\xEF\xBB\xBF";
    struct Case {
        std::string bytes;
        const char *section;
        std::string key;
        const char *expected;
    };
    const Case cases[] = {
        {mark + "[First]\r\nk=v\r\n", "First", "k", "v"},
        {mark + "[First]\nk=v\n", "first", "K", "v"},
        {mark + "[First]\nk=v\n", nullptr, "k", DEFAULT},
        {mark + "key=v\n[First]\n", nullptr, "key", "v"},
        {mark + "key=v\n", "", "key", "v"},
        {mark + "key=v\n", nullptr, mark + "key", DEFAULT},
        {mark + "  [First]\nk=v\n", "First", "k", "v"},
        // Only the first three bytes of the file are the mark.
        {mark + mark + "[First]\nk=v\n", "First", "k", DEFAULT},
        {mark + mark + "key=v\n", nullptr, mark + "key", "v"},
        {"[S]\n" + mark + "k=v\n", "S", "k", DEFAULT},
        {"[S]\n" + mark + "k=v\n", "S", mark + "k", "v"},
        {"\xEF\xBB[First]\nk=v\n", "First", "k", DEFAULT},
        {mark, nullptr, "k", DEFAULT},
        {"\xFF\xFEk=v\n[S]\nk=v\n", nullptr, "\xFF\xFEk", DEFAULT},
        {"\xFF\xFEk=v\n[S]\nk=v\n", "S", "k", DEFAULT},
        {"\xFE\xFF\n[S]\nk=v\n", "S", "k", DEFAULT},
        {std::string("\xFF\xFE[\0S\0]\0\n\0k\0=\0v\0\n\0", 18), "S", "k", DEFAULT},
        // Not a UTF-16 mark: FF or FE alone, or the two the other way round.
        {"\xFFk=v\n", nullptr, "\xFFk", "v"},
        {"\xFE\xFEk=v\n", nullptr, "\xFE\xFEk", "v"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes) + ": [" + (c.section ? c.section : "(null)") + "] " + c.key);
        write_file(path("x.ini"), c.bytes);
        EXPECT_EQ(gets(c.section, c.key.c_str()).text, c.expected);
    }
}

TEST_F(Lookup, NulByteEndsTheTextOfItsLine) {
    using namespace std::string_literals;
    write_file(path("x.ini"), "[A]\nk=ab\0c=d\nx\0=1\nz\0"s + std::string(509, 'y') + "w=2\n[B\0]\nafter=3\n"s);
    EXPECT_EQ(gets("A", "k").text, "ab");
    EXPECT_EQ(gets("A", "c").text, DEFAULT);
    EXPECT_EQ(gets("A", "x").text, DEFAULT);
    EXPECT_EQ(gets("A", "w").text, "2");
    // "[B" has no "]": it is no header, but it ends section A.
    EXPECT_EQ(gets("A", "after").text, DEFAULT);
    EXPECT_EQ(gets("B", "after").text, DEFAULT);
}

TEST_F(Lookup, SeekMarksTheStartOfEachKeyPhaseLine) {
    write_file(path("x.ini"), "[A]\r\nk=1\r\nkey=v\r\n[B]\r\n");
    std::string dest;
    file_offset mark = -1;
    EXPECT_TRUE(seek("A", "key", &dest, &mark));
    EXPECT_EQ(dest, "v");
    EXPECT_EQ(mark, 10);
    // A miss leaves dest as it was and the mark on the line that ended the
    // section ...
    EXPECT_FALSE(seek("A", "zz", &dest, &mark));
    EXPECT_EQ(dest, "v");
    EXPECT_EQ(mark, 17);
    // ... or at the end of the file.
    EXPECT_FALSE(seek("B", "zz", &dest, &mark));
    EXPECT_EQ(mark, 22);

    // The first line of a file begins after a UTF-8 byte-order mark.
    write_file(path("x.ini"), "\xEF\xBB\xBFk=1\r\n[A]\r\n");
    EXPECT_TRUE(seek(nullptr, "k", &dest, &mark));
    EXPECT_EQ(mark, 3);
    EXPECT_FALSE(seek(nullptr, "j", &dest, &mark));
    EXPECT_EQ(mark, 8);
    write_file(path("x.ini"), "\xEF\xBB\xBF");
    EXPECT_FALSE(seek(nullptr, "j", &dest, &mark));
    EXPECT_EQ(mark, 3);

    using namespace std::string_literals;
    write_file(path("x.ini"), "[A]\nx\0yz\nc="s + std::string(600, 'x') + "\nk=v\n");
    EXPECT_TRUE(seek("A", "k", &dest, &mark));
    EXPECT_EQ(mark, 9 + 603);

    // Without a section the search starts where the stream stands.
    brantcfg_test::OpenedSource opened(path("x.ini"));
    ASSERT_TRUE(opened.opened());
    char value[8] = "";
    EXPECT_TRUE(seek_source(opened.source, 4));
    entry_marks marks;
    EXPECT_TRUE(seek_entry(opened.source, key_named(nullptr, "k"), value, sizeof value, &marks));
    EXPECT_STREQ(value, "v");
    EXPECT_EQ(marks.line, 9 + 603);
}

TEST_F(Lookup, ReadPieceTakesAtMostSizeMinusOneBytes) {
    using namespace std::string_literals;
    write_file(path("x.ini"), std::string(600, 'c') + "\na\0b\nend"s);
    brantcfg_test::OpenedSource opened(path("x.ini"));
    ASSERT_TRUE(opened.opened());
    line_source &source = opened.source;
    char buffer[LINE_BUFFER_SIZE + GUARD_BYTES];
    std::memset(buffer, GUARD, sizeof buffer);

    EXPECT_EQ(read_piece(source, buffer, LINE_BUFFER_SIZE), 511);
    EXPECT_EQ(std::string(buffer), std::string(511, 'c'));
    EXPECT_EQ(source.offset(), 511);
    EXPECT_FALSE(source.at_line_end());

    EXPECT_EQ(read_piece(source, buffer, LINE_BUFFER_SIZE), 90);
    EXPECT_EQ(std::string(buffer), std::string(89, 'c') + "\n");
    EXPECT_EQ(source.offset(), 601);
    EXPECT_TRUE(source.at_line_end());

    EXPECT_EQ(read_piece(source, buffer, LINE_BUFFER_SIZE), 4);
    EXPECT_EQ(std::string(buffer, 4), "a\0b\n"s);
    EXPECT_EQ(source.offset(), 605);

    EXPECT_EQ(read_piece(source, buffer, 3), 2);
    EXPECT_STREQ(buffer, "en");
    EXPECT_EQ(read_piece(source, buffer, LINE_BUFFER_SIZE), 1);
    EXPECT_STREQ(buffer, "d");
    EXPECT_EQ(source.offset(), 608);
    EXPECT_TRUE(source.at_line_end());
    EXPECT_EQ(read_piece(source, buffer, LINE_BUFFER_SIZE), 0);
    for (int i = LINE_BUFFER_SIZE; i < LINE_BUFFER_SIZE + GUARD_BYTES; ++i) EXPECT_EQ(buffer[i], GUARD);
}

}  // namespace
