// ini_puts seen from the file: every case writes an input file, makes one
// call and compares the whole resulting file, byte for byte, with the text
// expected after it.
#include "brantcfg.h"
#include "merge.h"
#include "support.h"

#include <cerrno>
#include <cstdio>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using brantcfg_test::list_dir;
using brantcfg_test::read_file;
using brantcfg_test::write_file;

// Windows editors begin a UTF-8 file with it; it is no part of the first
// line, and stays where it is.
const std::string MARK = "\xEF\xBB\xBF";

struct Case {
    const char *name;
    std::string input;
    const char *section;
    const char *key;
    const char *value;
    std::string expected;
};

// Identity and timestamps of a file: a rewrite puts a new file at the path,
// an in-place write keeps the file but moves its last-write time.
using brantcfg_test::age_file;
using brantcfg_test::FileStamp;
using brantcfg_test::stamp_of;

class Update : public brantcfg_test::ScratchDir {
protected:
    // Runs every case on a fresh x.ini and checks that no other file is left.
    void run(const std::vector<Case> &cases) {
        const std::string file = path("x.ini");
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            write_file(file, c.input);
            EXPECT_EQ(ini_puts(c.section, c.key, c.value, file.c_str()), 1);
            EXPECT_EQ(read_file(file), c.expected);
            EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
        }
    }
};

TEST_F(Update, ReplacesKeyLineWhereItStands) {
    const std::string first = "[First]\r\nString=noot # c\r\nVal=1\r\n[Second]\r\nVal = 2\r\nX=1\r\n";
    run({
        {"longer value", first, "First", "Val", "123",
         "[First]\r\nString=noot # c\r\nVal=123\r\n[Second]\r\nVal = 2\r\nX=1\r\n"},
        {"same value length, shorter line", first, "Second", "Val", "3",
         "[First]\r\nString=noot # c\r\nVal=1\r\n[Second]\r\nVal=3\r\nX=1\r\n"},
        {"names in another case", first, "second", "VAL", "3",
         "[First]\r\nString=noot # c\r\nVal=1\r\n[Second]\r\nVAL=3\r\nX=1\r\n"},
        {"value in another case", first, "First", "String", "NOOT",
         "[First]\r\nString=NOOT\r\nVal=1\r\n[Second]\r\nVal = 2\r\nX=1\r\n"},
        {"value needing quotes", first, "First", "String", "noot # trailing comment",
         "[First]\r\nString=\"noot # trailing comment\"\r\nVal=1\r\n[Second]\r\nVal = 2\r\nX=1\r\n"},
        {"colon separator", "[S]\r\nColon: colon value\r\nX=1\r\n", "S", "Colon", "new", "[S]\r\nColon=new\r\nX=1\r\n"},
        {"indented line", "[S]\r\n  Indented = x  \r\nX=1\r\n", "S", "Indented", "y", "[S]\r\nIndented=y\r\nX=1\r\n"},
        {"empty value", "[S]\r\nK=1\r\n", "S", "K", "", "[S]\r\nK=\r\n"},
        {"last line without terminator", "[S]\r\nK=v", "S", "K", "x", "[S]\r\nK=x\r\n"},
        {"line feed file", "[S]\nA=1\nK=1\n[T]\nB=2\n", "S", "K", "22", "[S]\nA=1\nK=22\r\n[T]\nB=2\n"},
        {"first of duplicate keys", "[S]\r\nK=1\r\nK=2\r\n[S]\r\nK=3\r\n", "S", "K", "99",
         "[S]\r\nK=99\r\nK=2\r\n[S]\r\nK=3\r\n"},
        {"nameless section", "Top=0\r\n[First]\r\nTop=5\r\n", nullptr, "Top", "22", "Top=22\r\n[First]\r\nTop=5\r\n"},
        {"nameless section, empty name", "Top=0\r\n[First]\r\nTop=5\r\n", "", "Top", "22",
         "Top=22\r\n[First]\r\nTop=5\r\n"},
        {"line feed file behind a byte-order mark", MARK + "[main]\nname=x\n[two]\nk=1\n", "main", "name", "yy",
         MARK + "[main]\nname=yy\r\n[two]\nk=1\n"},
        {"nameless key behind a byte-order mark", MARK + "Top=0\r\n[A]\r\n", nullptr, "Top", "22",
         MARK + "Top=22\r\n[A]\r\n"},
        {"byte-order mark in a later line is text", "[S]\r\n" + MARK + "K=1\r\n", "S", "K", "2",
         "[S]\r\n" + MARK + "K=1\r\nK=2\r\n"},
        // A lookup skips comment lines; the rewrite only compares names, and
        // a name that begins with ';' is one a caller can pass.
    });
}

