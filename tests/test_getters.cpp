// Typed getters: ini_getl, ini_getf and ini_getbool over the text ini_gets
// returns.
#include "brantcfg.h"
#include "support.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cmath>
#include <string>
#include <vector>

namespace {

using brantcfg_test::list_dir;
using brantcfg_test::write_file;

class Getters : public brantcfg_test::ScratchDir {
protected:
    // Writes "[S]\nv=<value>\n" and returns the file's path.
    std::string file_with(const std::string &value) {
        const std::string file = path("x.ini");
        write_file(file, "[S]\nv=" + value + "\n");
        return file;
    }
};

TEST_F(Getters, IntegerBaseFollowsTheSecondByte) {
    struct Case {
        std::string value;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"0x1F", 31},
        {"0X1f", 31},
        {"1x", 1},
        {"x1", 0},
        {"-0x10", 0},
        {"10", 10},
        {"010", 10},
        {"+5", 5},
        {"-42", -42},
        {" \t-42", -42},
        {"12abc", 12},
        {"abc", 0},
        {"0", 0},
        {"0x", 0},
        {"7 ; comment", 7},
        {"\"0x10\"", 16},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999", INT32_MAX},
        {"0xFFFFFFFF", INT32_MAX},
        {"0x80000000", INT32_MAX},
    };
    for (const auto &c : cases) {
        const std::string file = file_with(c.value);
        EXPECT_EQ(ini_getl("S", "v", -99, file.c_str()), c.expected) << "value \"" << c.value << "\"";
    }
}

TEST_F(Getters, IntegerReadsOnlyTheFirst63Bytes) {
    // 69 zeros and a 1: only zeros survive the cut.
    std::string file = file_with(std::string(69, '0') + "1");
    EXPECT_EQ(ini_getl("S", "v", -99, file.c_str()), 0);
    // 62 zeros and "12": the cut leaves "...01".
    file = file_with(std::string(62, '0') + "12");
    EXPECT_EQ(ini_getl("S", "v", -99, file.c_str()), 1);
    file = file_with(std::string(61, '0') + "12");
    EXPECT_EQ(ini_getl("S", "v", -99, file.c_str()), 12);
}

TEST_F(Getters, FloatIsConvertedAndNarrowed) {
    struct Case {
        std::string value;
        float expected;
    };
    const Case cases[] = {
        {"3.25", 3.25f},
        {"-1e3", -1000.0f},
        {"0.1", 0.1f},
        {"1.5 ; c", 1.5f},
        {"\"2.5\"", 2.5f},
        {"abc", 0.0f},
        {"7x", 7.0f},
        {"-0.5", -0.5f},
        // a sign without a number reads no number at all: +0.0, not -0.0
        {"-x", 0.0f},
        {"- 5a", 0.0f},
        {"+", 0.0f},
        {"-", 0.0f},
        // cut to 63 bytes: "000...02" without its ".5"
        {std::string(62, '0') + "2.5", 2.0f},
    };
    for (const auto &c : cases) {
        const std::string file = file_with(c.value);
        const float got = ini_getf("S", "v", -9.5f, file.c_str());
        EXPECT_EQ(got, c.expected) << "value \"" << c.value << "\"";
        EXPECT_EQ(std::signbit(got), std::signbit(c.expected)) << "value \"" << c.value << "\"";
    }
}

TEST_F(Getters, FloatReadsAPointWhateverTheLocale) {
    const std::string file = file_with("3.25");
    const char *previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const char *comma_locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"};
    bool switched = false;
    for (const char *name : comma_locales) {
        if (std::setlocale(LC_NUMERIC, name)) {
            switched = true;
            break;
        }
    }
    if (!switched) GTEST_SKIP() << "no locale with a decimal comma is installed (de_DE or fr_FR: Debian's locales-all)";
    const float value = ini_getf("S", "v", -9.5f, file.c_str());
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(value, 3.25f);
}

TEST_F(Getters, TruthIsTheFirstByteOfTheDecodedValue) {
    struct Case {
        std::string value;
        int expected;
    };
    const Case cases[] = {
        {"yes", 1},     {"True", 1},       {"1", 1},
        {"t", 1},       {"Y", 1},          {"1abc", 1},
        {"\"yes\"", 1}, {"  y ; note", 1}, {"y" + std::string(600, 'x'), 1},
        {"no", 0},      {"false", 0},      {"0", 0},
        {"F", 0},       {"nonsense", 0},   {"0x1", 0},
        {"\"no\"", 0},  {"on", 7},         {"off", 7},
        {"2", 7},       {"-1", 7},         {"maybe", 7},
        {"\"", 7},      {";y", 7},         {"", 7},
    };
    for (const auto &c : cases) {
        const std::string file = file_with(c.value);
        EXPECT_EQ(ini_getbool("S", "v", 7, file.c_str()), c.expected) << "value \"" << c.value << "\"";
    }
}

TEST_F(Getters, MissingOrEmptyValuesGiveTheDefault) {
    const std::string file = path("x.ini");
    write_file(file, "[S]\nempty=\nquoted=\"\"\ncomment= ; c\n");
    for (const char *key : {"empty", "quoted", "comment", "absent", ""}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(ini_getl("S", key, -7, file.c_str()), -7);
        EXPECT_EQ(ini_getf("S", key, 0.1f, file.c_str()), 0.1f);
        EXPECT_EQ(ini_getbool("S", key, 5, file.c_str()), 5);
    }
    EXPECT_EQ(ini_getl("T", "empty", -7, file.c_str()), -7);

    const std::string missing = path("missing.ini");
    EXPECT_EQ(ini_getl("S", "k", -7, missing.c_str()), -7);
    EXPECT_EQ(ini_getf("S", "k", 0.1f, missing.c_str()), 0.1f);
    EXPECT_EQ(ini_getbool("S", "k", 5, missing.c_str()), 5);
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"x.ini"});
}

TEST_F(Getters, NullKeyOrPathGivesTheDefault) {
    const std::string file = file_with("1");
    EXPECT_EQ(ini_getl("S", nullptr, -7, file.c_str()), -7);
    EXPECT_EQ(ini_getf("S", nullptr, 0.1f, file.c_str()), 0.1f);
    EXPECT_EQ(ini_getbool("S", nullptr, 5, file.c_str()), 5);
    EXPECT_EQ(ini_getl("S", "v", -7, nullptr), -7);
    EXPECT_EQ(ini_getf("S", "v", 0.1f, nullptr), 0.1f);
    EXPECT_EQ(ini_getbool("S", "v", 5, nullptr), 5);
    // The same key is found once the arguments are valid.
    EXPECT_EQ(ini_getl("S", "v", -7, file.c_str()), 1);
}

}  // namespace
