// Enumeration by position: ini_getsection and ini_getkey.
#include "brantcfg.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using brantcfg_test::Answer;
using brantcfg_test::write_file;

const std::string SAMPLE =
    "; top comment\n"
    "[First]\n"
    "String=noot\n"
    "Val=1\n"
    "[Second]\n"
    "Val = 2\n"
    "#comment=3\n"
    "String = mies\n";

class Enumeration : public brantcfg_test::ScratchDir {
protected:
    Answer section(int index, int size = 600, const std::string &name = "x.ini") {
        const std::string file = path(name);
        return brantcfg_test::call_guarded(size, [&](char *buffer, int buffer_size) {
            return ini_getsection(index, buffer, buffer_size, file.c_str());
        });
    }

    Answer key(const char *in_section, int index, int size = 600, const std::string &name = "x.ini") {
        const std::string file = path(name);
        return brantcfg_test::call_guarded(size, [&](char *buffer, int buffer_size) {
            return ini_getkey(in_section, index, buffer, buffer_size, file.c_str());
        });
    }
};

TEST_F(Enumeration, SectionsAreListedInFileOrder) {
    write_file(path("x.ini"), SAMPLE);
    EXPECT_EQ(section(0).text, "First");
    EXPECT_EQ(section(1).text, "Second");
    const Answer past = section(2);
    EXPECT_EQ(past.text, "");
    EXPECT_EQ(past.result, 0);
}

TEST_F(Enumeration, EveryWellFormedHeaderCounts) {
    write_file(path("x.ini"),
               "\xef\xbb\xbf[Behind a mark]\n[A]\r\n[]\n[x\n  [ B ] ; note\n[a]\n"
               "k=" +
                   std::string(509, 'x') + "[tail]\n\xef\xbb\xbf[Not at the start]\n");
    const char *expected[] = {"Behind a mark", "A", "", " B ", "a", "tail", ""};
    for (int index = 0; index < 7; ++index) EXPECT_EQ(section(index).text, expected[index]) << index;
}

TEST_F(Enumeration, NamesAreCutToTheBuffer) {
    write_file(path("x.ini"), SAMPLE);
    const char *sections[] = {"", "S", "Se", "Sec"};
    const char *keys[] = {"", "S", "St", "Str"};
    for (int size = 1; size <= 4; ++size) {
        EXPECT_EQ(section(1, size).text, sections[size - 1]) << size;
        EXPECT_EQ(key("Second", 1, size).text, keys[size - 1]) << size;
    }
}

TEST_F(Enumeration, KeysAreListedWithoutCommentsOrBlanks) {
    write_file(path("x.ini"), SAMPLE);
    EXPECT_EQ(key("Second", 0).text, "Val");
    EXPECT_EQ(key("second", 1).text, "String");
    EXPECT_EQ(key("Second", 2).text, "");
    EXPECT_EQ(key("First", 0).text, "String");
    EXPECT_EQ(key("First", 1).text, "Val");
    EXPECT_EQ(key("First", 2).text, "");
    EXPECT_EQ(key("Third", 0).text, "");
}

TEST_F(Enumeration, KeyLinesOfEveryShapeCount) {
    write_file(path("x.ini"),
               "[S]\n  Indented\t= 1\nColon: colon value\na:b=c\nno separator\n\n=empty\nLast=1\n"
               "[Empty]\n[T]\nt=1\n");
    const char *expected[] = {"Indented", "Colon", "a:b", "", "Last", ""};
    for (int index = 0; index < 6; ++index) EXPECT_EQ(key("S", index).text, expected[index]) << index;
    EXPECT_EQ(key("Empty", 0).text, "");
}

TEST_F(Enumeration, KeyListEndsAtAnyBracketLine) {
    write_file(path("x.ini"), "top=1\nTop2=2\n[x\nafter=3\n[S]\na=1\n[broken\nb=2\n");
    EXPECT_EQ(key(nullptr, 0).text, "top");
    EXPECT_EQ(key("", 1).text, "Top2");
    EXPECT_EQ(key(nullptr, 2).text, "");
    EXPECT_EQ(key("S", 0).text, "a");
    EXPECT_EQ(key("S", 1).text, "");
    // A byte-order mark is no part of the first key; a UTF-16 file has none.
    write_file(path("x.ini"), "\xef\xbb\xbftop=1\n");
    EXPECT_EQ(key(nullptr, 0).text, "top");
    write_file(path("x.ini"), "\xff\xfetop=1\n[S]\na=1\n");
    EXPECT_EQ(key(nullptr, 0).text, "");
    EXPECT_EQ(section(0).text, "");
}

TEST_F(Enumeration, RepeatedNamesAreListedEachTime) {
    write_file(path("x.ini"), "[S]\nk=1\nk=2\n[T]\n[s]\nlater=3\n");
    EXPECT_EQ(section(0).text, "S");
    EXPECT_EQ(section(2).text, "s");
    EXPECT_EQ(key("S", 1).text, "k");
    // Only the first block of a section is listed.
    EXPECT_EQ(key("S", 2).text, "");
}

TEST_F(Enumeration, MissingFileGivesEmptyName) {
    EXPECT_EQ(section(0, 16, "missing.ini").text, "");
    EXPECT_EQ(key("S", 0, 16, "missing.ini").text, "");
    EXPECT_EQ(key(nullptr, 0, 16, "missing.ini").text, "");
    EXPECT_TRUE(brantcfg_test::list_dir(dir_).empty());
}

TEST_F(Enumeration, ArgumentErrorsLeaveTheBuffer) {
    write_file(path("x.ini"), SAMPLE);
    const std::string file = path("x.ini");
    struct Case {
        int index;
        int size;
        const char *path;
    };
    const Case cases[] = {{-1, 16, file.c_str()}, {0, 0, file.c_str()}, {0, -5, file.c_str()}, {0, 16, nullptr}};
    for (const auto &c : cases) {
        char buffer[16] = "untouched";
        EXPECT_EQ(ini_getsection(c.index, buffer, c.size, c.path), 0);
        EXPECT_STREQ(buffer, "untouched");
        EXPECT_EQ(ini_getkey("First", c.index, buffer, c.size, c.path), 0);
        EXPECT_STREQ(buffer, "untouched");
    }
    EXPECT_EQ(ini_getsection(0, nullptr, 16, file.c_str()), 0);
    EXPECT_EQ(ini_getkey("First", 0, nullptr, 16, file.c_str()), 0);
    // Valid arguments on the same file do find something.
    char buffer[16];
    EXPECT_EQ(ini_getkey("First", 0, buffer, sizeof buffer, file.c_str()), 6);
}

}  // namespace