TEST_F(Update, InsertsNewKeyAfterLastLineOfSection) {
    run({
        {"before next header", "[First]\r\nVal=1\r\n[Second]\r\nX=1\r\n", "First", "NewKey", "v",
         "[First]\r\nVal=1\r\nNewKey=v\r\n[Second]\r\nX=1\r\n"},
        {"after empty line and comment", "[S]\r\nK=1\r\n\r\n; c\r\n[T]\r\n", "S", "N", "v",
         "[S]\r\nK=1\r\n\r\n; c\r\nN=v\r\n[T]\r\n"},
        {"empty section between headers", "[Empty]\r\n[Third]\r\n", "Empty", "K", "v", "[Empty]\r\nK=v\r\n[Third]\r\n"},
        {"header is the last line", "[A]\r\nx=1\r\n[S]\r\n", "S", "K", "v", "[A]\r\nx=1\r\n[S]\r\n\r\nK=v\r\n"},
        {"section runs to the end", "[S]\r\nA=1\r\n", "S", "K", "v", "[S]\r\nA=1\r\nK=v\r\n"},
        {"section runs to an unterminated end", "[S]\r\nA=1", "S", "K", "v", "[S]\r\nA=1\r\nK=v\r\n"},
        {"section runs to a line feed end", "[S]\nA=1\n", "S", "K", "v", "[S]\nA=1\n\r\nK=v\r\n"},
        {"line feed file, before next header", "[S]\nA=1\n[T]\n", "S", "K", "v", "[S]\nA=1\nK=v\r\n[T]\n"},
        {"header in another case", "[first]\r\nA=1\r\n", "FIRST", "B", "2", "[first]\r\nA=1\r\nB=2\r\n"},
        {"only first block", "[S]\r\nA=1\r\n[T]\r\n[S]\r\nK=1\r\n", "S", "K", "22",
         "[S]\r\nA=1\r\nK=22\r\n[T]\r\n[S]\r\nK=1\r\n"},
        {"unclosed bracket ends the section", "[S]\r\n[x\r\nK=1\r\n", "S", "K", "2", "[S]\r\nK=2\r\n[x\r\nK=1\r\n"},
        {"prefix of key does not match", "[S]\r\nVal=1\r\n", "S", "Va", "2", "[S]\r\nVal=1\r\nVa=2\r\n"},
        {"comment line does not match", "[S]\r\n#comment=3\r\n", "S", "comment", "4",
         "[S]\r\n#comment=3\r\ncomment=4\r\n"},
        {"nameless, file starts with header", "[A]\r\nx=1\r\n", nullptr, "B", "2", "B=2\r\n[A]\r\nx=1\r\n"},
        {"nameless, after top keys", "; c\r\nTop=0\r\n[A]\r\n", "", "B", "2", "; c\r\nTop=0\r\nB=2\r\n[A]\r\n"},
        {"nameless, no header at all", "a=1\r\n", nullptr, "B", "2", "a=1\r\nB=2\r\n"},
        {"nameless, unterminated end", "a=1", nullptr, "B", "2", "a=1\r\nB=2\r\n"},
        {"nameless, line feed end", "a=1\n", nullptr, "B", "2", "a=1\n\r\nB=2\r\n"},
        {"nameless, empty file", "", nullptr, "B", "2", "\r\nB=2\r\n"},
        {"nameless, behind a byte-order mark", MARK + "[A]\r\n", nullptr, "B", "2", MARK + "B=2\r\n[A]\r\n"},
        {"nameless, only a byte-order mark", MARK, nullptr, "B", "2", MARK + "\r\nB=2\r\n"},
        {"first header behind a byte-order mark", MARK + "[S]\nA=1\n", "S", "K", "v", MARK + "[S]\nA=1\n\r\nK=v\r\n"},
    });
}

TEST_F(Update, AppendsMissingSectionAtEnd) {
    run({
        {"file ends in CR LF", "[S]\r\nA=1\r\n", "Added", "K", "v", "[S]\r\nA=1\r\n[Added]\r\nK=v\r\n"},
        {"file ends without terminator", "[S]\r\nA=1", "Added", "K", "v", "[S]\r\nA=1\r\n[Added]\r\nK=v\r\n"},
        {"file ends in a line feed", "[S]\nA=1\n", "Added", "K", "v", "[S]\nA=1\n\r\n[Added]\r\nK=v\r\n"},
        {"file ends in an empty line", "[S]\r\nA=1\r\n\r\n", "Added", "K", "v", "[S]\r\nA=1\r\n\r\n[Added]\r\nK=v\r\n"},
        {"file is one empty line", "\r\n", "Added", "K", "v", "\r\n\r\n[Added]\r\nK=v\r\n"},
        {"empty file", "", "S", "K", "v", "\r\n[S]\r\nK=v\r\n"},
        {"only a byte-order mark", MARK, "S", "K", "v", MARK + "\r\n[S]\r\nK=v\r\n"},
        {"byte-order mark and one empty line", MARK + "\r\n", "S", "K", "v", MARK + "\r\n\r\n[S]\r\nK=v\r\n"},
        {"two marks: the second is text", MARK + MARK + "[S]\r\nK=1\r\n", "S", "K", "2",
         MARK + MARK + "[S]\r\nK=1\r\n[S]\r\nK=2\r\n"},
        {"blanks inside brackets do not match", "[ S ]\r\nK=1\r\n", "S", "K", "2", "[ S ]\r\nK=1\r\n[S]\r\nK=2\r\n"},
        {"prefix of section does not match", "[First]\r\nK=1\r\n", "Fir", "K", "2",
         "[First]\r\nK=1\r\n[Fir]\r\nK=2\r\n"},
    });
}

TEST_F(Update, DeletesKeyLineOnly) {
    const std::string file = "[First]\r\nVal=1\r\n[Second]\r\nVal = 2\r\n#comment=3\r\n";
    run({
        {"key", file, "Second", "Val", nullptr, "[First]\r\nVal=1\r\n[Second]\r\n#comment=3\r\n"},
        {"comments and empty lines around stay", "[S]\r\n; a\r\n\r\nK=1\r\n\r\n; b\r\n", "S", "K", nullptr,
         "[S]\r\n; a\r\n\r\n\r\n; b\r\n"},
        {"first of duplicates", "[S]\r\nK=1\r\nK=2\r\n[S]\r\nK=3\r\n", "S", "K", nullptr,
         "[S]\r\nK=2\r\n[S]\r\nK=3\r\n"},
        {"line feed file", "[S]\nA=1\nK=1\nB=2\n", "S", "K", nullptr, "[S]\nA=1\nB=2\n"},
        {"unterminated last line", "[S]\r\nA=1\r\nK=1", "S", "K", nullptr, "[S]\r\nA=1\r\n"},
        {"nameless key", "Top=0\r\n[A]\r\nTop=1\r\n", "", "Top", nullptr, "[A]\r\nTop=1\r\n"},
        {"nameless key behind a byte-order mark", MARK + "Top=0\r\n[A]\r\n", "", "Top", nullptr, MARK + "[A]\r\n"},
        {"key of the first section behind a byte-order mark", MARK + "[A]\nk=1\nj=2\n", "A", "k", nullptr,
         MARK + "[A]\nj=2\n"},
        {"missing key", file, "First", "Nope", nullptr, file},
        {"key in missing section", file, "Third", "Val", nullptr, file},
    });
}

TEST_F(Update, DeletesSectionUpToNextBracketLine) {
    const std::string file = "; top\r\n[A]\r\na=1\r\n[B]\r\nb=1\r\n; c\r\n\r\n#comment=3\r\n[C]\r\nc=1\r\n";
    run({
        {"middle section", file, "B", nullptr, nullptr, "; top\r\n[A]\r\na=1\r\n[C]\r\nc=1\r\n"},
        {"value plays no part", file, "b", nullptr, "x", "; top\r\n[A]\r\na=1\r\n[C]\r\nc=1\r\n"},
        {"last section", file, "C", nullptr, nullptr, "; top\r\n[A]\r\na=1\r\n[B]\r\nb=1\r\n; c\r\n\r\n#comment=3\r\n"},
        {"missing section", file, "D", nullptr, nullptr, file},
        {"ends at unclosed bracket", "[A]\r\na=1\r\n[x\r\nb=2\r\n", "A", nullptr, nullptr, "[x\r\nb=2\r\n"},
        {"first of duplicate blocks", "[S]\r\nK=1\r\nK=2\r\n[S]\r\nK=3\r\n", "S", nullptr, nullptr, "[S]\r\nK=3\r\n"},
        {"line feed file", "[A]\na=1\n[B]\nb=1\n", "A", nullptr, nullptr, "[B]\nb=1\n"},
        {"nameless section", file, nullptr, nullptr, nullptr,
         "[A]\r\na=1\r\n[B]\r\nb=1\r\n; c\r\n\r\n#comment=3\r\n[C]\r\nc=1\r\n"},
        {"nameless section, empty name", "x=1\r\n\r\n[A]\r\n", "", nullptr, nullptr, "[A]\r\n"},
        {"nameless section, file starts with header", "[A]\r\na=1\r\n", nullptr, nullptr, nullptr, "[A]\r\na=1\r\n"},
        {"nameless section, no header at all", "a=1\r\n; c\r\nb=2", nullptr, nullptr, nullptr, ""},
        {"nameless section behind a byte-order mark", MARK + "a=1\r\n[A]\r\n", nullptr, nullptr, nullptr,
         MARK + "[A]\r\n"},
        {"first section behind a byte-order mark", MARK + "[A]\r\na=1\r\n[B]\r\n", "A", nullptr, nullptr,
         MARK + "[B]\r\n"},
        {"indented header ends the section", "[A]\r\na=1\r\n  [B]\r\nb=1\r\n", "A", nullptr, nullptr,
         "  [B]\r\nb=1\r\n"},
    });
}

TEST_F(Update, SameLengthLineIsPatchedInPlace) {
    const std::vector<Case> cases = {
        {"value", "[First]\r\nString=noot # c\r\nVal=1\r\n[Second]\r\nVal=1\r\n", "First", "Val", "2",
         "[First]\r\nString=noot # c\r\nVal=2\r\n[Second]\r\nVal=1\r\n"},
        {"line feed line takes CR LF", "[S]\nVal=12\nX=1\n", "S", "Val", "2", "[S]\nVal=2\r\nX=1\n"},
        {"at offset 0", "Top=0\r\n[First]\r\nTop=9\r\n", nullptr, "Top", "1", "Top=1\r\n[First]\r\nTop=9\r\n"},
        {"first of duplicates", "[S]\r\nK=1\r\nK=2\r\n[S]\r\nK=3\r\n", "S", "K", "9",
         "[S]\r\nK=9\r\nK=2\r\n[S]\r\nK=3\r\n"},
        {"blanks give way to value", "[S]\r\nKey = vv\r\n[T]\r\n", "S", "Key", "vvvv", "[S]\r\nKey=vvvv\r\n[T]\r\n"},
        {"key case as passed", "[S]\r\nkey=1\r\n", "S", "KEY", "2", "[S]\r\nKEY=2\r\n"},
        {"quoted value", "[S]\r\nK=\"ab\"\r\n", "S", "K", "a;", "[S]\r\nK=\"a;\"\r\n"},
        {"behind a byte-order mark", MARK + "[main]\r\nname=x\r\n[two]\r\nk=1\r\n", "main", "name", "y",
         MARK + "[main]\r\nname=y\r\n[two]\r\nk=1\r\n"},
        {"at offset 3, behind a byte-order mark", MARK + "Top=0\r\n", nullptr, "Top", "1", MARK + "Top=1\r\n"},
    };
    const std::string file = path("x.ini");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, c.input);
        const FileStamp before = stamp_of(file);
        EXPECT_EQ(ini_puts(c.section, c.key, c.value, file.c_str()), 1);
        EXPECT_EQ(read_file(file), c.expected);
        EXPECT_EQ(stamp_of(file).identity, before.identity);
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
    }
}

TEST_F(Update, UnchangedValueLeavesFileUntouched) {
    const std::string input =
        "Top = t ; c\r\n"
        "[First]\r\n"
        "String=noot # trailing comment\r\n"
        "Val=1\r\n"
        "[Second]\r\n"
        "Val = 2\r\n"
        "Colon: colon value\r\n"
        "  Indented = x  \r\n"
        "Quoted=\"a \\\"quoted\\\" word\"\r\n"
        "Semi = \"mies ; not a comment\" ; comment\r\n"
        "Last=end";
    const struct {
        const char *section, *key, *value;
    } rows[] = {
        {nullptr, "top", "t"},
        {"", "Top", "t"},
        {"First", "String", "noot"},
        {"FIRST", "string", "noot"},
        {"Second", "Val", "2"},
        {"second", "VAL", "2"},
        {"Second", "Colon", "colon value"},
        {"Second", "Indented", "x"},
        {"Second", "Quoted", "a \"quoted\" word"},
        {"Second", "Semi", "mies ; not a comment"},
        {"Second", "Last", "end"},
    };
    const std::string file = path("x.ini");
    write_file(file, input);
    age_file(file);
    const FileStamp before = stamp_of(file);
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.key) + "=" + row.value);
        EXPECT_EQ(ini_puts(row.section, row.key, row.value, file.c_str()), 1);
        EXPECT_EQ(read_file(file), input);
        EXPECT_EQ(stamp_of(file), before);
    }
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
}

TEST_F(Update, MissingFileIsCreatedWithHeaderAndKeyOnly) {
    const struct {
        const char *section, *key, *value;
        std::string expected;
    } rows[] = {
        {"S", "K", "v", "[S]\r\nK=v\r\n"},
        {nullptr, "K", "v", "K=v\r\n"},
        {"", "K", "v", "K=v\r\n"},
        {"S", "K", "a;b", "[S]\r\nK=\"a;b\"\r\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected);
        const std::string file = path("new.ini");
        EXPECT_EQ(ini_puts(row.section, row.key, row.value, file.c_str()), 1);
        EXPECT_EQ(read_file(file), row.expected);
        EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"new.ini"});
        ASSERT_EQ(unlink(file.c_str()), 0);
    }
}

TEST_F(Update, DeletionOnMissingFileCreatesNothing) {
    const std::string file = path("none.ini");
    EXPECT_EQ(ini_puts("S", "K", nullptr, file.c_str()), 1);
    EXPECT_EQ(ini_puts("S", nullptr, nullptr, file.c_str()), 1);
    EXPECT_EQ(ini_puts("S", nullptr, "v", file.c_str()), 1);
    EXPECT_EQ(ini_puts(nullptr, nullptr, nullptr, file.c_str()), 1);
    EXPECT_TRUE(list_dir(dir_).empty());
}

// 17 lines of 30 bytes fill a copied stretch to 510 bytes; the empty line
// after them cannot join it and is copied on its own, so an extra CR LF comes
// before the new key. One line fewer and the empty line joins the stretch.
TEST_F(Update, EmptyLineCopiedAloneGetsAnotherBeforeNewKey) {
    std::string body17, body16;
    for (int i = 0; i < 17; ++i) {
        const std::string line = "K" + std::to_string(10 + i) + "=" + std::string(24, 'x') + "\r\n";
        ASSERT_EQ(line.size(), 30u);
        body17 += line;
        if (i < 16) body16 += line;
    }
    const std::string head = "[A]\r\na=1\r\n[S]\r\n";
    run({
        {"17 lines", head + body17 + "\r\n", "S", "N", "v", head + body17 + "\r\n\r\nN=v\r\n"},
        {"16 lines", head + body16 + "\r\n", "S", "N", "v", head + body16 + "\r\nN=v\r\n"},
        {"17 lines, nameless", body17 + "\r\n", nullptr, "N", "v", body17 + "\r\n\r\nN=v\r\n"},
    });
}

TEST_F(Update, CopiesManyShortLinesExactly) {
    std::string body;
    for (int i = 0; i < 40; ++i) body += "K" + std::to_string(10 + i) + "=" + std::string(23, 'y') + "\r\n";
    run({
        {"40 lines of 29 bytes", "[S]\r\n" + body + "[T]\r\nk=1\r\n", "T", "k", "22",
         "[S]\r\n" + body + "[T]\r\nk=22\r\n"},
    });
}

// Files of several MiB are copied in stretches of 1 MiB: the cut may fall
// in the first stretch, on a stretch's edge or in the last, and the bytes
// before and after it must come out whole whichever it is.
TEST_F(Update, MultiMegabyteFilesAreCopiedWhole) {
    std::string filler;
    for (int i = 0; filler.size() < (3u << 20) + 12345; ++i)
        filler += "k" + std::to_string(i) + "=" + std::string(20 + i % 50, 'v') + "\r\n";
    const std::string edge = std::string((1u << 20) - 8, '#') + "\r\n[S]\r\n";  // [S] ends the first MiB
    run({
        {"cut near the start", "[S]\r\nK=1\r\n" + filler, "S", "K", "22", "[S]\r\nK=22\r\n" + filler},
        {"cut at the first MiB", edge + "K=1\r\n" + filler, "S", "K", "22", edge + "K=22\r\n" + filler},
        {"cut near the end", "[T]\r\n" + filler + "[S]\r\nK=1\r\n", "S", "K", "22",
         "[T]\r\n" + filler + "[S]\r\nK=22\r\n"},
        {"key added in the middle", "[T]\r\n" + filler + "[S]\r\nK=1\r\n[U]\r\n" + filler, "S", "N", "v",
         "[T]\r\n" + filler + "[S]\r\nK=1\r\nN=v\r\n[U]\r\n" + filler},
    });
}

TEST_F(Update, LongLinesAreCopiedWhole) {
    const std::string comment = "; " + std::string(596, 'c') + "\r\n";  // 600 bytes
    // 511 bytes of comment, then "Tail=1": the second piece reads as a key line.
    const std::string tail_key = "; " + std::string(509, 'c') + "Tail=1\r\n";
    run({
        {"600-byte comment", "[S]\r\n" + comment + "K=1\r\n", "S", "K", "22", "[S]\r\n" + comment + "K=22\r\n"},
        {"600-byte comment, new key", "[S]\r\n" + comment, "S", "K", "v", "[S]\r\n" + comment + "K=v\r\n"},
        {"600-byte comment in deleted section", "[S]\r\n" + comment + "K=1\r\n[T]\r\n", "S", nullptr, nullptr,
         "[T]\r\n"},
        {"tail of a long line read as a key line", "[S]\r\n" + tail_key, "S", "Tail", nullptr,
         "[S]\r\n" + tail_key.substr(0, 511)},
    });
}

// A key line longer than a 511-byte read is replaced or deleted as a whole
// physical line, never patched over its first piece.
TEST_F(Update, LongTargetLineIsTakenOutWhole) {
    const std::string x600 = std::string(600, 'x');
    const std::string long_line = "K=" + x600 + "\r\n";
    const std::string y507 = std::string(507, 'y');
    run({
        {"replace", "[S]\r\n" + long_line + "N=1\r\n", "S", "K", "v", "[S]\r\nK=v\r\nN=1\r\n"},
        {"delete", "[S]\r\n" + long_line + "N=1\r\n", "S", "K", nullptr, "[S]\r\nN=1\r\n"},
        {"new line as long as the first piece", "[S]\r\n" + long_line + "N=1\r\n", "S", "K", y507.c_str(),
         "[S]\r\nK=" + y507 + "\r\nN=1\r\n"},
        {"three pieces", "[S]\r\nK=" + std::string(1200, 'x') + "\r\n[T]\r\n", "S", "K", "v", "[S]\r\nK=v\r\n[T]\r\n"},
        {"line feed alone in the last piece", "[S]\r\nK=" + std::string(508, 'x') + "\r\nN=1\r\n", "S", "K", "v",
         "[S]\r\nK=v\r\nN=1\r\n"},
        {"runs to the end without terminator", "[S]\r\nK=" + x600, "S", "K", "v", "[S]\r\nK=v\r\n"},
        {"delete, runs to the end", "[S]\r\nA=1\r\nK=" + x600, "S", "K", nullptr, "[S]\r\nA=1\r\n"},
        {"nameless", long_line + "[A]\r\n", nullptr, "K", nullptr, "[A]\r\n"},
    });
}

TEST_F(Update, RewriteKeepsNulBytes) {
    run({
        {"comment and value with NUL", "[S]\r\n; a\0b\r\nK=1\r\n[T]\r\nx=\0\r\n"s, "S", "K", "22",
         "[S]\r\n; a\0b\r\nK=22\r\n[T]\r\nx=\0\r\n"s},
        {"delete after NUL line", "[S]\r\nA=\0\0\0\r\nK=1\r\nB=2\r\n"s, "S", "K", nullptr,
         "[S]\r\nA=\0\0\0\r\nB=2\r\n"s},
        {"new section after NUL", "a\0=1\r\n"s, "N", "K", "v", "a\0=1\r\n[N]\r\nK=v\r\n"s},
    });
}

// A rewrite puts a new file in the old one's place; it never rewrites the old
// file in place.
TEST_F(Update, RewriteReplacesFileByRename) {
    const std::string file = path("x.ini");
    write_file(file, "[S]\r\nK=1\r\n");
    const FileStamp before = stamp_of(file);
    ASSERT_EQ(ini_puts("S", "K", "22", file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[S]\r\nK=22\r\n");
    EXPECT_NE(stamp_of(file).identity, before.identity);
}

TEST_F(Update, StaleTemporaryFileIsReplaced) {
    const std::string file = path("x.ini");
    write_file(file, "[S]\r\nK=1\r\n");
    write_file(path("x.in~"), std::string(5000, 'z'));
    ASSERT_EQ(ini_puts("S", "K", "22", file.c_str()), 1);
    EXPECT_EQ(read_file(file), "[S]\r\nK=22\r\n");
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
}

}  // namespace

namespace {

using brantcfg::detail::change;
using brantcfg::detail::edit;
using brantcfg::detail::plan_result;

// A row of the planner's table: a file, one change, the edit the planner
// makes of it (the bytes [from, to) that give way; then whether a CR LF, the
// header and the key line go there), and the file that edit makes, which
// ini_puts writes and a merge of the same set gives as well.
struct PlanRow {
    const char *name;
    std::string input;
    change what;
    plan_result result;
    edit planned;
    std::string expected;  // the file after the change; the input unless an edit
    int error = 0;         // failed: errno
};

constexpr edit NONE{};
constexpr edit replace(long from, long to) { return {from, to, false, false, true}; }
constexpr edit erase(long from, long to) { return {from, to, false, false, false}; }
constexpr edit append(long at, bool line_break, bool header) { return {at, at, line_break, header, true}; }

TEST_F(Update, PlannedEditIsWhatIniPutsAndTheMergeWrite) {
    const std::string body17 = [] {
        std::string body;
        for (int i = 0; i < 17; ++i) body += "K" + std::to_string(10 + i) + "=" + std::string(24, 'x') + "\r\n";
        return body;
    }();
    const std::string body16 = body17.substr(30);
    // 513 bytes: a 511-byte piece, then a piece of CR LF alone.
    const std::string cut_line = "k=" + std::string(509, 'x') + "\r\n";
    const std::string long_line = "k=" + std::string(600, 'x') + "\r\n";
    const std::string tail_header = "k=" + std::string(509, 'x') + "[b]\r\n";
    const std::string utf16 = "\xFF\xFEk\0=\0001\0"s;
    const PlanRow rows[] = {
        {"equal value",
         "[a]\r\nk = \"v\" ; c\r\n",
         {"a", "k", "v"},
         plan_result::unchanged,
         NONE,
         "[a]\r\nk = \"v\" ; c\r\n"},
        {"key replaced, same length",
         "[a]\r\nk=1\r\nj=2\r\n",
         {"a", "K", "3"},
         plan_result::edit,
         replace(5, 10),
         "[a]\r\nK=3\r\nj=2\r\n"},
        {"key replaced, every piece of its line",
         "[a]\r\n" + long_line + "[b]\r\n",
         {"a", "k", "1"},
         plan_result::edit,
         replace(5, 5 + 604),
         "[a]\r\nk=1\r\n[b]\r\n"},
        {"key line from the tail of a long line",
         "[a]\r\n; " + std::string(509, 'c') + "k=1\r\n",
         {"a", "k", "2"},
         plan_result::edit,
         replace(5 + 511, 5 + 516),
         "[a]\r\n; " + std::string(509, 'c') + "k=2\r\n"},
        {"key deleted",
         "[a]\r\nk=1\r\nj=2\r\n",
         {"a", "k", nullptr},
         plan_result::edit,
         erase(5, 10),
         "[a]\r\nj=2\r\n"},
        {"absent key: nothing to delete",
         "[a]\r\nk=1\r\n",
         {"a", "x", nullptr},
         plan_result::unchanged,
         NONE,
         "[a]\r\nk=1\r\n"},
        {"first line deleted, the next begins with a mark",
         "k=1\r\n\xEF\xBB\xBFj=2\r\n",
         {"", "k", nullptr},
         plan_result::failed,
         NONE,
         "k=1\r\n\xEF\xBB\xBFj=2\r\n",
         EILSEQ},
        {"before the line that ends the section",
         "[a]\r\nk=1\r\n\r\n[x\r\n",
         {"a", "j", "2"},
         plan_result::edit,
         append(12, false, false),
         "[a]\r\nk=1\r\n\r\nj=2\r\n[x\r\n"},
        {"nameless, before the first header",
         "\xEF\xBB\xBF[a]\r\n",
         {"", "k", "1"},
         plan_result::edit,
         append(3, false, false),
         "\xEF\xBB\xBFk=1\r\n[a]\r\n"},
        {"at the end, after a line end",
         "[a]\r\nk=1\r\n",
         {"a", "j", "2"},
         plan_result::edit,
         append(10, false, false),
         "[a]\r\nk=1\r\nj=2\r\n"},
        {"at the end, after a line feed",
         "[a]\nk=1\n",
         {"a", "j", "2"},
         plan_result::edit,
         append(8, true, false),
         "[a]\nk=1\n\r\nj=2\r\n"},
        {"at the end, no line end",
         "[a]\r\nk=1",
         {"a", "j", "2"},
         plan_result::edit,
         append(8, true, false),
         "[a]\r\nk=1\r\nj=2\r\n"},
        {"header is the last line",
         "[a]\r\n",
         {"a", "j", "2"},
         plan_result::edit,
         append(5, true, false),
         "[a]\r\n\r\nj=2\r\n"},
        {"empty line copied alone",
         "[s]\r\n" + body17 + "\r\n",
         {"s", "n", "v"},
         plan_result::edit,
         append(5 + 512, true, false),
         "[s]\r\n" + body17 + "\r\n\r\nn=v\r\n"},
        {"empty line joining the stretch",
         "[s]\r\n" + body16 + "\r\n",
         {"s", "n", "v"},
         plan_result::edit,
         append(5 + 482, false, false),
         "[s]\r\n" + body16 + "\r\nn=v\r\n"},
        {"line cut to CR LF alone",
         "[a]\r\n" + cut_line,
         {"a", "n", "v"},
         plan_result::edit,
         append(5 + 513, true, false),
         "[a]\r\n" + cut_line + "\r\nn=v\r\n"},
        {"long last line",
         "[a]\r\n" + long_line,
         {"a", "n", "v"},
         plan_result::edit,
         append(5 + 604, false, false),
         "[a]\r\n" + long_line + "n=v\r\n"},
        {"a new section",
         "[a]\r\nk=1\r\n",
         {"b", "k", "1"},
         plan_result::edit,
         append(10, false, true),
         "[a]\r\nk=1\r\n[b]\r\nk=1\r\n"},
        {"a new section after an empty line copied alone",
         body17 + "\r\n",
         {"t", "n", "v"},
         plan_result::edit,
         append(512, true, true),
         body17 + "\r\n\r\n[t]\r\nn=v\r\n"},
        {"a new section in an empty file",
         "",
         {"t", "n", "v"},
         plan_result::edit,
         append(0, true, true),
         "\r\n[t]\r\nn=v\r\n"},
        {"the tail of a long line reads as a header, with an empty body",
         "[a]\r\n" + tail_header,
         {"b", "y", "1"},
         plan_result::edit,
         append(5 + 516, true, false),
         "[a]\r\n" + tail_header + "\r\ny=1\r\n"},
        {"section deleted up to the next bracket line",
         "x=0\r\n[a]\r\nk=1\r\n; c\r\n[x\r\n[b]\r\n",
         {"A", nullptr, nullptr},
         plan_result::edit,
         erase(5, 20),
         "x=0\r\n[x\r\n[b]\r\n"},
        {"last section deleted",
         "[b]\r\n[a]\r\nk=1",
         {"a", nullptr, nullptr},
         plan_result::edit,
         erase(5, 13),
         "[b]\r\n"},
        {"absent section: nothing to delete",
         "[a]\r\n",
         {"b", nullptr, nullptr},
         plan_result::unchanged,
         NONE,
         "[a]\r\n"},
        {"nameless section deleted",
         "\xEF\xBB\xBF; c\r\nk=1\r\n[a]\r\n",
         {nullptr, nullptr, nullptr},
         plan_result::edit,
         erase(3, 13),
         "\xEF\xBB\xBF[a]\r\n"},
        {"empty nameless section: nothing to delete",
         "[a]\r\nk=1\r\n",
         {"", nullptr, nullptr},
         plan_result::unchanged,
         NONE,
         "[a]\r\nk=1\r\n"},
        {"a UTF-16 file is never written", utf16, {"a", "k", "1"}, plan_result::failed, NONE, utf16, EILSEQ},
    };
    const std::string file = path("x.ini");
    const std::string merged = path("merged.ini");
    for (const PlanRow &row : rows) {
        SCOPED_TRACE(row.name);
        std::string bytes = row.input;
        brantcfg::detail::memory_source source(bytes.data(), static_cast<int>(bytes.size()));
        char line[brantcfg::detail::LINE_BUFFER_SIZE];
        edit planned;
        errno = 0;
        const plan_result result = plan_change(source, row.what, line, &planned);
        ASSERT_EQ(result, row.result);
        if (result == plan_result::failed) {
            EXPECT_EQ(errno, row.error);
        }
        if (result == plan_result::edit) {
            EXPECT_EQ(planned.from, row.planned.from);
            EXPECT_EQ(planned.to, row.planned.to);
            EXPECT_EQ(planned.line_break, row.planned.line_break);
            EXPECT_EQ(planned.header, row.planned.header);
            EXPECT_EQ(planned.key_line, row.planned.key_line);
        }

        write_file(file, row.input);
        EXPECT_EQ(ini_puts(row.what.section, row.what.key, row.what.value, file.c_str()),
                  result == plan_result::failed ? 0 : 1);
        EXPECT_EQ(read_file(file), row.expected);
        if (row.what.key && row.what.value) {
            write_file(merged, row.input);
            std::size_t refused = 0;
            EXPECT_EQ(brantcfg::detail::merge_entries(&row.what, 1, merged.c_str(), &refused),
                      result == plan_result::failed ? 0 : 1);
            EXPECT_EQ(read_file(merged), row.expected);
            std::remove(merged.c_str());
        }
    }
}

}  // namespace
